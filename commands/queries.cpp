// The three order and fill queries: one request text, three selections of the reply lines.
#include <algorithm>
#include <string_view>

#include "../support/text.hpp"
#include "table.hpp"

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

// The selection below made over the UTF-8 of an exact str reply and order selector, where
// nothing can run Python code: only the lines kept become strs, each the very str that
// splitting would give. Line feeds, commas and the words are ASCII, so found as bytes exactly
// where the str holds them. 1 done, 0 with lone surrogates (no error set), -1 with an error set.
Truth select_utf8_lines(const ModuleState& s, BorrowedRef reply, BorrowedRef order_id,
                        Selection selection, OwnedRef& selected) {
    Truth every_order = equals(order_id, s.all);
    if (every_order < 0) {
        return -1;
    }
    std::string_view word = selection == Selection::fill_records ? kFillWord : kOrderWord;
    Utf8Text text, key;
    Truth encoded = text.encode(reply);
    encoded = encoded > 0 && !every_order ? key.encode(order_id) : encoded;
    selected = encoded > 0 ? OwnedRef::steal(PyList_New(0)) : OwnedRef();
    if (!selected) {
        return encoded > 0 ? -1 : encoded;
    }
    // One byte per character: a line's bytes are its characters, cut from the reply itself.
    Py_ssize_t characters = PyUnicode_GetLength(reply.get());
    if (characters < 0) {
        return -1;
    }
    bool ascii = static_cast<std::size_t>(characters) == text.view().size();
    // `strip("\n")`; then `split("\n")`, which gives one empty line for an empty text.
    std::string_view rest = text.view();
    rest.remove_prefix(std::min(rest.find_first_not_of('\n'), rest.size()));
    while (!rest.empty() && rest.back() == '\n') {
        rest.remove_suffix(1);
    }
    for (bool more = true; more;) {
        std::size_t end = rest.find('\n');
        more = end != std::string_view::npos;
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(more ? end + 1 : rest.size());
        if (selection == Selection::every_line_before_over) {
            if (line == kEndMarker) {
                break;
            }
        } else if (line.find(word) == std::string_view::npos) {
            continue;
        }
        if (!every_order && line.substr(0, line.find(kFieldSeparator)) != key.view()) {
            continue;
        }
        auto at = static_cast<Py_ssize_t>(line.data() - text.view().data());
        auto size = static_cast<Py_ssize_t>(line.size());
        OwnedRef kept = OwnedRef::steal(
            ascii ? PyUnicode_Substring(reply.get(), at, at + size)
                  : PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()),
                                         "strict"));
        if (!kept || PyList_Append(selected.get(), kept.get()) < 0) {
            return -1;
        }
    }
    return 1;
}

OwnedRef select_lines(const ModuleState& s, BorrowedRef reply, BorrowedRef order_id,
                      Selection selection) {
    if (is_exact_str(reply) && is_exact_str(order_id)) {
        OwnedRef selected;
        Truth done = select_utf8_lines(s, reply, order_id, selection, selected);
        if (done != 0) {
            return done > 0 ? std::move(selected) : OwnedRef();
        }
    }
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

}  // namespace

OwnedRef request_records(const ModuleState& s, const Fields& fields) {
    RequestText text(s, fields[0], "broker", FieldRule::one_word);
    if (!text.add_literal(s.blank) || !text.add_field(fields[1], "orderid", FieldRule::one_word)) {
        return {};
    }
    return text.finish();
}

OwnedRef shape_GetAccount(const ModuleState& s, BorrowedRef reply, const Fields& fields) {
    return select_lines(s, reply, fields[1], Selection::every_line_before_over);
}

OwnedRef shape_MatchAccount(const ModuleState& s, BorrowedRef reply, const Fields& fields) {
    return select_lines(s, reply, fields[1], Selection::fill_records);
}

OwnedRef shape_GetUnfinished(const ModuleState& s, BorrowedRef reply, const Fields& fields) {
    return select_lines(s, reply, fields[1], Selection::order_records);
}

}  // namespace velkarcmd
