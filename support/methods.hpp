// What both modules do to the functions they generate for their class.
#pragma once

#include "ref.hpp"
#include "state.hpp"

namespace velkarcmd {

// `object.name`; null with an error set.
OwnedRef attribute(BorrowedRef object, const char* name);

// `object.name = value`; false with an error set.
bool set_attribute(BorrowedRef object, const char* name, BorrowedRef value);

// Gives a method its qualified name `class_name.name`, on the function and, where the
// interpreter keeps one there too, on its code object; false with an error set.
bool name_method(const ModuleState& state, BorrowedRef function, const char* class_name,
                 const char* name);

}  // namespace velkarcmd
