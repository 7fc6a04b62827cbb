// Keeps the exception under way aside while clean-up code runs, and puts it back afterwards,
// so that clean-up never replaces the error the caller is to see.
#pragma once

#include "ref.hpp"

namespace velkarcmd {

class SavedError {
  public:
    SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = OwnedRef::steal(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = OwnedRef::steal(type);
        value_ = OwnedRef::steal(value);
        traceback_ = OwnedRef::steal(traceback);
#endif
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        PyErr_Clear();  // whatever the clean-up raised
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception_.release());
#else
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
    }

  private:
#if PY_VERSION_HEX >= 0x030C0000
    OwnedRef exception_;
#else
    OwnedRef type_, value_, traceback_;
#endif
};

}  // namespace velkarcmd
