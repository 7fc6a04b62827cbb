// Positions, futures equity and quote subscription.
#include "../support/text.hpp"
#include "table.hpp"

namespace velkarcmd {

namespace {

// `lines[len(lines) - 1]`.
OwnedRef last_line(BorrowedRef lines, Py_ssize_t& count) {
    count = PyObject_Size(lines.get());
    if (count < 0) {
        return {};
    }
    if (PyList_CheckExact(lines.get()) && count > 0) {
#ifdef Py_GIL_DISABLED
        // Owned at once: without the interpreter lock, a list that another thread holds too
        // may lose the item meanwhile. With the lock, nothing runs between the two.
        return OwnedRef::steal(PyList_GetItemRef(lines.get(), count - 1));
#else
        return OwnedRef::share(PyList_GetItem(lines.get(), count - 1));
#endif
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

}  // namespace

OwnedRef request_GetInStock(const ModuleState& s, const Fields& fields) {
    RequestText text(s, fields[0], "broker", FieldRule::one_word);
    if (!text.add_literal(s.hyphen) || !text.add_field(fields[1], "prodid", FieldRule::one_word)) {
        return {};
    }
    OwnedRef joined = text.finish();
    return joined ? strip_chars(s, joined, s.hyphen) : OwnedRef();
}

OwnedRef shape_GetInStock(const ModuleState& s, BorrowedRef reply, const Fields&) {
    OwnedRef trimmed = strip_chars(s, reply, s.line_feed);
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

OwnedRef request_FutureRights(const ModuleState& s, const Fields& fields) {
    RequestText text(s, fields[0], "broker", FieldRule::one_word);
    if (!text.add_literal(s.get_equity)) {
        return {};
    }
    return text.finish();
}

OwnedRef shape_FutureRights(const ModuleState& s, BorrowedRef reply, const Fields&) {
    return strip_chars(s, reply, s.line_feed);
}

OwnedRef request_AddQuote(const ModuleState& s, const Fields& fields) {
    // The symbols lose their blanks and may hold the other separators the caller chose.
    RequestText text(s, fields[0], "broker", FieldRule::one_word);
    if (!text.add_literal(s.add_quote)) {
        return {};
    }
    OwnedRef symbols = replace(s, fields[1], s.blank, s.empty);
    if (!symbols || !text.add_field(symbols, "symbols", FieldRule::free_text)) {
        return {};
    }
    Truth append = PyObject_IsTrue(fields[2].get());
    if (append < 0 || !text.add_literal(append ? s.append_yes : s.append_no)) {
        return {};
    }
    return text.finish();
}

// The reply only says that the application has the request; it is not passed on.
OwnedRef shape_AddQuote(const ModuleState&, BorrowedRef, const Fields&) {
    return none();
}

}  // namespace velkarcmd
