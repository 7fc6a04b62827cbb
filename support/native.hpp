// The native half of a method: the interpreter's own function binds the caller's arguments
// and hands them on to one of these, a builtin function bound to the module object.
#pragma once

#include "ref.hpp"
#include "state.hpp"

namespace velkarcmd {

// What every native command reaches: its module's state, kept alive by the builtin function
// being called, which holds the module.
struct Command {
    const ModuleState& state;
};

template <std::size_t N>
using CommandBody = OwnedRef (*)(const Command& command, const Arguments<N>& arguments);

// Unpacks the arguments (owning them), finds the state and runs `body`: a builtin function's
// C entry point.
template <std::size_t N>
PyObject* run_native(PyObject* module, PyObject* args, const char* name, CommandBody<N> body) {
    const ModuleState* state = state_of(module);
    Arguments<N> arguments;
    if (state == nullptr || !arguments.take(args, name)) {
        return nullptr;
    }
    return body(Command{*state}, arguments).release();
}

}  // namespace velkarcmd
