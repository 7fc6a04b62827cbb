// Placing and cancelling orders, and the check of order type against time condition.
#include "../channel/exchange.hpp"
#include "../support/constants.hpp"
#include "../support/text.hpp"
#include "commands.hpp"

#include <utility>

namespace velkarcmd {

namespace {

enum OrderParameter : std::size_t {
    kSelf,
    kBroker,
    kProduct,
    kSide,
    kPrice,
    kQuantity,
    kTimeCondition,
    kOrderType,
    kTimeKind,   // required, never read
    kPriceType,  // required, never read
    kDayTrade,
    kLastField,
};

OwnedRef boolean(bool value) {
    return OwnedRef::share(value ? Py_True : Py_False);
}

}  // namespace

OwnedRef order(const FunctionObject&, const BoundArguments& arguments) {
    const Constants& c = constants();
    static const std::size_t kJoinedAfterBroker[] = {
        kProduct, kSide, kPrice, kQuantity, kTimeCondition, kOrderType, kDayTrade, kLastField,
    };
    TextBuilder text(arguments[kBroker]);
    for (std::size_t field : kJoinedAfterBroker) {
        if (!text.add(c.blank) || !text.add(arguments[field])) {
            return {};
        }
    }
    OwnedRef joined = text.finish();
    OwnedRef command = joined ? strip_whitespace(joined) : OwnedRef();
    if (!command) {
        return {};
    }
    // Every field but the last is one word of the order text; `anc` may hold blanks.
    static const std::pair<std::size_t, const char*> kOneWordFields[] = {
        {kBroker, "broker"},       {kProduct, "prodid"},    {kSide, "bs"},
        {kPrice, "price"},         {kQuantity, "qty"},      {kTimeCondition, "timetype"},
        {kOrderType, "ordertype"}, {kDayTrade, "daytrade"},
    };
    for (const auto& [field, name] : kOneWordFields) {
        if (!refuse_whitespace(arguments[field], name)) {
            return {};
        }
    }
    return send_through(arguments[kSelf], command, ReplyMode::single);
}

OwnedRef delete_order(const FunctionObject&, const BoundArguments& arguments) {
    const Constants& c = constants();
    TextBuilder text(arguments[1]);
    if (!text.add(c.blank) || !text.add(c.delete_word) || !text.add(c.blank) ||
        !text.add(arguments[2])) {
        return {};
    }
    OwnedRef command = text.finish();
    if (!command || !refuse_whitespace(arguments[1], "broker") ||
        !refuse_whitespace(arguments[2], "orderid")) {
        return {};
    }
    return send_through(arguments[0], command, ReplyMode::single);
}

// A limit order goes only with ROD, a market order only with IOC or FOK.
OwnedRef is_match_type(const FunctionObject&, const BoundArguments& arguments) {
    const Constants& c = constants();
    BorrowedRef order_type = arguments[1];
    BorrowedRef time_condition = arguments[2];
    Truth limit = equals(order_type, c.limit_order);
    if (limit < 0) {
        return {};
    }
    if (limit) {
        Truth rest_of_day = equals(time_condition, c.rest_of_day);
        if (rest_of_day < 0) {
            return {};
        }
        if (rest_of_day) {
            return boolean(true);
        }
    }
    Truth market = equals(order_type, c.market_order);
    if (market <= 0) {
        return market < 0 ? OwnedRef() : boolean(false);
    }
    Truth immediate = equals(time_condition, c.immediate_or_cancel);
    if (immediate != 0) {
        return immediate < 0 ? OwnedRef() : boolean(true);
    }
    Truth fill_or_kill = equals(time_condition, c.fill_or_kill);
    if (fill_or_kill < 0) {
        return {};
    }
    return boolean(fill_or_kill != 0);
}

}  // namespace velkarcmd
