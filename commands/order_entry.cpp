// Placing and cancelling orders, and the check of order type against time condition.
#include "../channel/exchange.hpp"
#include "../support/text.hpp"
#include "commands.hpp"

namespace velkarcmd {

namespace {

// What the method passes on: `timekind` and `pricetype` are required but never read.
enum OrderArgument : std::size_t {
    kSelf,
    kBroker,
    kProduct,
    kSide,
    kPrice,
    kQuantity,
    kTimeCondition,
    kOrderType,
    kDayTrade,
    kLastField,
    kOrderArguments,
};

OwnedRef boolean(bool value) {
    return OwnedRef::share(value ? Py_True : Py_False);
}

OwnedRef place(const Command& command, const Arguments<kOrderArguments>& arguments) {
    const ModuleState& s = command.state;
    // Every field but the last is one word of the order text; `anc` may hold blanks.
    struct Field {
        std::size_t argument;
        const char* name;
        FieldRule rule;
    };
    static const Field kAfterBroker[] = {
        {kProduct, "prodid", FieldRule::one_word},
        {kSide, "bs", FieldRule::one_word},
        {kPrice, "price", FieldRule::one_word},
        {kQuantity, "qty", FieldRule::one_word},
        {kTimeCondition, "timetype", FieldRule::one_word},
        {kOrderType, "ordertype", FieldRule::one_word},
        {kDayTrade, "daytrade", FieldRule::one_word},
        {kLastField, "anc", FieldRule::free_text},
    };
    RequestText text(s, arguments[kBroker], "broker", FieldRule::one_word);
    for (const Field& field : kAfterBroker) {
        if (!text.add_literal(s.blank) ||
            !text.add_field(arguments[field.argument], field.name, field.rule)) {
            return {};
        }
    }
    OwnedRef joined = text.finish();
    OwnedRef request = joined ? strip_whitespace(s, joined) : OwnedRef();
    if (!request) {
        return {};
    }
    return send_through(s, arguments[kSelf], request, ReplyMode::single);
}

OwnedRef cancel(const Command& command, const Arguments<3>& arguments) {
    const ModuleState& s = command.state;
    RequestText text(s, arguments[1], "broker", FieldRule::one_word);
    if (!text.add_literal(s.blank) || !text.add_literal(s.delete_word) ||
        !text.add_literal(s.blank) ||
        !text.add_field(arguments[2], "orderid", FieldRule::one_word)) {
        return {};
    }
    OwnedRef request = text.finish();
    if (!request) {
        return {};
    }
    return send_through(s, arguments[0], request, ReplyMode::single);
}

// A limit order goes only with ROD, a market order only with IOC or FOK.
OwnedRef match_type(const Command& command, const Arguments<3>& arguments) {
    const ModuleState& s = command.state;
    BorrowedRef order_type = arguments[1];
    BorrowedRef time_condition = arguments[2];
    Truth limit = equals(order_type, s.limit_order);
    if (limit < 0) {
        return {};
    }
    if (limit) {
        Truth rest_of_day = equals(time_condition, s.rest_of_day);
        if (rest_of_day < 0) {
            return {};
        }
        if (rest_of_day) {
            return boolean(true);
        }
    }
    Truth market = equals(order_type, s.market_order);
    if (market <= 0) {
        return market < 0 ? OwnedRef() : boolean(false);
    }
    Truth immediate = equals(time_condition, s.immediate_or_cancel);
    if (immediate != 0) {
        return immediate < 0 ? OwnedRef() : boolean(true);
    }
    Truth fill_or_kill = equals(time_condition, s.fill_or_kill);
    if (fill_or_kill < 0) {
        return {};
    }
    return boolean(fill_or_kill != 0);
}

}  // namespace

PyObject* order(PyObject* module, PyObject* args) {
    return run_native<kOrderArguments>(module, args, "Order", place);
}

PyObject* delete_order(PyObject* module, PyObject* args) {
    return run_native<3>(module, args, "Delete", cancel);
}

PyObject* is_match_type(PyObject* module, PyObject* args) {
    return run_native<3>(module, args, "__IsMatchType", match_type);
}

}  // namespace velkarcmd
