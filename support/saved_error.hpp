// Keeps the exception under way aside while clean-up code runs, and puts it back afterwards,
// so that clean-up never replaces the error the caller is to see.
#pragma once

#include "ref.hpp"

namespace velkarcmd {

class SavedError {
  public:
    SavedError() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = OwnedRef::steal(type);
        value_ = OwnedRef::steal(value);
        traceback_ = OwnedRef::steal(traceback);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() {
        PyErr_Clear();  // whatever the clean-up raised
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    }

  private:
    OwnedRef type_, value_, traceback_;
};

}  // namespace velkarcmd
