#include "native_function.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace velkarcmd {

struct FunctionObject {
    PyObject_HEAD

        const FunctionDefinition* definition;
    // Each field below is owned by the function object.
    struct Fields {
        OwnedRef code_name;  // the name at creation: what messages use before 3.10
        OwnedRef name;
        OwnedRef qualname;
        OwnedRef module;
        OwnedRef doc;
        OwnedRef defaults;
        OwnedRef globals;
        OwnedRef parameter_names;  // tuple of interned str
    } fields;

    // Slots the interpreter manages itself through tp_dictoffset and tp_weaklistoffset.
    PyObject* dict;
    PyObject* weakrefs;
};

namespace {

extern PyTypeObject function_type;

FunctionObject* as_function(PyObject* object) {
    return reinterpret_cast<FunctionObject*>(object);
}

Py_ssize_t default_count(const FunctionObject& function) {
    BorrowedRef defaults = function.fields.defaults;
    return defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
}

// The name the interpreter puts in front of "()" in argument errors.
BorrowedRef label(const FunctionObject& function) {
#if PY_VERSION_HEX >= 0x030A0000
    return function.fields.qualname;
#else
    return function.fields.code_name;
#endif
}

#if PY_VERSION_HEX >= 0x030D0000
// Keyword suggestions of "Did you mean ...?", weighed as the interpreter weighs them.
constexpr std::size_t kMaxSuggestionLength = 40;
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;

std::size_t substitution_cost(char a, char b) {
    if ((static_cast<unsigned char>(a) & 31U) != (static_cast<unsigned char>(b) & 31U)) {
        return kMoveCost;
    }
    if (a == b) {
        return 0;
    }
    if ('A' <= a && a <= 'Z') {
        a = static_cast<char>(a + ('a' - 'A'));
    }
    if ('A' <= b && b <= 'Z') {
        b = static_cast<char>(b + ('a' - 'A'));
    }
    return a == b ? kCaseCost : kMoveCost;
}

std::size_t edit_distance(const char* a, std::size_t a_size, const char* b, std::size_t b_size,
                          std::size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) {
        ++a, --a_size, ++b, --b_size;
    }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) {
        --a_size, --b_size;
    }
    if (a_size == 0 || b_size == 0) {
        return (a_size + b_size) * kMoveCost;
    }
    if (a_size > kMaxSuggestionLength || b_size > kMaxSuggestionLength) {
        return max_cost + 1;
    }
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) {
        return max_cost + 1;
    }
    std::size_t row[kMaxSuggestionLength];
    for (std::size_t i = 0; i < a_size; ++i) {
        row[i] = (i + 1) * kMoveCost;
    }
    std::size_t result = 0;
    for (std::size_t b_index = 0; b_index < b_size; ++b_index) {
        std::size_t distance = result = b_index * kMoveCost;
        std::size_t minimum = SIZE_MAX;
        for (std::size_t index = 0; index < a_size; ++index) {
            std::size_t substitute = distance + substitution_cost(b[b_index], a[index]);
            distance = row[index];
            std::size_t insert_delete = (result < distance ? result : distance) + kMoveCost;
            result = insert_delete < substitute ? insert_delete : substitute;
            row[index] = result;
            if (result < minimum) {
                minimum = result;
            }
        }
        if (minimum > max_cost) {
            return max_cost + 1;
        }
    }
    return result;
}

// The parameter name closest to an unknown keyword, or null when none is close enough.
BorrowedRef suggest_parameter(const FunctionObject& function, BorrowedRef keyword) {
    Py_ssize_t keyword_size = 0;
    const char* keyword_text = PyUnicode_AsUTF8AndSize(keyword.get(), &keyword_size);
    if (keyword_text == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    BorrowedRef best;
    std::size_t best_distance = SIZE_MAX;
    PyObject* names = function.fields.parameter_names.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        Py_ssize_t name_size = 0;
        const char* name_text = PyUnicode_AsUTF8AndSize(name, &name_size);
        std::size_t max_distance =
            static_cast<std::size_t>(keyword_size + name_size + 3) * kMoveCost / 6;
        if (best_distance - 1 < max_distance) {
            max_distance = best_distance - 1;
        }
        std::size_t distance =
            edit_distance(keyword_text, static_cast<std::size_t>(keyword_size), name_text,
                          static_cast<std::size_t>(name_size), max_distance);
        if (distance > max_distance) {
            continue;
        }
        if (!best || distance < best_distance) {
            best = name;
            best_distance = distance;
        }
    }
    return best;
}
#endif

void raise_unexpected_keyword(const FunctionObject& function, BorrowedRef keyword) {
#if PY_VERSION_HEX >= 0x030D0000
    if (BorrowedRef suggestion = suggest_parameter(function, keyword)) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     label(function).get(), keyword.get(), suggestion.get());
        return;
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                 label(function).get(), keyword.get());
}

void raise_too_many_positional(const FunctionObject& function, Py_ssize_t given) {
    Py_ssize_t parameter_count = static_cast<Py_ssize_t>(function.definition->parameter_count);
    Py_ssize_t defaults = default_count(function);
    OwnedRef accepted;
    bool plural = true;
    if (defaults) {
        accepted = OwnedRef::steal(
            PyUnicode_FromFormat("from %zd to %zd", parameter_count - defaults, parameter_count));
    } else {
        plural = parameter_count != 1;
        accepted = OwnedRef::steal(PyUnicode_FromFormat("%zd", parameter_count));
    }
    if (!accepted) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 label(function).get(), accepted.get(), plural ? "s" : "", given,
                 given == 1 ? "was" : "were");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
void raise_missing(const FunctionObject& function, const std::vector<Py_ssize_t>& missing) {
    std::vector<OwnedRef> names;
    for (Py_ssize_t index : missing) {
        PyObject* name = PyTuple_GET_ITEM(function.fields.parameter_names.get(), index);
        names.push_back(OwnedRef::steal(PyObject_Repr(name)));
        if (!names.back()) {
            return;
        }
    }
    std::size_t count = names.size();
    OwnedRef listed;
    if (count == 1) {
        listed = OwnedRef::share(names[0]);
    } else if (count == 2) {
        listed = OwnedRef::steal(PyUnicode_FromFormat("%U and %U", names[0].get(), names[1].get()));
    } else {
        listed = OwnedRef::share(names[0]);
        for (std::size_t i = 1; i < count && listed; ++i) {
            const char* format = i + 1 == count ? "%U, and %U" : "%U, %U";
            listed = OwnedRef::steal(PyUnicode_FromFormat(format, listed.get(), names[i].get()));
        }
    }
    if (!listed) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U",
                 label(function).get(), static_cast<int>(count), count == 1 ? "" : "s",
                 listed.get());
}

// Index of the parameter a keyword names: -1 for none, -2 with an error set.
Py_ssize_t find_parameter(const FunctionObject& function, BorrowedRef keyword) {
    PyObject* names = function.fields.parameter_names.get();
    Py_ssize_t count = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(names, i) == keyword.get()) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        int equal = PyObject_RichCompareBool(keyword.get(), PyTuple_GET_ITEM(names, i), Py_EQ);
        if (equal < 0) {
            return -2;
        }
        if (equal) {
            return i;
        }
    }
    return -1;
}

}  // namespace

// Binds a call's arguments to parameters in the order, and with the messages, of the
// interpreter's own function calls.
class ArgumentBinder {
  public:
    static bool bind(const FunctionObject& function, PyObject* args, PyObject* kwargs,
                     BoundArguments& bound) {
        Py_ssize_t parameter_count = static_cast<Py_ssize_t>(function.definition->parameter_count);
        Py_ssize_t given = PyTuple_GET_SIZE(args);
        Py_ssize_t positional = given < parameter_count ? given : parameter_count;
        for (Py_ssize_t i = 0; i < positional; ++i) {
            bound.values_[i] = OwnedRef::share(PyTuple_GET_ITEM(args, i));
        }

        if (kwargs != nullptr) {
            // A snapshot of owned pairs: comparing a keyword runs its own `==`, which may
            // change the dict under an iteration.
            OwnedRef items = OwnedRef::steal(PyDict_Items(kwargs));
            if (!items) {
                return false;
            }
            for (Py_ssize_t item = 0; item < PyList_GET_SIZE(items.get()); ++item) {
                OwnedRef pair = OwnedRef::share(PyList_GET_ITEM(items.get(), item));
                OwnedRef keyword = OwnedRef::share(PyTuple_GET_ITEM(pair.get(), 0));
                OwnedRef value = OwnedRef::share(PyTuple_GET_ITEM(pair.get(), 1));
                if (!PyUnicode_Check(keyword.get())) {
                    PyErr_Format(PyExc_TypeError, "%U() keywords must be strings",
                                 label(function).get());
                    return false;
                }
                Py_ssize_t index = find_parameter(function, keyword);
                if (index == -2) {
                    return false;
                }
                if (index == -1) {
                    raise_unexpected_keyword(function, keyword);
                    return false;
                }
                if (bound.values_[index]) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                                 label(function).get(), keyword.get());
                    return false;
                }
                bound.values_[index] = std::move(value);
            }
        }

        if (given > parameter_count) {
            raise_too_many_positional(function, given);
            return false;
        }

        Py_ssize_t defaults = default_count(function);
        Py_ssize_t required = parameter_count - defaults;
        std::vector<Py_ssize_t> missing;
        for (Py_ssize_t i = given; i < required; ++i) {
            if (!bound.values_[i]) {
                missing.push_back(i);
            }
        }
        if (!missing.empty()) {
            raise_missing(function, missing);
            return false;
        }
        for (Py_ssize_t i = required; i < parameter_count; ++i) {
            if (!bound.values_[i]) {
                bound.values_[i] = OwnedRef::share(
                    PyTuple_GET_ITEM(function.fields.defaults.get(), i - required));
            }
        }
        return true;
    }
};

namespace {

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionObject& function = *as_function(self);
    BoundArguments bound;
    if (!ArgumentBinder::bind(function, args, kwargs, bound)) {
        return nullptr;
    }
    return function.definition->body(function, bound).release();
}

// Fetched from an instance a function binds to it; fetched from the class it is itself.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) {
        return OwnedRef::share(self).release();
    }
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->fields.qualname.get(),
                                self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject& function = *as_function(self);
    Py_VISIT(function.fields.module.get());
    Py_VISIT(function.fields.doc.get());
    Py_VISIT(function.fields.defaults.get());
    Py_VISIT(function.fields.globals.get());
    Py_VISIT(function.dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject& function = *as_function(self);
    function.fields.globals.reset();
    Py_CLEAR(function.dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject& function = *as_function(self);
    PyObject_GC_UnTrack(self);
    if (function.weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    Py_CLEAR(function.dict);
    function.fields.~Fields();
    PyObject_GC_Del(self);
}

PyObject* get_name(PyObject* self, void*) {
    return OwnedRef::share(as_function(self)->fields.name).release();
}

PyObject* get_qualname(PyObject* self, void*) {
    return OwnedRef::share(as_function(self)->fields.qualname).release();
}

int set_str_field(OwnedRef& field, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    field = OwnedRef::share(value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_function(self)->fields.name, value, "__name__");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str_field(as_function(self)->fields.qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) {
    BorrowedRef doc = as_function(self)->fields.doc;
    return OwnedRef::share(doc ? doc : BorrowedRef(Py_None)).release();
}

int set_doc(PyObject* self, PyObject* value, void*) {
    as_function(self)->fields.doc = OwnedRef::share(value);
    return 0;
}

PyObject* get_module(PyObject* self, void*) {
    BorrowedRef module = as_function(self)->fields.module;
    return OwnedRef::share(module ? module : BorrowedRef(Py_None)).release();
}

int set_module(PyObject* self, PyObject* value, void*) {
    as_function(self)->fields.module = OwnedRef::share(value);
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    BorrowedRef defaults = as_function(self)->fields.defaults;
    return OwnedRef::share(defaults ? defaults : BorrowedRef(Py_None)).release();
}

PyObject* get_none(PyObject*, void*) {
    return none().release();
}

PyObject* get_globals(PyObject* self, void*) {
    BorrowedRef globals = as_function(self)->fields.globals;
    return OwnedRef::share(globals ? globals : BorrowedRef(Py_None)).release();
}

// The signature `inspect` reads for callables that are not pure-Python functions.
PyObject* get_text_signature(PyObject* self, void*) {
    const FunctionObject& function = *as_function(self);
    PyObject* names = function.fields.parameter_names.get();
    Py_ssize_t count = PyTuple_GET_SIZE(names);
    Py_ssize_t first_default = count - default_count(function);
    OwnedRef text = str_from("(");
    for (Py_ssize_t i = 0; i < count && text; ++i) {
        const char* separator = i == 0 ? "" : ", ";
        PyObject* name = PyTuple_GET_ITEM(names, i);
        if (i < first_default) {
            text = OwnedRef::steal(PyUnicode_FromFormat("%U%s%U", text.get(), separator, name));
        } else {
            PyObject* value = PyTuple_GET_ITEM(function.fields.defaults.get(), i - first_default);
            text = OwnedRef::steal(
                PyUnicode_FromFormat("%U%s%U=%R", text.get(), separator, name, value));
        }
    }
    if (!text) {
        return nullptr;
    }
    return PyUnicode_FromFormat("%U)", text.get());
}

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__name__"), get_name, set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {const_cast<char*>("__doc__"), get_doc, set_doc, nullptr, nullptr},
    {const_cast<char*>("__module__"), get_module, set_module, nullptr, nullptr},
    {const_cast<char*>("__defaults__"), get_defaults, nullptr, nullptr, nullptr},
    {const_cast<char*>("__kwdefaults__"), get_none, nullptr, nullptr, nullptr},
    {const_cast<char*>("__globals__"), get_globals, nullptr, nullptr, nullptr},
    {const_cast<char*>("__text_signature__"), get_text_signature, nullptr, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

unsigned long function_flags() {
    unsigned long flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#ifdef Py_TPFLAGS_METHOD_DESCRIPTOR
    // Calling it unbound with the instance first is the same as calling the bound method.
    flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
#endif
    return flags;
}

// Only assigns fields; nothing in it can throw.
// NOLINTNEXTLINE(bugprone-throwing-static-initialization)
PyTypeObject function_type = []() noexcept {
    // Slots are assigned by name: a positional initialiser would follow one version's slot order.
    PyTypeObject type{};
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
#else
    Py_REFCNT(&type) = 1;
#endif
    type.tp_name = "velkarcmd.function";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_dealloc = function_dealloc;
    type.tp_repr = function_repr;
    type.tp_call = function_call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = function_flags();
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    type.tp_getset = function_getset;
    type.tp_descr_get = function_get;
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    return type;
}();

}  // namespace

OwnedRef make_function(const FunctionDefinition& definition, BorrowedRef module_name,
                       BorrowedRef globals, OwnedRef defaults) {
    if (definition.parameter_count > kMaxParameters) {
        PyErr_SetString(PyExc_SystemError, "too many parameters for a native function");
        return {};
    }
    OwnedRef names =
        OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(definition.parameter_count)));
    if (!names) {
        return {};
    }
    for (std::size_t i = 0; i < definition.parameter_count; ++i) {
        OwnedRef name = interned(definition.parameters[i]);
        if (!name) {
            return {};
        }
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    OwnedRef name = str_from(definition.name);
    OwnedRef qualname = str_from(definition.qualname);
    OwnedRef doc = definition.doc ? str_from(definition.doc) : none();
    if (!name || !qualname || !doc) {
        return {};
    }

    FunctionObject* function = PyObject_GC_New(FunctionObject, &function_type);
    if (function == nullptr) {
        return {};
    }
    function->definition = &definition;
    function->dict = nullptr;
    function->weakrefs = nullptr;
    new (&function->fields) FunctionObject::Fields{
        OwnedRef::share(name),        std::move(name),  std::move(qualname),
        OwnedRef::share(module_name), std::move(doc),   std::move(defaults),
        OwnedRef::share(globals),     std::move(names),
    };
    OwnedRef result = OwnedRef::steal(reinterpret_cast<PyObject*>(function));
    PyObject_GC_Track(result.get());
    return result;
}

BorrowedRef function_globals(const FunctionObject& function) {
    return function.fields.globals;
}

bool ready_function_type() {
    return PyType_Ready(&function_type) == 0;
}

}  // namespace velkarcmd
