// The entry point of velkarcmd_async: AsyncZolmarCommand, ZolmarCommand's awaitable twin, built
// from the same table of commands (module/class_builder): a command makes its request with its
// field checks, awaits `self._AsyncZolmarCommand__SendMsg(text, flag)`, then shapes the reply,
// with ZolmarCommand's own halves. The exchange is channel/async_exchange.

#include "../channel/async_exchange.hpp"
#include "../support/ref.hpp"
#include "../support/state.hpp"
#include "class_builder.hpp"

namespace velkarcmd {

namespace {

constexpr char kClassName[] = "AsyncZolmarCommand";

PyMethodDef kBegin = {"begin", async_begin, METH_VARARGS, nullptr};
PyMethodDef kEnd = {"end", async_end, METH_O, nullptr};

// `end` runs however the await ends, cancellation included.
const ClassDefinition kAsyncZolmarCommand = {
    kClassName,
    "velkarcmd_async_methods.py",
    true,
    "        reply, exchange = begin(msg, flag, running_loop(), default_timeout())\n"
    "        try:\n"
    "            return await reply\n"
    "        finally:\n"
    "            end(exchange)\n",
    nullptr,
};

OwnedRef make_class(BorrowedRef module) {
    OwnedRef begin = bound_native(&kBegin, module);
    OwnedRef end = bound_native(&kEnd, module);
    OwnedRef asyncio = attribute(module, "asyncio");
    OwnedRef socket = attribute(module, "socket");
    OwnedRef running_loop = asyncio ? attribute(asyncio, "get_running_loop") : OwnedRef();
    OwnedRef default_timeout = socket ? attribute(socket, "getdefaulttimeout") : OwnedRef();
    if (!begin || !end || !running_loop || !default_timeout) {
        return {};
    }
    return build_class(module, kAsyncZolmarCommand,
                       {{"begin", begin},
                        {"end", end},
                        {"running_loop", running_loop},
                        {"default_timeout", default_timeout}});
}

// The interpreter's number, as the module that runs sub-interpreters gives it: an int, or from
// 3.13 on a tuple that begins with it.
OwnedRef interpreter_number(BorrowedRef interpreters, const char* which) {
    OwnedRef given = OwnedRef::steal(PyObject_CallMethod(interpreters.get(), which, nullptr));
    if (given && PyTuple_Check(given.get())) {
        return OwnedRef::share(PyTuple_GetItem(given.get(), 0));
    }
    return given;
}

// The reader's table and the loops' notifiers are the process's, and each loop's notifier is
// found among them under the interpreter lock: one interpreter's. Elsewhere the import is
// refused, as the interpreter refuses modules that say so. Where no module runs
// sub-interpreters (3.7), this is the main interpreter.
bool refuse_sub_interpreters() {
    for (const char* name : {"_interpreters", "_xxsubinterpreters"}) {
        OwnedRef interpreters = OwnedRef::steal(PyImport_ImportModule(name));
        if (!interpreters) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
                return true;
            }
            PyErr_Clear();
            continue;
        }
        OwnedRef current = interpreter_number(interpreters, "get_current");
        OwnedRef main = current ? interpreter_number(interpreters, "get_main") : OwnedRef();
        int in_main = main ? PyObject_RichCompareBool(current.get(), main.get(), Py_EQ) : -1;
        if (in_main < 0) {
            return true;
        }
        if (!in_main) {
            PyErr_SetString(PyExc_ImportError,
                            "module velkarcmd_async does not support loading in subinterpreters");
        }
        return !in_main;
    }
    return false;
}

int exec_module(PyObject* module) {
    if (refuse_sub_interpreters() || !bind_standard_modules(module, {"asyncio", "socket"}) ||
        !init_state(module) || !async_init(module)) {
        return -1;
    }
    OwnedRef command_class = make_class(module);
    return command_class && set_attribute(module, kClassName, command_class) ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_MOD_GIL_NOT_USED
    // Its reader thread and the loops meet under locks of their own, never the interpreter's.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velkarcmd_async",
    nullptr,
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    module_slots,
    traverse_state,
    clear_state,
    free_state,
};

}  // namespace

}  // namespace velkarcmd

PyMODINIT_FUNC PyInit_velkarcmd_async(void) {
    return PyModuleDef_Init(&velkarcmd::module_definition);
}
