#include "text.hpp"

#include "constants.hpp"

namespace velkarcmd {

namespace {

// Whether an exact str object is ready for the direct-access macros (always, from 3.12 on).
bool ready(BorrowedRef text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text.get()) == 0;
#else
    (void)text;
    return true;
#endif
}

// `text` less the characters that `drop` accepts at both ends.
template <typename Drop>
OwnedRef strip_exact(BorrowedRef text, Drop drop) {
    if (!ready(text)) {
        return {};
    }
    int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    Py_ssize_t first = 0;
    Py_ssize_t last = PyUnicode_GET_LENGTH(text.get());
    while (first < last && drop(PyUnicode_READ(kind, data, first))) {
        ++first;
    }
    while (last > first && drop(PyUnicode_READ(kind, data, last - 1))) {
        --last;
    }
    return OwnedRef::steal(PyUnicode_Substring(text.get(), first, last));
}

Truth truth_of(OwnedRef value) {
    if (!value) {
        return -1;
    }
    return PyObject_IsTrue(value.get());
}

Truth compare(BorrowedRef left, BorrowedRef right, int operation) {
    if (is_exact_str(left) && is_exact_str(right)) {
        bool same = PyUnicode_Compare(left.get(), right.get()) == 0;
        return operation == Py_EQ ? same : !same;
    }
    return truth_of(OwnedRef::steal(PyObject_RichCompare(left.get(), right.get(), operation)));
}

}  // namespace

TextBuilder::TextBuilder(BorrowedRef start) {
    if (is_exact_str(start)) {
        pieces_.push_back(OwnedRef::share(start));
    } else {
        generic_ = true;
        sum_ = OwnedRef::share(start);
    }
}

bool TextBuilder::collapse() {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (const OwnedRef& piece : pieces_) {
        if (!ready(piece)) {
            return false;
        }
        Py_ssize_t piece_length = PyUnicode_GET_LENGTH(piece.get());
        if (piece_length > PY_SSIZE_T_MAX - length) {
            PyErr_SetString(PyExc_OverflowError, "strings are too large to concat");
            return false;
        }
        length += piece_length;
        Py_UCS4 piece_max = PyUnicode_MAX_CHAR_VALUE(piece.get());
        max_char = piece_max > max_char ? piece_max : max_char;
    }
    if (pieces_.size() == 1) {
        sum_ = std::move(pieces_[0]);
    } else {
        sum_ = OwnedRef::steal(PyUnicode_New(length, max_char));
        if (!sum_) {
            return false;
        }
        Py_ssize_t at = 0;
        for (const OwnedRef& piece : pieces_) {
            Py_ssize_t copied = PyUnicode_CopyCharacters(sum_.get(), at, piece.get(), 0,
                                                         PyUnicode_GET_LENGTH(piece.get()));
            if (copied < 0) {
                return false;
            }
            at += copied;
        }
    }
    pieces_.clear();
    return true;
}

bool TextBuilder::add(BorrowedRef piece) {
    if (!generic_) {
        if (is_exact_str(piece)) {
            pieces_.push_back(OwnedRef::share(piece));
            return true;
        }
        if (!collapse()) {
            return false;
        }
        generic_ = true;
    }
    sum_ = OwnedRef::steal(PyNumber_Add(sum_.get(), piece.get()));
    return static_cast<bool>(sum_);
}

OwnedRef TextBuilder::finish() {
    if (!generic_ && !collapse()) {
        return {};
    }
    return std::move(sum_);
}

Truth equals(BorrowedRef left, BorrowedRef right) {
    return compare(left, right, Py_EQ);
}

Truth differs(BorrowedRef left, BorrowedRef right) {
    return compare(left, right, Py_NE);
}

OwnedRef strip_whitespace(BorrowedRef text) {
    if (is_exact_str(text)) {
        return strip_exact(text, [](Py_UCS4 c) { return Py_UNICODE_ISSPACE(c) != 0; });
    }
    return call_method(text, constants().strip, {});
}

OwnedRef strip_chars(BorrowedRef text, BorrowedRef chars) {
    if (is_exact_str(text) && is_exact_str(chars) && PyUnicode_GET_LENGTH(chars.get()) == 1 &&
        ready(chars)) {
        Py_UCS4 only = PyUnicode_READ_CHAR(chars.get(), 0);
        return strip_exact(text, [only](Py_UCS4 c) { return c == only; });
    }
    return call_method(text, constants().strip, {chars});
}

OwnedRef split(BorrowedRef text, BorrowedRef separator) {
    if (is_exact_str(text)) {
        return OwnedRef::steal(PyUnicode_Split(text.get(), separator.get(), -1));
    }
    return call_method(text, constants().split, {separator});
}

OwnedRef replace(BorrowedRef text, BorrowedRef old_text, BorrowedRef new_text) {
    if (is_exact_str(text)) {
        return OwnedRef::steal(PyUnicode_Replace(text.get(), old_text.get(), new_text.get(), -1));
    }
    return call_method(text, constants().replace, {old_text, new_text});
}

Truth lacks(BorrowedRef text, BorrowedRef word) {
    if (is_exact_str(text)) {
        Py_ssize_t at = PyUnicode_Find(text.get(), word.get(), 0, PY_SSIZE_T_MAX, 1);
        return at == -2 ? -1 : at < 0;
    }
    OwnedRef at = call_method(text, constants().find, {word});
    if (!at) {
        return -1;
    }
    return truth_of(OwnedRef::steal(PyObject_RichCompare(at.get(), constants().zero.get(), Py_LT)));
}

Truth equals_first_field(BorrowedRef key, BorrowedRef text, BorrowedRef separator) {
    if (is_exact_str(key) && is_exact_str(text)) {
        if (!ready(key) || !ready(text) || !ready(separator)) {
            return -1;
        }
        Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
        Py_UCS4 mark = PyUnicode_READ_CHAR(separator.get(), 0);
        Py_ssize_t end = PyUnicode_FindChar(text.get(), mark, 0, length, 1);
        if (end == -2) {
            return -1;
        }
        Py_ssize_t field_length = end < 0 ? length : end;
        if (PyUnicode_GET_LENGTH(key.get()) != field_length) {
            return 0;
        }
        if (field_length == 0) {
            return 1;
        }
        Py_ssize_t match = PyUnicode_Tailmatch(text.get(), key.get(), 0, field_length, -1);
        return match < 0 ? -1 : match == 1;
    }
    OwnedRef fields = split(text, separator);
    if (!fields) {
        return -1;
    }
    OwnedRef first = OwnedRef::steal(PyObject_GetItem(fields.get(), constants().zero.get()));
    if (!first) {
        return -1;
    }
    return equals(key, first);
}

bool refuse_whitespace(BorrowedRef field, const char* parameter) {
    if (!PyUnicode_Check(field.get())) {
        return true;
    }
    if (!ready(field)) {
        return false;
    }
    int kind = PyUnicode_KIND(field.get());
    const void* data = PyUnicode_DATA(field.get());
    Py_ssize_t length = PyUnicode_GET_LENGTH(field.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) {
            PyErr_Format(PyExc_ValueError, "%s must not contain whitespace, got %R", parameter,
                         field.get());
            return false;
        }
    }
    return true;
}

OwnedRef call(BorrowedRef callable, std::initializer_list<BorrowedRef> arguments) {
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
    if (!tuple) {
        return {};
    }
    Py_ssize_t index = 0;
    for (BorrowedRef argument : arguments) {
        PyTuple_SET_ITEM(tuple.get(), index++, OwnedRef::share(argument).release());
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

}  // namespace velkarcmd
