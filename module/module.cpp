// The module's entry point: binds the standard modules it carries and builds ZolmarCommand.
#include "../channel/exchange.hpp"
#include "../commands/commands.hpp"
#include "../support/constants.hpp"
#include "../support/native_function.hpp"
#include "../support/ref.hpp"
#include "../support/saved_error.hpp"

namespace velkarcmd {

namespace {

// The module's C API contract: the 3.7 interface, which later interpreters still accept.
constexpr int kModuleApiVersion = 1013;

// Written with byte escapes so that the text is UTF-8 whatever the compiler's source charset.
constexpr char kConstructorDoc[] =
    "output = subprocess.check_output('tasklist /FI \"IMAGENAME eq Zolmar.exe\" /SVC' , "
    "shell=True).decode('big5')\n"
    "        go = 'Zolmar'\n"
    "        check = output.find(go)\n"
    "        if(check < 0):\n"
    "            print('Zolmar\xE5\xB0\x9A\xE6\x9C\xAA\xE9\x96\x8B\xE5\x95\x9F')\n"
    "            exit(-1)";

// The constructor keeps nothing: instances carry no state.
OwnedRef construct(const FunctionObject&, const BoundArguments&) {
    return none();
}

const char* const kSelfOnly[] = {"self"};
const char* const kSendMsgParameters[] = {"self", "msg", "flag"};
const char* const kMatchTypeParameters[] = {"self", "ot", "tt"};
const char* const kOrderParameters[] = {
    "self",     "broker",    "prodid",   "bs",        "price",    "qty",
    "timetype", "ordertype", "timekind", "pricetype", "daytrade", "anc",
};
const char* const kOrderIdParameters[] = {"self", "broker", "orderid"};
const char* const kInStockParameters[] = {"self", "broker", "prodid"};
const char* const kBrokerOnly[] = {"self", "broker"};
const char* const kAddQuoteParameters[] = {"self", "broker", "symbols", "append"};

template <std::size_t N>
constexpr std::size_t count_of(const char* const (&)[N]) noexcept {
    return N;
}

#define VELKARCMD_PARAMETERS(list) list, count_of(list)

enum class Defaults { none, order, in_stock, add_quote };

struct Method {
    const char* key;  // the class-namespace key: private names carry the class prefix
    FunctionDefinition definition;
    Defaults defaults;
};

// The class namespace, in order.
const Method kMethods[] = {
    {"__init__",
     {"__init__", "ZolmarCommand.__init__", kConstructorDoc, VELKARCMD_PARAMETERS(kSelfOnly),
      construct},
     Defaults::none},
    {"_ZolmarCommand__SendMsg",
     {"__SendMsg", "ZolmarCommand.__SendMsg", nullptr, VELKARCMD_PARAMETERS(kSendMsgParameters),
      send_msg},
     Defaults::none},
    {"_ZolmarCommand__IsMatchType",
     {"__IsMatchType", "ZolmarCommand.__IsMatchType", nullptr,
      VELKARCMD_PARAMETERS(kMatchTypeParameters), is_match_type},
     Defaults::none},
    {"Order",
     {"Order", "ZolmarCommand.Order", nullptr, VELKARCMD_PARAMETERS(kOrderParameters), order},
     Defaults::order},
    {"Delete",
     {"Delete", "ZolmarCommand.Delete", nullptr, VELKARCMD_PARAMETERS(kOrderIdParameters),
      delete_order},
     Defaults::none},
    {"GetAccount",
     {"GetAccount", "ZolmarCommand.GetAccount", nullptr, VELKARCMD_PARAMETERS(kOrderIdParameters),
      get_account},
     Defaults::none},
    {"MatchAccount",
     {"MatchAccount", "ZolmarCommand.MatchAccount", nullptr,
      VELKARCMD_PARAMETERS(kOrderIdParameters), match_account},
     Defaults::none},
    {"GetUnfinished",
     {"GetUnfinished", "ZolmarCommand.GetUnfinished", nullptr,
      VELKARCMD_PARAMETERS(kOrderIdParameters), get_unfinished},
     Defaults::none},
    {"GetInStock",
     {"GetInStock", "ZolmarCommand.GetInStock", nullptr, VELKARCMD_PARAMETERS(kInStockParameters),
      get_in_stock},
     Defaults::in_stock},
    {"FutureRights",
     {"FutureRights", "ZolmarCommand.FutureRights", nullptr, VELKARCMD_PARAMETERS(kBrokerOnly),
      future_rights},
     Defaults::none},
    {"AddQuote",
     {"AddQuote", "ZolmarCommand.AddQuote", nullptr, VELKARCMD_PARAMETERS(kAddQuoteParameters),
      add_quote},
     Defaults::add_quote},
};

#undef VELKARCMD_PARAMETERS

// The defaults tuple, or null (not an error) for a method without defaults.
bool make_defaults(Defaults which, OwnedRef& defaults) {
    switch (which) {
        case Defaults::none:
            return true;
        case Defaults::order:
            defaults = OwnedRef::steal(Py_BuildValue("(ss)", "0", ""));
            break;
        case Defaults::in_stock:
            defaults = OwnedRef::steal(Py_BuildValue("(s)", ""));
            break;
        case Defaults::add_quote:
            defaults = OwnedRef::steal(PyTuple_Pack(1, Py_False));
            break;
    }
    return static_cast<bool>(defaults);
}

const char* const kStandardModules[] = {"time", "threading", "_thread", "socket", "subprocess"};

bool bind_standard_modules(BorrowedRef module) {
    for (const char* name : kStandardModules) {
        OwnedRef imported = OwnedRef::steal(PyImport_ImportModule(name));
        if (!imported || PyObject_SetAttrString(module.get(), name, imported.get()) < 0) {
            return false;
        }
    }
    return true;
}

OwnedRef make_class(BorrowedRef module) {
    OwnedRef class_name = str_from("ZolmarCommand");
    OwnedRef module_name = str_from("velkarcmd");
    OwnedRef bases = OwnedRef::steal(PyTuple_New(0));
    if (!class_name || !module_name || !bases) {
        return {};
    }
    auto* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
    OwnedRef prepare = OwnedRef::steal(PyObject_GetAttrString(metaclass, "__prepare__"));
    OwnedRef namespace_ = prepare ? OwnedRef::steal(PyObject_CallFunctionObjArgs(
                                        prepare.get(), class_name.get(), bases.get(), nullptr))
                                  : OwnedRef();
    if (!namespace_ ||
        PyMapping_SetItemString(namespace_.get(), "__module__", module_name.get()) < 0 ||
        PyMapping_SetItemString(namespace_.get(), "__qualname__", class_name.get()) < 0) {
        return {};
    }
    BorrowedRef globals = PyModule_GetDict(module.get());
    for (const Method& method : kMethods) {
        OwnedRef defaults;
        if (!make_defaults(method.defaults, defaults)) {
            return {};
        }
        OwnedRef function =
            make_function(method.definition, module_name, globals, std::move(defaults));
        if (!function ||
            PyMapping_SetItemString(namespace_.get(), method.key, function.get()) < 0) {
            return {};
        }
    }
    return OwnedRef::steal(PyObject_CallFunctionObjArgs(metaclass, class_name.get(), bases.get(),
                                                        namespace_.get(), nullptr));
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velkarcmd",
    nullptr,  // no docstring
    -1,       // no per-module state: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Steps after the module exists and stands in sys.modules.
bool populate(BorrowedRef module) {
    if (!bind_standard_modules(module) || !ready_function_type()) {
        return false;
    }
    OwnedRef socket_module = OwnedRef::steal(PyObject_GetAttrString(module.get(), "socket"));
    if (!socket_module || !init_constants(socket_module)) {
        return false;
    }
    OwnedRef command_class = make_class(module);
    return command_class &&
           PyObject_SetAttrString(module.get(), "ZolmarCommand", command_class.get()) == 0;
}

OwnedRef create_module() {
    OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, kModuleApiVersion));
    if (!module) {
        return {};
    }
    PyObject* loaded = PyImport_GetModuleDict();
    if (PyDict_SetItemString(loaded, "velkarcmd", module.get()) < 0) {
        return {};
    }
    if (!populate(module)) {
        // A failed import must not leave a half-made module behind for the next import to find.
        SavedError keep_error;
        if (PyDict_GetItemString(loaded, "velkarcmd") == module.get()) {
            PyDict_DelItemString(loaded, "velkarcmd");
        }
        return {};
    }
    return module;
}

ProcessRef made_module;

}  // namespace

}  // namespace velkarcmd

PyMODINIT_FUNC PyInit_velkarcmd(void) {
    using namespace velkarcmd;
    // The entry point can be called again (importlib can do it); the module is made once.
    if (made_module) {
        return OwnedRef::share(made_module).release();
    }
    OwnedRef module = create_module();
    if (!module) {
        return nullptr;
    }
    made_module.keep(OwnedRef::share(module));
    return module.release();
}
