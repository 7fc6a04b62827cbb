// The three order and fill queries: one request text, three selections of the reply lines.
#include "../support/text.hpp"
#include "commands.hpp"
#include "halves.hpp"

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

// The same request for all three.
OwnedRef query_request(const ModuleState& s, const Fields& fields) {
    RequestText text(s, fields[0], "broker", FieldRule::one_word);
    if (!text.add_literal(s.blank) || !text.add_field(fields[1], "orderid", FieldRule::one_word)) {
        return {};
    }
    return text.finish();
}

OwnedRef select_lines(const ModuleState& s, BorrowedRef reply, BorrowedRef order_id,
                      Selection selection) {
    OwnedRef trimmed = strip_chars(s, reply, s.line_feed);
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

OwnedRef all_records_result(const ModuleState& s, BorrowedRef reply, const Fields& fields) {
    return select_lines(s, reply, fields[1], Selection::every_line_before_over);
}

OwnedRef fill_records_result(const ModuleState& s, BorrowedRef reply, const Fields& fields) {
    return select_lines(s, reply, fields[1], Selection::fill_records);
}

OwnedRef order_records_result(const ModuleState& s, BorrowedRef reply, const Fields& fields) {
    return select_lines(s, reply, fields[1], Selection::order_records);
}

OwnedRef all_records(const Command& command, const Arguments<3>& arguments) {
    return run_halves(command, kGetAccountHalves, arguments);
}

OwnedRef fill_records(const Command& command, const Arguments<3>& arguments) {
    return run_halves(command, kMatchAccountHalves, arguments);
}

OwnedRef order_records(const Command& command, const Arguments<3>& arguments) {
    return run_halves(command, kGetUnfinishedHalves, arguments);
}

}  // namespace

const CommandHalves kGetAccountHalves = {"GetAccount", 2, ReplyMode::multi, query_request,
                                         all_records_result};
const CommandHalves kMatchAccountHalves = {"MatchAccount", 2, ReplyMode::multi, query_request,
                                           fill_records_result};
const CommandHalves kGetUnfinishedHalves = {"GetUnfinished", 2, ReplyMode::multi, query_request,
                                            order_records_result};

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
