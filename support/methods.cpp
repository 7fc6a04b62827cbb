#include "methods.hpp"

namespace velkarcmd {

OwnedRef attribute(BorrowedRef object, const char* name) {
    return OwnedRef::steal(PyObject_GetAttrString(object.get(), name));
}

bool set_attribute(BorrowedRef object, const char* name, BorrowedRef value) {
    return PyObject_SetAttrString(object.get(), name, value.get()) == 0;
}

bool name_method(const ModuleState& state, BorrowedRef function, const char* class_name,
                 const char* name) {
    OwnedRef qualname = OwnedRef::steal(PyUnicode_FromFormat("%s.%s", class_name, name));
    if (!qualname || !set_attribute(function, "__qualname__", qualname)) {
        return false;
    }
    OwnedRef code = attribute(function, "__code__");
    if (!code) {
        return false;
    }
    if (!PyObject_HasAttr(code.get(), state.co_qualname.get())) {
        return true;
    }
    OwnedRef replace = OwnedRef::steal(PyObject_GetAttr(code.get(), state.replace_code.get()));
    OwnedRef no_arguments = OwnedRef::steal(PyTuple_New(0));
    OwnedRef keywords = OwnedRef::steal(PyDict_New());
    if (!replace || !no_arguments || !keywords ||
        PyDict_SetItem(keywords.get(), state.co_qualname.get(), qualname.get()) < 0) {
        return false;
    }
    OwnedRef renamed =
        OwnedRef::steal(PyObject_Call(replace.get(), no_arguments.get(), keywords.get()));
    return renamed && set_attribute(function, "__code__", renamed);
}

}  // namespace velkarcmd
