// The three order and fill queries: one request text, three selections of the reply lines.
#include "../channel/exchange.hpp"
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
Truth order_matches(const ModuleState& s, BorrowedRef order_id, BorrowedRef line) {
    Truth every_order = equals(order_id, s.all);
    if (every_order != 0) {
        return every_order;
    }
    return equals_first_field(s, order_id, line, s.comma);
}

OwnedRef query(const ModuleState& s, const Arguments<3>& arguments, Selection selection) {
    BorrowedRef order_id = arguments[2];
    RequestText text(s, arguments[1], "broker", FieldRule::one_word);
    if (!text.add_literal(s.blank) || !text.add_field(order_id, "orderid", FieldRule::one_word)) {
        return {};
    }
    OwnedRef request = text.finish();
    OwnedRef reply =
        request ? send_through(s, arguments[0], request, ReplyMode::multi) : OwnedRef();
    OwnedRef trimmed = reply ? strip_chars(s, reply, s.line_feed) : OwnedRef();
    OwnedRef lines = trimmed ? split(s, trimmed, s.line_feed) : OwnedRef();
    OwnedRef each = lines ? OwnedRef::steal(PyObject_GetIter(lines.get())) : OwnedRef();
    OwnedRef selected = each ? OwnedRef::steal(PyList_New(0)) : OwnedRef();
    if (!selected) {
        return {};
    }
    BorrowedRef word = selection == Selection::fill_records ? s.match_word : s.order_word;
    while (OwnedRef line = OwnedRef::steal(PyIter_Next(each.get()))) {
        if (selection == Selection::every_line_before_over) {
            Truth end_marker = equals(line, s.over);
            if (end_marker < 0) {
                return {};
            }
            if (end_marker) {
                break;
            }
        } else {
            Truth skip = lacks(s, line, word);
            if (skip < 0) {
                return {};
            }
            if (skip) {
                continue;
            }
        }
        Truth keep = order_matches(s, order_id, line);
        if (keep < 0 || (keep && PyList_Append(selected.get(), line.get()) < 0)) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return selected;
}

OwnedRef all_records(const Command& command, const Arguments<3>& arguments) {
    return query(command.state, arguments, Selection::every_line_before_over);
}

OwnedRef fill_records(const Command& command, const Arguments<3>& arguments) {
    return query(command.state, arguments, Selection::fill_records);
}

OwnedRef order_records(const Command& command, const Arguments<3>& arguments) {
    return query(command.state, arguments, Selection::order_records);
}

}  // namespace

PyObject* get_account(PyObject* module, PyObject* args) {
    return run_native<3>(module, args, "GetAccount", all_records);
}

PyObject* match_account(PyObject* module, PyObject* args) {
    return run_native<3>(module, args, "MatchAccount", fill_records);
}

PyObject* get_unfinished(PyObject* module, PyObject* args) {
    return run_native<3>(module, args, "GetUnfinished", order_records);
}

}  // namespace velkarcmd
