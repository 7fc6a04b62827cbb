// The entry point of velkarcmd_async: AsyncZolmarCommand, ZolmarCommand's awaitable twin.
//
// Its methods are made as ZolmarCommand's are: the interpreter's own functions, compiled at
// import, whose bodies hand the bound arguments on to native halves bound to this module. A
// command's two halves are ZolmarCommand's own (commands/halves.hpp): the request text with its
// field checks, then, once `self._AsyncZolmarCommand__SendMsg(text, flag)` has been awaited, the
// shaping of the reply. The exchange is channel/async_exchange.
#include <string>

#include "../channel/async_exchange.hpp"
#include "../commands/commands.hpp"
#include "../commands/halves.hpp"
#include "../support/methods.hpp"
#include "../support/ref.hpp"
#include "../support/state.hpp"

namespace velkarcmd {

namespace {

constexpr char kClassName[] = "AsyncZolmarCommand";
constexpr char kFactory[] = "_velkarcmd_async_methods";

// The state of a half's module, once the half is known to have `expected` arguments; null with
// an error set.
const ModuleState* half_state(PyObject* module, PyObject* args, const char* name,
                              std::size_t expected) {
    const ModuleState* state = state_of(module);
    Py_ssize_t given = PyTuple_Size(args);
    if (state == nullptr || given < 0) {
        return nullptr;
    }
    if (given != static_cast<Py_ssize_t>(expected)) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d arguments (%zd given)", name,
                     static_cast<int>(expected), given);
        return nullptr;
    }
    return state;
}

// `request_<name>(fields...)`: the command text, or the field's error.
template <const CommandHalves& H>
PyObject* request_half(PyObject* module, PyObject* args) {
    const ModuleState* state = half_state(module, args, H.name, H.fields);
    if (state == nullptr) {
        return nullptr;
    }
    // The tuple owns its items for the whole call.
    OwnedRef held = OwnedRef::share(args);
    BorrowedRef values[kMostFields];
    for (std::size_t i = 0; i < H.fields; ++i) {
        values[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    return H.request(*state, Fields{values, H.fields}).release();
}

// `shape_<name>(reply, fields...)`: the method's result.
template <const CommandHalves& H>
PyObject* shape_half(PyObject* module, PyObject* args) {
    const ModuleState* state = half_state(module, args, H.name, H.fields + 1);
    if (state == nullptr) {
        return nullptr;
    }
    OwnedRef held = OwnedRef::share(args);
    BorrowedRef values[kMostFields];
    for (std::size_t i = 0; i < H.fields; ++i) {
        values[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i) + 1);
    }
    return H.shape(*state, PyTuple_GetItem(args, 0), Fields{values, H.fields}).release();
}

struct Method {
    const char* name;        // its `def` name; commands are `async def`
    const char* parameters;  // after `self`, with defaults as Python literals
    const char* passed;      // the fields its halves receive; null: not a command
    const CommandHalves* halves;
    PyMethodDef request, shape;
};

#define VELKARCMD_HALVES(name, halves)                                \
    &(halves), {name, request_half<halves>, METH_VARARGS, nullptr}, { \
        name, shape_half<halves>, METH_VARARGS, nullptr               \
    }
#define VELKARCMD_NO_HALVES                    \
    nullptr, {nullptr, nullptr, 0, nullptr}, { \
        nullptr, nullptr, 0, nullptr           \
    }

// The class namespace, in order: ZolmarCommand's.
Method kMethods[] = {
    {"__init__", "", nullptr, VELKARCMD_NO_HALVES},
    {"__SendMsg", "msg, flag", nullptr, VELKARCMD_NO_HALVES},
    {"__IsMatchType", "ot, tt", nullptr, VELKARCMD_NO_HALVES},
    {"Order",
     "broker, prodid, bs, price, qty, timetype, ordertype, timekind, pricetype, "
     "daytrade=\"0\", anc=\"\"",
     "broker, prodid, bs, price, qty, timetype, ordertype, daytrade, anc",
     VELKARCMD_HALVES("Order", kOrderHalves)},
    {"Delete", "broker, orderid", "broker, orderid", VELKARCMD_HALVES("Delete", kDeleteHalves)},
    {"GetAccount", "broker, orderid", "broker, orderid",
     VELKARCMD_HALVES("GetAccount", kGetAccountHalves)},
    {"MatchAccount", "broker, orderid", "broker, orderid",
     VELKARCMD_HALVES("MatchAccount", kMatchAccountHalves)},
    {"GetUnfinished", "broker, orderid", "broker, orderid",
     VELKARCMD_HALVES("GetUnfinished", kGetUnfinishedHalves)},
    {"GetInStock", "broker, prodid=\"\"", "broker, prodid",
     VELKARCMD_HALVES("GetInStock", kGetInStockHalves)},
    {"FutureRights", "broker", "broker", VELKARCMD_HALVES("FutureRights", kFutureRightsHalves)},
    {"AddQuote", "broker, symbols, append=False", "broker, symbols, append",
     VELKARCMD_HALVES("AddQuote", kAddQuoteHalves)},
};

#undef VELKARCMD_HALVES
#undef VELKARCMD_NO_HALVES

PyMethodDef kBegin = {"begin", async_begin, METH_VARARGS, nullptr};
PyMethodDef kEnd = {"end", async_end, METH_O, nullptr};
PyMethodDef kIsMatchType = {"__IsMatchType", is_match_type, METH_VARARGS, nullptr};

// The source of one function that takes the natives and returns the eleven methods:
//
//   def _velkarcmd_async_methods(begin, end, running_loop, default_timeout, is_match_type,
//                                request_Order, shape_Order, ...):
//       async def __SendMsg(self, msg, flag):
//           reply, exchange = begin(msg, flag, running_loop(), default_timeout())
//           try:
//               return await reply
//           finally:
//               end(exchange)
//       async def Order(self, broker, ..., daytrade="0", anc=""):
//           request = request_Order(broker, ..., daytrade, anc)
//           return shape_Order(await self._AsyncZolmarCommand__SendMsg(request, 0), broker, ...)
//       ...
//       return (__init__, __SendMsg, ...)
//
// The request is made before the exchange is looked up, as in ZolmarCommand: a refused field
// wins over a missing exchange. `end` runs however the await ends, cancellation included.
std::string methods_source() {
    std::string natives = "begin, end, running_loop, default_timeout, is_match_type";
    std::string body, made;
    for (const Method& method : kMethods) {
        std::string signature =
            std::string("self") + (*method.parameters ? ", " : "") + method.parameters;
        std::string name = method.name;
        made += name + ", ";
        if (method.halves == nullptr) {
            if (name == "__init__") {
                body += "    def __init__(self):\n        pass\n";
            } else if (name == "__SendMsg") {
                body += "    async def __SendMsg(";
                body += signature;
                body +=
                    "):\n"
                    "        reply, exchange = begin(msg, flag, running_loop(), "
                    "default_timeout())\n"
                    "        try:\n"
                    "            return await reply\n"
                    "        finally:\n"
                    "            end(exchange)\n";
            } else {
                for (const std::string& piece :
                     {std::string("    def "), name, std::string("("), signature,
                      std::string("):\n        return is_match_type(self, "),
                      std::string(method.parameters), std::string(")\n")}) {
                    body += piece;
                }
            }
            continue;
        }
        std::string flag = method.halves->mode == ReplyMode::single ? "0" : "1";
        for (const std::string& piece :
             {std::string(", request_"), name, std::string(", shape_"), name}) {
            natives += piece;
        }
        for (const std::string& piece :
             {std::string("    async def "), name, std::string("("), signature,
              std::string("):\n        request = request_"), name, std::string("("),
              std::string(method.passed), std::string(")\n        return shape_"), name,
              std::string("(await self._"), std::string(kClassName),
              std::string("__SendMsg(request, "), flag, std::string("), "),
              std::string(method.passed), std::string(")\n")}) {
            body += piece;
        }
    }
    return std::string("def ") + kFactory + "(" + natives + "):\n" + body + "    return (" + made +
           ")\n";
}

bool append_native(BorrowedRef list, PyMethodDef* definition, BorrowedRef module,
                   BorrowedRef module_name) {
    OwnedRef native =
        OwnedRef::steal(PyCFunction_NewEx(definition, module.get(), module_name.get()));
    return native && PyList_Append(list.get(), native.get()) == 0;
}

// The eleven methods, in the order of the table; null with an error set.
OwnedRef make_methods(BorrowedRef module) {
    const ModuleState* state = state_of(module);
    if (state == nullptr) {
        return {};
    }
    std::string source = methods_source();
    OwnedRef code =
        OwnedRef::steal(Py_CompileString(source.c_str(), "<velkarcmd_async>", Py_file_input));
    OwnedRef scratch = OwnedRef::steal(PyDict_New());
    OwnedRef globals = OwnedRef::share(PyModule_GetDict(module.get()));
    if (!code || !scratch || !globals) {
        return {};
    }
    if (!OwnedRef::steal(PyEval_EvalCode(code.get(), globals.get(), scratch.get()))) {
        return {};
    }
    OwnedRef factory = OwnedRef::share(PyDict_GetItemString(scratch.get(), kFactory));
    OwnedRef module_name = attribute(module, "__name__");
    OwnedRef asyncio = attribute(module, "asyncio");
    OwnedRef socket = attribute(module, "socket");
    OwnedRef natives = OwnedRef::steal(PyList_New(0));
    if (!factory || !module_name || !asyncio || !socket || !natives ||
        !append_native(natives, &kBegin, module, module_name) ||
        !append_native(natives, &kEnd, module, module_name)) {
        return {};
    }
    OwnedRef running_loop = attribute(asyncio, "get_running_loop");
    OwnedRef default_timeout = attribute(socket, "getdefaulttimeout");
    if (!running_loop || !default_timeout || PyList_Append(natives.get(), running_loop.get()) < 0 ||
        PyList_Append(natives.get(), default_timeout.get()) < 0 ||
        !append_native(natives, &kIsMatchType, module, module_name)) {
        return {};
    }
    for (Method& method : kMethods) {
        if (method.halves != nullptr &&
            (!append_native(natives, &method.request, module, module_name) ||
             !append_native(natives, &method.shape, module, module_name))) {
            return {};
        }
    }
    OwnedRef arguments = OwnedRef::steal(PyList_AsTuple(natives.get()));
    OwnedRef methods = arguments
                           ? OwnedRef::steal(PyObject_Call(factory.get(), arguments.get(), nullptr))
                           : OwnedRef();
    if (!methods) {
        return {};
    }
    Py_ssize_t index = 0;
    for (const Method& method : kMethods) {
        OwnedRef function = OwnedRef::share(PyTuple_GetItem(methods.get(), index++));
        if (!function || !name_method(*state, function, kClassName, method.name)) {
            return {};
        }
    }
    return methods;
}

// The class-namespace key: private names carry the class's prefix.
std::string key_of(const char* name) {
    std::string key = name;
    if (key.size() > 2 && key.compare(0, 2, "__") == 0 &&
        key.compare(key.size() - 2, 2, "__") != 0) {
        return std::string("_") + kClassName + key;
    }
    return key;
}

OwnedRef make_class(BorrowedRef module) {
    OwnedRef class_name = str_from(kClassName);
    OwnedRef module_name = attribute(module, "__name__");
    OwnedRef bases = OwnedRef::steal(PyTuple_New(0));
    OwnedRef methods = make_methods(module);
    OwnedRef namespace_ = OwnedRef::steal(PyDict_New());
    if (!class_name || !module_name || !bases || !methods || !namespace_ ||
        PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__qualname__", class_name.get()) < 0) {
        return {};
    }
    Py_ssize_t index = 0;
    for (const Method& method : kMethods) {
        OwnedRef function = OwnedRef::share(PyTuple_GetItem(methods.get(), index++));
        if (!function || PyDict_SetItemString(namespace_.get(), key_of(method.name).c_str(),
                                              function.get()) < 0) {
            return {};
        }
    }
    auto* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
    return OwnedRef::steal(PyObject_CallFunctionObjArgs(metaclass, class_name.get(), bases.get(),
                                                        namespace_.get(), nullptr));
}

const char* const kStandardModules[] = {"asyncio", "socket"};

bool bind_standard_modules(BorrowedRef module) {
    for (const char* name : kStandardModules) {
        OwnedRef imported = OwnedRef::steal(PyImport_ImportModule(name));
        if (!imported || !set_attribute(module, name, imported)) {
            return false;
        }
    }
    return true;
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
    if (refuse_sub_interpreters() || !bind_standard_modules(module) || !init_state(module) ||
        !async_init(module)) {
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
