// Positions, futures equity and quote subscription.
#include "../channel/exchange.hpp"
#include "../support/text.hpp"
#include "commands.hpp"

namespace velkarcmd {

namespace {

// `lines[len(lines) - 1]`.
OwnedRef last_line(BorrowedRef lines, Py_ssize_t& count) {
    count = PyObject_Size(lines.get());
    if (count < 0) {
        return {};
    }
    if (PyList_CheckExact(lines.get()) && count > 0) {
        return OwnedRef::share(PyList_GetItem(lines.get(), count - 1));
    }
    OwnedRef index = OwnedRef::steal(PyLong_FromSsize_t(count - 1));
    return index ? OwnedRef::steal(PyObject_GetItem(lines.get(), index.get())) : OwnedRef();
}

// `lines[0:-1]`.
OwnedRef all_but_last(const ModuleState& s, BorrowedRef lines, Py_ssize_t count) {
    if (PyList_CheckExact(lines.get()) && count > 0) {
        return OwnedRef::steal(PyList_GetSlice(lines.get(), 0, count - 1));
    }
    OwnedRef minus_one = OwnedRef::steal(PyLong_FromLong(-1));
    OwnedRef range = minus_one
                         ? OwnedRef::steal(PySlice_New(s.zero.get(), minus_one.get(), nullptr))
                         : OwnedRef();
    return range ? OwnedRef::steal(PyObject_GetItem(lines.get(), range.get())) : OwnedRef();
}

OwnedRef positions(const Command& command, const Arguments<3>& arguments) {
    const ModuleState& s = command.state;
    RequestText text(s, arguments[1], "broker", FieldRule::one_word);
    if (!text.add_literal(s.hyphen) ||
        !text.add_field(arguments[2], "prodid", FieldRule::one_word)) {
        return {};
    }
    OwnedRef joined = text.finish();
    OwnedRef request = joined ? strip_chars(s, joined, s.hyphen) : OwnedRef();
    OwnedRef reply =
        request ? send_through(s, arguments[0], request, ReplyMode::multi) : OwnedRef();
    OwnedRef trimmed = reply ? strip_chars(s, reply, s.line_feed) : OwnedRef();
    OwnedRef lines = trimmed ? split(s, trimmed, s.line_feed) : OwnedRef();
    if (!lines) {
        return {};
    }
    Py_ssize_t count = 0;
    OwnedRef last = last_line(lines, count);
    Truth ends_with_marker = last ? equals(last, s.over) : -1;
    if (ends_with_marker < 0) {
        return {};
    }
    return ends_with_marker ? all_but_last(s, lines, count) : std::move(lines);
}

OwnedRef equity(const Command& command, const Arguments<2>& arguments) {
    const ModuleState& s = command.state;
    RequestText text(s, arguments[1], "broker", FieldRule::one_word);
    if (!text.add_literal(s.get_equity)) {
        return {};
    }
    OwnedRef request = text.finish();
    OwnedRef reply =
        request ? send_through(s, arguments[0], request, ReplyMode::single) : OwnedRef();
    return reply ? strip_chars(s, reply, s.line_feed) : OwnedRef();
}

OwnedRef subscribe(const Command& command, const Arguments<4>& arguments) {
    const ModuleState& s = command.state;
    // The symbols lose their blanks and may hold the other separators the caller chose.
    RequestText text(s, arguments[1], "broker", FieldRule::one_word);
    if (!text.add_literal(s.add_quote)) {
        return {};
    }
    OwnedRef symbols = replace(s, arguments[2], s.blank, s.empty);
    if (!symbols || !text.add_field(symbols, "symbols", FieldRule::free_text)) {
        return {};
    }
    Truth append = PyObject_IsTrue(arguments[3].get());
    if (append < 0 || !text.add_literal(append ? s.append_yes : s.append_no)) {
        return {};
    }
    OwnedRef request = text.finish();
    OwnedRef reply =
        request ? send_through(s, arguments[0], request, ReplyMode::single) : OwnedRef();
    return reply ? none() : OwnedRef();
}

}  // namespace

PyObject* get_in_stock(PyObject* module, PyObject* args) {
    return run_native<3>(module, args, "GetInStock", positions);
}

PyObject* future_rights(PyObject* module, PyObject* args) {
    return run_native<2>(module, args, "FutureRights", equity);
}

PyObject* add_quote(PyObject* module, PyObject* args) {
    return run_native<4>(module, args, "AddQuote", subscribe);
}

}  // namespace velkarcmd
