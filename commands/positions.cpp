// Positions, futures equity and quote subscription.
#include "../support/text.hpp"
#include "commands.hpp"
#include "halves.hpp"

namespace velkarcmd {

namespace {

// `lines[len(lines) - 1]`.
OwnedRef last_line(BorrowedRef lines, Py_ssize_t& count) {
    count = PyObject_Size(lines.get());
    if (count < 0) {
        return {};
    }
    if (PyList_CheckExact(lines.get()) && count > 0) {
#if PY_VERSION_HEX >= 0x030D0000 && (!defined(Py_LIMITED_API) || Py_LIMITED_API >= 0x030D0000)
        // Owned at once: a list that another thread holds too may lose the item meanwhile.
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

OwnedRef positions_request(const ModuleState& s, const Fields& fields) {
    RequestText text(s, fields[0], "broker", FieldRule::one_word);
    if (!text.add_literal(s.hyphen) || !text.add_field(fields[1], "prodid", FieldRule::one_word)) {
        return {};
    }
    OwnedRef joined = text.finish();
    return joined ? strip_chars(s, joined, s.hyphen) : OwnedRef();
}

OwnedRef positions_result(const ModuleState& s, BorrowedRef reply, const Fields&) {
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

OwnedRef equity_request(const ModuleState& s, const Fields& fields) {
    RequestText text(s, fields[0], "broker", FieldRule::one_word);
    if (!text.add_literal(s.get_equity)) {
        return {};
    }
    return text.finish();
}

OwnedRef equity_result(const ModuleState& s, BorrowedRef reply, const Fields&) {
    return strip_chars(s, reply, s.line_feed);
}

OwnedRef subscribe_request(const ModuleState& s, const Fields& fields) {
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
OwnedRef subscribe_result(const ModuleState&, BorrowedRef, const Fields&) {
    return none();
}

OwnedRef positions(const Command& command, const Arguments<3>& arguments) {
    return run_halves(command, kGetInStockHalves, arguments);
}

OwnedRef equity(const Command& command, const Arguments<2>& arguments) {
    return run_halves(command, kFutureRightsHalves, arguments);
}

OwnedRef subscribe(const Command& command, const Arguments<4>& arguments) {
    return run_halves(command, kAddQuoteHalves, arguments);
}

}  // namespace

const CommandHalves kGetInStockHalves = {"GetInStock", 2, ReplyMode::multi, positions_request,
                                         positions_result};
const CommandHalves kFutureRightsHalves = {"FutureRights", 1, ReplyMode::single, equity_request,
                                           equity_result};
const CommandHalves kAddQuoteHalves = {"AddQuote", 3, ReplyMode::single, subscribe_request,
                                       subscribe_result};

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
