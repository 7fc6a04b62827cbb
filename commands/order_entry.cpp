// Placing and cancelling orders, and the check of order type against time condition.
#include "../support/text.hpp"
#include "table.hpp"

namespace velkarcmd {

namespace {

// The fields the method passes on: `timekind` and `pricetype` are required but never read.
enum OrderField : std::size_t {
    kBroker,
    kProduct,
    kSide,
    kPrice,
    kQuantity,
    kTimeCondition,
    kOrderType,
    kDayTrade,
    kLastField,
};

OwnedRef boolean(bool value) {
    return OwnedRef::share(value ? Py_True : Py_False);
}

}  // namespace

OwnedRef request_Order(const ModuleState& s, const Fields& fields) {
    // Every field but the last is one word of the order text; `anc` may hold blanks.
    struct Field {
        std::size_t index;
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
    RequestText text(s, fields[kBroker], "broker", FieldRule::one_word);
    for (const Field& field : kAfterBroker) {
        if (!text.add_literal(s.blank) ||
            !text.add_field(fields[field.index], field.name, field.rule)) {
            return {};
        }
    }
    OwnedRef joined = text.finish();
    return joined ? strip_whitespace(s, joined) : OwnedRef();
}

OwnedRef request_Delete(const ModuleState& s, const Fields& fields) {
    RequestText text(s, fields[0], "broker", FieldRule::one_word);
    if (!text.add_literal(s.blank) || !text.add_literal(s.delete_word) ||
        !text.add_literal(s.blank) || !text.add_field(fields[1], "orderid", FieldRule::one_word)) {
        return {};
    }
    return text.finish();
}

// A limit order goes only with ROD, a market order only with IOC or FOK.
OwnedRef is_match_type(const ModuleState& s, BorrowedRef order_type, BorrowedRef time_condition) {
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

OwnedRef shape_unchanged(const ModuleState&, BorrowedRef reply, const Fields&) {
    return OwnedRef::share(reply);
}

}  // namespace velkarcmd
