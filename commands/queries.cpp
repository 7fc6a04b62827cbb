// The three order and fill queries: one request text, three selections of the reply lines.
#include "../channel/exchange.hpp"
#include "../support/constants.hpp"
#include "../support/text.hpp"
#include "commands.hpp"

namespace velkarcmd {

namespace {

enum class Selection {
    every_line_before_over,  // GetAccount
    fill_records,            // MatchAccount: lines containing "Match"
    order_records,           // GetUnfinished: lines containing "Order"
};

// Whether a line that passed the method's own test belongs to the requested order.
Truth order_matches(BorrowedRef order_id, BorrowedRef line) {
    const Constants& c = constants();
    Truth every_order = equals(order_id, c.all);
    if (every_order != 0) {
        return every_order;
    }
    return equals_first_field(order_id, line, c.comma);
}

OwnedRef query(const BoundArguments& arguments, Selection selection) {
    const Constants& c = constants();
    BorrowedRef order_id = arguments[2];
    TextBuilder text(arguments[1]);
    if (!text.add(c.blank) || !text.add(order_id)) {
        return {};
    }
    OwnedRef request = text.finish();
    if (request &&
        (!refuse_whitespace(arguments[1], "broker") || !refuse_whitespace(order_id, "orderid"))) {
        return {};
    }
    OwnedRef reply = request ? send_through(arguments[0], request, ReplyMode::multi) : OwnedRef();
    OwnedRef trimmed = reply ? strip_chars(reply, c.line_feed) : OwnedRef();
    OwnedRef lines = trimmed ? split(trimmed, c.line_feed) : OwnedRef();
    OwnedRef each = lines ? OwnedRef::steal(PyObject_GetIter(lines.get())) : OwnedRef();
    OwnedRef selected = each ? OwnedRef::steal(PyList_New(0)) : OwnedRef();
    if (!selected) {
        return {};
    }
    BorrowedRef word = selection == Selection::fill_records ? c.match_word : c.order_word;
    while (OwnedRef line = OwnedRef::steal(PyIter_Next(each.get()))) {
        if (selection == Selection::every_line_before_over) {
            Truth end_marker = equals(line, c.over);
            if (end_marker < 0) {
                return {};
            }
            if (end_marker) {
                break;
            }
        } else {
            Truth skip = lacks(line, word);
            if (skip < 0) {
                return {};
            }
            if (skip) {
                continue;
            }
        }
        Truth keep = order_matches(order_id, line);
        if (keep < 0 || (keep && PyList_Append(selected.get(), line.get()) < 0)) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return selected;
}

}  // namespace

OwnedRef get_account(const FunctionObject&, const BoundArguments& arguments) {
    return query(arguments, Selection::every_line_before_over);
}

OwnedRef match_account(const FunctionObject&, const BoundArguments& arguments) {
    return query(arguments, Selection::fill_records);
}

OwnedRef get_unfinished(const FunctionObject&, const BoundArguments& arguments) {
    return query(arguments, Selection::order_records);
}

}  // namespace velkarcmd
