// The module's entry point: binds the standard modules it carries and builds ZolmarCommand from
// the table of commands (module/class_builder).
#include <cstdlib>

#include "../channel/exchange.hpp"
#include "../support/ref.hpp"
#include "../support/state.hpp"
#include "class_builder.hpp"

namespace velkarcmd {

namespace {

// The constructor's docstring is a fixed text of the class's interface, which scripts may read
// as it stands: a check that Zolmar runs, kept as a string. The constructor carries out none of
// it. Written with byte escapes so that the text is UTF-8 whatever the compiler's source charset.
constexpr char kConstructorDoc[] =
    "output = subprocess.check_output('tasklist /FI \"IMAGENAME eq Zolmar.exe\" /SVC' , "
    "shell=True).decode('big5')\n"
    "        go = 'Zolmar'\n"
    "        check = output.find(go)\n"
    "        if(check < 0):\n"
    "            print('Zolmar\xE5\xB0\x9A\xE6\x9C\xAA\xE9\x96\x8B\xE5\x95\x9F')\n"
    "            exit(-1)";

PyMethodDef kSendMsg = {"__SendMsg", send_msg, METH_VARARGS, nullptr};

const ClassDefinition kZolmarCommand = {
    "ZolmarCommand", "velkarcmd_methods.py", false, "        return send_msg(self, msg, flag)\n",
    kConstructorDoc,
};

// Runs once for every module object the import system makes: each import and each
// sub-interpreter has its own class, methods and state. A reload of an extension module does not
// run it again: the import system takes the module's state as the sign that it has run.
int exec_module(PyObject* module) {
    if (!bind_standard_modules(module, {"time", "threading", "_thread", "socket", "subprocess"}) ||
        !init_state(module)) {
        return -1;
    }
    OwnedRef exchange = bound_native(&kSendMsg, module);
    OwnedRef command_class =
        exchange ? build_class(module, kZolmarCommand, {{"send_msg", exchange}}) : OwnedRef();
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
