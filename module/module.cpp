// The module's entry point: binds the standard modules it carries and builds ZolmarCommand.
//
// Each method is the interpreter's own function, compiled at import from the table below with
// the module's namespace as its globals: the interpreter binds its arguments, with its own
// messages on every version, and it copies, pickles and introspects as any function does. Its
// body hands the bound arguments to the method's native half, a builtin function bound to this
// module object, which it holds in its closure; nothing of that shows at module level. The source
// is registered with `linecache` under a name of its own, so that tracebacks show its lines and
// `inspect.getsource` finds it.
#include <atomic>
#include <cstdlib>
#include <string>

#include "../channel/exchange.hpp"
#include "../commands/commands.hpp"
#include "../support/methods.hpp"
#include "../support/ref.hpp"
#include "../support/state.hpp"

namespace velkarcmd {

namespace {

// Written with byte escapes so that the text is UTF-8 whatever the compiler's source charset.
constexpr char kConstructorDoc[] =
    "output = subprocess.check_output('tasklist /FI \"IMAGENAME eq Zolmar.exe\" /SVC' , "
    "shell=True).decode('big5')\n"
    "        go = 'Zolmar'\n"
    "        check = output.find(go)\n"
    "        if(check < 0):\n"
    "            print('Zolmar\xE5\xB0\x9A\xE6\x9C\xAA\xE9\x96\x8B\xE5\x95\x9F')\n"
    "            exit(-1)";

struct Method {
    const char* key;         // the class-namespace key: private names carry the class prefix
    const char* name;        // __name__, the name of its `def`
    const char* parameters;  // after `self`, with defaults as Python literals
    const char* passed;      // what the native half receives after `self`; null: no native half
    PyMethodDef native;
};

#define VELKARCMD_NATIVE(name, function) {name, function, METH_VARARGS, nullptr}

// The class namespace, in order.
Method kMethods[] = {
    {"__init__", "__init__", "", nullptr, {nullptr, nullptr, 0, nullptr}},
    {"_ZolmarCommand__SendMsg", "__SendMsg", "msg, flag", "msg, flag",
     VELKARCMD_NATIVE("__SendMsg", send_msg)},
    {"_ZolmarCommand__IsMatchType", "__IsMatchType", "ot, tt", "ot, tt",
     VELKARCMD_NATIVE("__IsMatchType", is_match_type)},
    {"Order", "Order",
     "broker, prodid, bs, price, qty, timetype, ordertype, timekind, pricetype, "
     "daytrade=\"0\", anc=\"\"",
     "broker, prodid, bs, price, qty, timetype, ordertype, daytrade, anc",
     VELKARCMD_NATIVE("Order", order)},
    {"Delete", "Delete", "broker, orderid", "broker, orderid",
     VELKARCMD_NATIVE("Delete", delete_order)},
    {"GetAccount", "GetAccount", "broker, orderid", "broker, orderid",
     VELKARCMD_NATIVE("GetAccount", get_account)},
    {"MatchAccount", "MatchAccount", "broker, orderid", "broker, orderid",
     VELKARCMD_NATIVE("MatchAccount", match_account)},
    {"GetUnfinished", "GetUnfinished", "broker, orderid", "broker, orderid",
     VELKARCMD_NATIVE("GetUnfinished", get_unfinished)},
    {"GetInStock", "GetInStock", "broker, prodid=\"\"", "broker, prodid",
     VELKARCMD_NATIVE("GetInStock", get_in_stock)},
    {"FutureRights", "FutureRights", "broker", "broker",
     VELKARCMD_NATIVE("FutureRights", future_rights)},
    {"AddQuote", "AddQuote", "broker, symbols, append=False", "broker, symbols, append",
     VELKARCMD_NATIVE("AddQuote", add_quote)},
};

#undef VELKARCMD_NATIVE

constexpr char kFactory[] = "_velkarcmd_methods";

// The source of one function that takes the native halves and returns the eleven methods:
//
//   def _velkarcmd_methods(native_Order, ...):
//       def Order(self, broker, ..., daytrade="0", anc=""):
//           return native_Order(self, broker, ..., daytrade, anc)
//       ...
//       return (__init__, __SendMsg, ...)
std::string methods_source() {
    std::string natives, body, made;
    for (const Method& method : kMethods) {
        std::string signature =
            std::string("self") + (*method.parameters ? ", " : "") + method.parameters;
        body += std::string("    def ") + method.name + "(" + signature + "):\n";
        if (method.passed == nullptr) {
            body += "        pass\n";
        } else {
            std::string native = std::string("native_") + method.name;
            natives += (natives.empty() ? "" : ", ") + native;
            body += "        return " + native + "(self, " + method.passed + ")\n";
        }
        made += std::string(method.name) + ", ";
    }
    return std::string("def ") + kFactory + "(" + natives + "):\n" + body + "    return (" + made +
           ")\n";
}

// A file name of its own for each execution's source, as the interpreter's code generators use:
// never a real file, and never shared, so that no entry in `linecache` stands for another.
std::string source_name() {
    static std::atomic<unsigned long> executions{0};
    return "<velkarcmd methods " + std::to_string(++executions) + ">";
}

// `linecache.cache[name] = (size, None, lines, name)`: the form `linecache` keeps for source
// that has no file, and never checks against one.
bool register_source(const std::string& name, const std::string& source) {
    OwnedRef linecache = OwnedRef::steal(PyImport_ImportModule("linecache"));
    OwnedRef cache = linecache ? attribute(linecache, "cache") : OwnedRef();
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(source.data(), static_cast<Py_ssize_t>(source.size()), "strict"));
    OwnedRef keep_ends = OwnedRef::share(Py_True);
    OwnedRef lines =
        text ? OwnedRef::steal(PyObject_CallMethod(text.get(), "splitlines", "O", keep_ends.get()))
             : OwnedRef();
    OwnedRef key = str_from(name.c_str());
    if (!cache || !lines || !key) {
        return false;
    }
    OwnedRef entry = OwnedRef::steal(Py_BuildValue("(nOOO)", static_cast<Py_ssize_t>(source.size()),
                                                   Py_None, lines.get(), key.get()));
    return entry && PyObject_SetItem(cache.get(), key.get(), entry.get()) == 0;
}

// The eleven methods, in the order of the table; null with an error set.
OwnedRef make_methods(BorrowedRef module) {
    const ModuleState* state = state_of(module);
    if (state == nullptr) {
        return {};
    }
    std::string source = methods_source();
    std::string file_name = source_name();
    OwnedRef code =
        OwnedRef::steal(Py_CompileString(source.c_str(), file_name.c_str(), Py_file_input));
    if (!code || !register_source(file_name, source)) {
        return {};
    }
    // The factory is defined in a scratch namespace: only the methods keep the module's
    // namespace as their globals, and nothing is added to it.
    OwnedRef scratch = OwnedRef::steal(PyDict_New());
    OwnedRef globals = OwnedRef::share(PyModule_GetDict(module.get()));
    if (!scratch || !globals) {
        return {};
    }
    if (!OwnedRef::steal(PyEval_EvalCode(code.get(), globals.get(), scratch.get()))) {
        return {};
    }
    OwnedRef factory = OwnedRef::share(PyDict_GetItemString(scratch.get(), kFactory));
    OwnedRef module_name = attribute(module, "__name__");
    OwnedRef natives = OwnedRef::steal(PyList_New(0));
    if (!factory || !module_name || !natives) {
        return {};
    }
    for (Method& method : kMethods) {
        if (method.passed == nullptr) {
            continue;
        }
        OwnedRef native =
            OwnedRef::steal(PyCFunction_NewEx(&method.native, module.get(), module_name.get()));
        if (!native || PyList_Append(natives.get(), native.get()) < 0) {
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
        if (!function || !name_method(*state, function, "ZolmarCommand", method.name)) {
            return {};
        }
    }
    OwnedRef constructor = OwnedRef::share(PyTuple_GetItem(methods.get(), 0));
    OwnedRef doc = str_from(kConstructorDoc);
    if (!doc || !set_attribute(constructor, "__doc__", doc)) {
        return {};
    }
    return methods;
}

OwnedRef make_class(BorrowedRef module) {
    OwnedRef class_name = str_from("ZolmarCommand");
    OwnedRef module_name = attribute(module, "__name__");
    OwnedRef bases = OwnedRef::steal(PyTuple_New(0));
    OwnedRef methods = make_methods(module);
    if (!class_name || !module_name || !bases || !methods) {
        return {};
    }
    auto* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
    OwnedRef prepare = attribute(metaclass, "__prepare__");
    OwnedRef namespace_ = prepare ? OwnedRef::steal(PyObject_CallFunctionObjArgs(
                                        prepare.get(), class_name.get(), bases.get(), nullptr))
                                  : OwnedRef();
    if (!namespace_ ||
        PyObject_SetItem(namespace_.get(), str_from("__module__").get(), module_name.get()) < 0 ||
        PyObject_SetItem(namespace_.get(), str_from("__qualname__").get(), class_name.get()) < 0) {
        return {};
    }
    Py_ssize_t index = 0;
    for (const Method& method : kMethods) {
        OwnedRef function = OwnedRef::share(PyTuple_GetItem(methods.get(), index++));
        OwnedRef key = str_from(method.key);
        if (!function || !key ||
            PyObject_SetItem(namespace_.get(), key.get(), function.get()) < 0) {
            return {};
        }
    }
    return OwnedRef::steal(PyObject_CallFunctionObjArgs(metaclass, class_name.get(), bases.get(),
                                                        namespace_.get(), nullptr));
}

const char* const kStandardModules[] = {"time", "threading", "_thread", "socket", "subprocess"};

bool bind_standard_modules(BorrowedRef module) {
    for (const char* name : kStandardModules) {
        OwnedRef imported = OwnedRef::steal(PyImport_ImportModule(name));
        if (!imported || !set_attribute(module, name, imported)) {
            return false;
        }
    }
    return true;
}

// Runs once for every module object the import system makes: each import and each
// sub-interpreter has its own class, methods and state. A reload of an extension module does not
// run it again: the import system takes the module's state as the sign that it has run.
int exec_module(PyObject* module) {
    if (!bind_standard_modules(module) || !init_state(module)) {
        return -1;
    }
    OwnedRef command_class = make_class(module);
    return command_class && set_attribute(module, "ZolmarCommand", command_class) ? 0 : -1;
}

// Declared only to interpreters that know them (3.12 and later): earlier ones refuse a slot
// they do not know, and the one binary serves them all. The values are the interpreter's.
constexpr int kMultipleInterpretersSlot = 3;  // Py_mod_multiple_interpreters
void* const kPerInterpreterLockSupported = reinterpret_cast<void*>(2);

PyModuleDef_Slot slots_before_3_12[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// The module keeps nothing in common between interpreters, so each may have its own lock.
PyModuleDef_Slot slots_from_3_12[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {kMultipleInterpretersSlot, kPerInterpreterLockSupported},
#ifdef Py_MOD_GIL_NOT_USED
    // Nor anything between threads: a free-threaded interpreter keeps its lock off for it.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition_before_3_12 = {
    PyModuleDef_HEAD_INIT,
    "velkarcmd",
    nullptr,  // no docstring
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,  // no functions at module level
    slots_before_3_12,
    traverse_state,
    clear_state,
    free_state,
};

PyModuleDef definition_from_3_12 = {
    PyModuleDef_HEAD_INIT,
    "velkarcmd",
    nullptr,
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    slots_from_3_12,
    traverse_state,
    clear_state,
    free_state,
};

// The running interpreter's version, read from its own version text ("3.12.1 (main, ...").
bool running_at_least_3_12() {
    const char* version = Py_GetVersion();
    char* end = nullptr;
    long major = std::strtol(version, &end, 10);
    long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
    return major > 3 || (major == 3 && minor >= 12);
}

}  // namespace

}  // namespace velkarcmd

PyMODINIT_FUNC PyInit_velkarcmd(void) {
    using namespace velkarcmd;
    return PyModuleDef_Init(running_at_least_3_12() ? &definition_from_3_12
                                                    : &definition_before_3_12);
}
