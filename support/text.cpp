#include "text.hpp"

namespace velkarcmd {

namespace {

Truth truth_of(OwnedRef value) {
    if (!value) {
        return -1;
    }
    return PyObject_IsTrue(value.get());
}

Truth compare(BorrowedRef left, BorrowedRef right, int operation) {
    if (is_exact_str(left) && is_exact_str(right)) {
        int order = PyUnicode_Compare(left.get(), right.get());
        if (order == -1 && PyErr_Occurred()) {
            return -1;
        }
        return operation == Py_EQ ? order == 0 : order != 0;
    }
    return truth_of(OwnedRef::steal(PyObject_RichCompare(left.get(), right.get(), operation)));
}

// Whether a str holds a character that `str.isspace` accepts: the str type's own whitespace
// split leaves a text without any as exactly one piece, itself. -1 with an error set.
Truth holds_whitespace(BorrowedRef text) {
    Py_ssize_t length = PyUnicode_GetLength(text.get());
    if (length <= 0) {
        return length < 0 ? -1 : 0;
    }
    // Short ASCII fields, the usual case, are read here: in ASCII, `str.isspace` accepts
    // exactly these characters. Anything longer or wider asks the str type itself.
    constexpr Py_ssize_t kScanned = 64;
    if (length <= kScanned) {
        bool ascii = true;
        for (Py_ssize_t i = 0; i < length && ascii; ++i) {
            Py_UCS4 c = PyUnicode_ReadChar(text.get(), i);
            if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) {
                return -1;
            }
            if (c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1C && c <= 0x1F)) {
                return 1;
            }
            ascii = c < 0x80;
        }
        if (ascii) {
            return 0;
        }
    }
    OwnedRef words = OwnedRef::steal(PyUnicode_Split(text.get(), nullptr, -1));
    if (!words) {
        return -1;
    }
    if (PyList_Size(words.get()) != 1) {
        return 1;
    }
    return PyUnicode_GetLength(PyList_GetItem(words.get(), 0)) != length;
}

// Whether `text` begins (direction -1) or ends (+1) with `part`, by the str type's own test.
Truth affix(BorrowedRef text, BorrowedRef part, int direction) {
    Py_ssize_t found = PyUnicode_Tailmatch(text.get(), part.get(), 0, PY_SSIZE_T_MAX, direction);
    return found < 0 ? -1 : found == 1;
}

bool refuse(const char* name, const char* format, BorrowedRef shown) {
    PyErr_Format(PyExc_ValueError, format, name ? name : "a field", shown.get());
    return false;
}

}  // namespace

RequestText::RequestText(const ModuleState& state, BorrowedRef first, const char* name,
                         FieldRule rule)
    : state_(state), last_name_(name) {
    if (is_exact_str(first)) {
        pieces_.push_back(OwnedRef::share(first));
        Truth spaced = rule == FieldRule::one_word ? holds_whitespace(first) : 0;
        if (spaced != 0) {
            failed_ = spaced < 0 || !refuse(name, "%s must not contain whitespace, got %R", first);
        }
    } else {
        exact_ = false;
        sum_ = OwnedRef::share(first);
        first_pending_ = true;
        first_name_ = name;
        first_rule_ = rule;
    }
}

bool RequestText::collapse() {
    if (pieces_.size() == 1) {
        sum_ = std::move(pieces_[0]);
    } else {
        OwnedRef list = OwnedRef::steal(PyList_New(0));
        if (!list) {
            return false;
        }
        for (const OwnedRef& piece : pieces_) {
            if (PyList_Append(list.get(), piece.get()) < 0) {
                return false;
            }
        }
        sum_ = OwnedRef::steal(PyUnicode_Join(state_.empty.get(), list.get()));
        if (!sum_) {
            return false;
        }
    }
    pieces_.clear();
    exact_ = false;
    return true;
}

bool RequestText::add(BorrowedRef piece, const char* name, FieldRule rule, bool literal) {
    if (failed_) {
        return false;
    }
    if (exact_ && is_exact_str(piece)) {
        // str + str: plain concatenation, nothing to check but the piece itself.
        Truth spaced = rule == FieldRule::one_word ? holds_whitespace(piece) : 0;
        if (spaced != 0) {
            failed_ = true;
            return spaced > 0 && refuse(name, "%s must not contain whitespace, got %R", piece);
        }
        pieces_.push_back(OwnedRef::share(piece));
        last_name_ = literal ? last_name_ : name;
        return true;
    }
    failed_ = true;  // until the step below succeeds
    if (exact_ && !collapse()) {
        return false;
    }
    OwnedRef before = std::move(sum_);
    OwnedRef after = OwnedRef::steal(PyNumber_Add(before.get(), piece.get()));
    if (!after) {
        return false;
    }
    // The field whose part is checked at this step, and the part itself.
    const char* checked_name = literal ? last_name_ : name;
    FieldRule checked_rule = literal ? FieldRule::free_text : rule;
    if (!PyUnicode_Check(after.get())) {
        return refuse(checked_name, "%s must add text to the request, which became %R", after);
    }
    OwnedRef part;
    if (first_pending_) {
        // `first + literal`: the first field's part is what stands before the literal.
        Truth ends = literal ? affix(after, piece, +1) : 0;
        if (ends < 0) {
            return false;
        }
        Py_ssize_t length = PyUnicode_GetLength(after.get());
        Py_ssize_t literal_length = PyUnicode_GetLength(piece.get());
        if (!ends || length < literal_length) {
            return refuse(first_name_, "%s must only add text to the request, which became %R",
                          after);
        }
        part = OwnedRef::steal(PyUnicode_Substring(after.get(), 0, length - literal_length));
        checked_name = first_name_;
        checked_rule = first_rule_;
        first_pending_ = false;
    } else {
        Truth begins = affix(after, before, -1);
        if (begins < 0) {
            return false;
        }
        Py_ssize_t start = PyUnicode_GetLength(before.get());
        if (!begins || start < 0) {
            return start >= 0 &&
                   refuse(checked_name, "%s must only add text to the request, which became %R",
                          after);
        }
        part = OwnedRef::steal(PyUnicode_Substring(after.get(), start, PY_SSIZE_T_MAX));
        // A separator adds itself and nothing else, whatever the text so far does with `+`.
        Truth as_is = part && literal ? equals(part, piece) : 1;
        if (as_is <= 0) {
            return as_is == 0 &&
                   refuse(checked_name, "%s must only add text to the request, which became %R",
                          after);
        }
    }
    if (!part) {
        return false;
    }
    Truth spaced = checked_rule == FieldRule::one_word ? holds_whitespace(part) : 0;
    if (spaced != 0) {
        return spaced > 0 && refuse(checked_name, "%s must not contain whitespace, got %R", part);
    }
    if (is_exact_str(after)) {
        // Back on plain str: later pieces are collected again.
        pieces_.push_back(std::move(after));
        exact_ = true;
    } else {
        sum_ = std::move(after);
    }
    last_name_ = literal ? last_name_ : name;
    failed_ = false;
    return true;
}

bool RequestText::add_literal(BorrowedRef literal) {
    return add(literal, nullptr, FieldRule::free_text, true);
}

bool RequestText::add_field(BorrowedRef field, const char* name, FieldRule rule) {
    return add(field, name, rule, false);
}

OwnedRef RequestText::finish() {
    if (failed_ || (exact_ && !collapse())) {
        return {};
    }
    failed_ = true;
    return std::move(sum_);
}

Truth equals(BorrowedRef left, BorrowedRef right) {
    return compare(left, right, Py_EQ);
}

Truth differs(BorrowedRef left, BorrowedRef right) {
    return compare(left, right, Py_NE);
}

OwnedRef strip_whitespace(const ModuleState& state, BorrowedRef text) {
    return call_method(text, state.strip, {});
}

OwnedRef strip_chars(const ModuleState& state, BorrowedRef text, BorrowedRef chars) {
    return call_method(text, state.strip, {chars});
}

OwnedRef split(const ModuleState& state, BorrowedRef text, BorrowedRef separator) {
    if (is_exact_str(text)) {
        return OwnedRef::steal(PyUnicode_Split(text.get(), separator.get(), -1));
    }
    return call_method(text, state.split, {separator});
}

OwnedRef replace(const ModuleState& state, BorrowedRef text, BorrowedRef old_text,
                 BorrowedRef new_text) {
    if (is_exact_str(text)) {
        return OwnedRef::steal(PyUnicode_Replace(text.get(), old_text.get(), new_text.get(), -1));
    }
    return call_method(text, state.replace, {old_text, new_text});
}

Truth lacks(const ModuleState& state, BorrowedRef text, BorrowedRef word) {
    if (is_exact_str(text)) {
        Py_ssize_t at = PyUnicode_Find(text.get(), word.get(), 0, PY_SSIZE_T_MAX, 1);
        return at == -2 ? -1 : at < 0;
    }
    OwnedRef at = call_method(text, state.find, {word});
    if (!at) {
        return -1;
    }
    return truth_of(OwnedRef::steal(PyObject_RichCompare(at.get(), state.zero.get(), Py_LT)));
}

Truth equals_first_field(const ModuleState& state, BorrowedRef key, BorrowedRef text,
                         BorrowedRef separator) {
    if (is_exact_str(key) && is_exact_str(text)) {
        Py_ssize_t length = PyUnicode_GetLength(text.get());
        Py_UCS4 mark = PyUnicode_ReadChar(separator.get(), 0);
        if (length < 0 || (mark == static_cast<Py_UCS4>(-1) && PyErr_Occurred())) {
            return -1;
        }
        Py_ssize_t end = PyUnicode_FindChar(text.get(), mark, 0, length, 1);
        if (end == -2) {
            return -1;
        }
        Py_ssize_t field_length = end < 0 ? length : end;
        if (PyUnicode_GetLength(key.get()) != field_length) {
            return 0;
        }
        if (field_length == 0) {
            return 1;
        }
        Py_ssize_t match = PyUnicode_Tailmatch(text.get(), key.get(), 0, field_length, -1);
        return match < 0 ? -1 : match == 1;
    }
    OwnedRef fields = split(state, text, separator);
    if (!fields) {
        return -1;
    }
    OwnedRef first = OwnedRef::steal(PyObject_GetItem(fields.get(), state.zero.get()));
    if (!first) {
        return -1;
    }
    return equals(key, first);
}

Truth Utf8Text::encode(BorrowedRef text) {
    bytes_ = OwnedRef::steal(PyUnicode_AsUTF8String(text.get()));
    if (!bytes_) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    char* start = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes_.get(), &start, &size) < 0) {
        return -1;
    }
    view_ = std::string_view(start, static_cast<std::size_t>(size));
    return 1;
}

OwnedRef call(BorrowedRef callable, std::initializer_list<BorrowedRef> arguments) {
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
    if (!tuple) {
        return {};
    }
    Py_ssize_t index = 0;
    for (BorrowedRef argument : arguments) {
        if (PyTuple_SetItem(tuple.get(), index++, OwnedRef::share(argument).release()) < 0) {
            return {};
        }
    }
    return OwnedRef::steal(PyObject_Call(callable.get(), tuple.get(), nullptr));
}

OwnedRef call_method(BorrowedRef object, BorrowedRef name,
                     std::initializer_list<BorrowedRef> arguments) {
    OwnedRef method = OwnedRef::steal(PyObject_GetAttr(object.get(), name.get()));
    if (!method) {
        return {};
    }
    return call(method, arguments);
}

OwnedRef encode_utf8(const ModuleState& s, BorrowedRef msg) {
    if (is_exact_str(msg)) {
        return OwnedRef::steal(PyUnicode_AsUTF8String(msg.get()));
    }
    return call_method(msg, s.encode, {s.utf8});
}

}  // namespace velkarcmd
