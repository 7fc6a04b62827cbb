// Positions, futures equity and quote subscription.
#include "../channel/exchange.hpp"
#include "../support/constants.hpp"
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
        return OwnedRef::share(PyList_GET_ITEM(lines.get(), count - 1));
    }
    OwnedRef index = OwnedRef::steal(PyLong_FromSsize_t(count - 1));
    return index ? OwnedRef::steal(PyObject_GetItem(lines.get(), index.get())) : OwnedRef();
}

// `lines[0:-1]`.
OwnedRef all_but_last(BorrowedRef lines, Py_ssize_t count) {
    if (PyList_CheckExact(lines.get()) && count > 0) {
        return OwnedRef::steal(PyList_GetSlice(lines.get(), 0, count - 1));
    }
    OwnedRef minus_one = OwnedRef::steal(PyLong_FromLong(-1));
    OwnedRef range =
        minus_one ? OwnedRef::steal(PySlice_New(constants().zero.get(), minus_one.get(), nullptr))
                  : OwnedRef();
    return range ? OwnedRef::steal(PyObject_GetItem(lines.get(), range.get())) : OwnedRef();
}

}  // namespace

OwnedRef get_in_stock(const FunctionObject&, const BoundArguments& arguments) {
    const Constants& c = constants();
    TextBuilder text(arguments[1]);
    if (!text.add(c.hyphen) || !text.add(arguments[2])) {
        return {};
    }
    OwnedRef joined = text.finish();
    OwnedRef request = joined ? strip_chars(joined, c.hyphen) : OwnedRef();
    if (request && (!refuse_whitespace(arguments[1], "broker") ||
                    !refuse_whitespace(arguments[2], "prodid"))) {
        return {};
    }
    OwnedRef reply = request ? send_through(arguments[0], request, ReplyMode::multi) : OwnedRef();
    OwnedRef trimmed = reply ? strip_chars(reply, c.line_feed) : OwnedRef();
    OwnedRef lines = trimmed ? split(trimmed, c.line_feed) : OwnedRef();
    if (!lines) {
        return {};
    }
    Py_ssize_t count = 0;
    OwnedRef last = last_line(lines, count);
    Truth ends_with_marker = last ? equals(last, c.over) : -1;
    if (ends_with_marker < 0) {
        return {};
    }
    return ends_with_marker ? all_but_last(lines, count) : std::move(lines);
}

OwnedRef future_rights(const FunctionObject&, const BoundArguments& arguments) {
    const Constants& c = constants();
    TextBuilder text(arguments[1]);
    if (!text.add(c.get_equity)) {
        return {};
    }
    OwnedRef request = text.finish();
    if (request && !refuse_whitespace(arguments[1], "broker")) {
        return {};
    }
    OwnedRef reply = request ? send_through(arguments[0], request, ReplyMode::single) : OwnedRef();
    return reply ? strip_chars(reply, c.line_feed) : OwnedRef();
}

OwnedRef add_quote(const FunctionObject&, const BoundArguments& arguments) {
    const Constants& c = constants();
    TextBuilder text(arguments[1]);
    if (!text.add(c.add_quote)) {
        return {};
    }
    OwnedRef symbols = replace(arguments[2], c.blank, c.empty);
    if (!symbols || !text.add(symbols)) {
        return {};
    }
    Truth append = PyObject_IsTrue(arguments[3].get());
    if (append < 0 || !text.add(append ? c.append_yes : c.append_no)) {
        return {};
    }
    OwnedRef request = text.finish();
    // The symbols may hold blanks (they are removed) and other separators the caller chose.
    if (request && !refuse_whitespace(arguments[1], "broker")) {
        return {};
    }
    OwnedRef reply = request ? send_through(arguments[0], request, ReplyMode::single) : OwnedRef();
    return reply ? none() : OwnedRef();
}

}  // namespace velkarcmd
