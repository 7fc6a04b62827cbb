// A native callable that behaves like a plain function stored in a class:
// it binds to instances as a method, binds its arguments by the interpreter's
// rules for functions (with the interpreter's messages), and shows its name,
// qualified name, module, docstring, defaults and signature.
#pragma once

#include <cstddef>

#include "ref.hpp"

namespace velkarcmd {

constexpr std::size_t kMaxParameters = 12;

// The arguments of one call, one per parameter in order. They are owned for the whole call:
// the caller's keyword dict, which a call may receive as it is, can change or go away while
// the exchange runs Python code or waits with the lock released.
class BoundArguments {
  public:
    BorrowedRef operator[](std::size_t index) const { return values_[index]; }

  private:
    friend class ArgumentBinder;
    OwnedRef values_[kMaxParameters];
};

struct FunctionObject;

// What a function does once its arguments are bound: a new reference, or null with an error set.
using FunctionBody = OwnedRef (*)(const FunctionObject& function, const BoundArguments& arguments);

struct FunctionDefinition {
    const char* name;
    const char* qualname;
    const char* doc;                // null: no docstring
    const char* const* parameters;  // `self` first
    std::size_t parameter_count;
    FunctionBody body;
};

// Makes a function object. `defaults` (a tuple, or null for none) covers the last parameters;
// `globals` is the namespace the function's body resolves global names in.
OwnedRef make_function(const FunctionDefinition& definition, BorrowedRef module_name,
                       BorrowedRef globals, OwnedRef defaults);

// The namespace a function resolves global names in (may be null after garbage collection).
BorrowedRef function_globals(const FunctionObject& function);

// Readies the function type; false with an error set on failure.
bool ready_function_type();

}  // namespace velkarcmd
