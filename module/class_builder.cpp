#include "class_builder.hpp"

#include <algorithm>
#include <atomic>
#include <string>
#include <string_view>
#include <utility>

#include "../commands/table.hpp"
#include "../support/state.hpp"

namespace velkarcmd {

namespace {

// --- the native halves of the commands ----------------------------------------------------------

enum class Part { whole, request, shape };

// A command's native half, for the row `I`:
// - whole, `native_<name>(self, fields...)`: ZolmarCommand's command, its exchange between the
//   halves;
// - request, `request_<name>(fields...)`: the command text, or the field's error;
// - shape, `shape_<name>(reply, fields...)`: the method's result.
template <std::size_t I, Part part>
PyObject* command_native(PyObject* module, PyObject* args) {
    constexpr const Command& command = kCommands[I];
    constexpr std::size_t first_field = part == Part::request ? 0 : 1;
    const ModuleState* state = state_of(module);
    Arguments<first_field + field_count(command)> arguments;
    if (state == nullptr || !arguments.take(args, command.name)) {
        return nullptr;
    }
    const Fields fields{arguments.from(first_field)};
    if constexpr (part == Part::shape) {
        return command.shape(*state, arguments[0], fields).release();
    } else {
        OwnedRef request = command.request(*state, fields);
        if (part == Part::request || !request) {
            return request.release();
        }
        OwnedRef reply = send_through(*state, arguments[0], request, command.mode);
        return reply ? command.shape(*state, reply, fields).release() : nullptr;
    }
}

// `is_match_type(self, ot, tt)`.
PyObject* match_type_native(PyObject* module, PyObject* args) {
    const ModuleState* state = state_of(module);
    Arguments<3> arguments;
    if (state == nullptr || !arguments.take(args, "__IsMatchType")) {
        return nullptr;
    }
    return is_match_type(*state, arguments[1], arguments[2]).release();
}

// The natives of every command, made once: the interpreter keeps a pointer to each definition.
template <std::size_t... I>
struct CommandNatives {
    static inline PyMethodDef run[] = {
        {kCommands[I].name, command_native<I, Part::whole>, METH_VARARGS, nullptr}...};
    static inline PyMethodDef request[] = {
        {kCommands[I].name, command_native<I, Part::request>, METH_VARARGS, nullptr}...};
    static inline PyMethodDef shape[] = {
        {kCommands[I].name, command_native<I, Part::shape>, METH_VARARGS, nullptr}...};
};

template <std::size_t... I>
CommandNatives<I...> natives_of(std::index_sequence<I...>);

using EveryCommand = decltype(natives_of(std::make_index_sequence<kCommandCount>()));

PyMethodDef kIsMatchType = {"__IsMatchType", match_type_native, METH_VARARGS, nullptr};

// --- the methods' source ------------------------------------------------------------------------

constexpr const char* kFirstMethods[] = {"__init__", "__SendMsg", "__IsMatchType"};

// `each(name)` for every method in the order of the class namespace, while it returns true.
template <typename Each>
bool every_method(Each each) {
    for (const char* name : kFirstMethods) {
        if (!each(name)) {
            return false;
        }
    }
    for (const Command& command : kCommands) {
        if (!each(command.name)) {
            return false;
        }
    }
    return true;
}

std::string factory_name(const ClassDefinition& definition) {
    return std::string(definition.name) + "_methods";
}

// The source of one function that takes the natives and returns the methods, in the order of
// the class namespace:
//
//   def ZolmarCommand_methods(send_msg, is_match_type, native_Order, ...):
//       def Order(self, broker, ..., daytrade="0", anc=""):
//           return native_Order(self, broker, ..., daytrade, anc)
//       ...
//
// or, for the awaitable class, `request_Order` and `shape_Order` around the awaited exchange:
//
//       async def Order(self, broker, ..., daytrade="0", anc=""):
//           request = request_Order(broker, ..., daytrade, anc)
//           return shape_Order(await self._AsyncZolmarCommand__SendMsg(request, 0), broker, ...)
//
// The request is made before the exchange is looked up: a refused field wins over a missing
// exchange.
// The file's first lines, after "# The methods of <class>".
constexpr std::string_view kSourceHeaderAfterName =
    ", as its module compiles them at import from its table of\n"
    "# commands (commands/table.hpp). Written by tools/write-methods-source: tracebacks show\n"
    "# these lines only while this file holds what the module compiles.\n\n\ndef ";

std::string methods_source(const ClassDefinition& definition,
                           std::initializer_list<Native> natives) {
    std::string parameters, body, made = "__init__, __SendMsg, __IsMatchType";
    auto add = [](std::string& text, std::initializer_list<std::string_view> pieces) {
        for (std::string_view piece : pieces) {
            text.append(piece);
        }
    };
    std::string_view async_ = definition.awaitable ? "async " : "";
    for (const Native& native : natives) {
        add(parameters, {native.name, ", "});
    }
    parameters += "is_match_type";
    add(body,
        {"    def __init__(self):\n        pass\n    ", async_, "def __SendMsg(self, msg, flag):\n",
         definition.send_msg_body,
         "    def __IsMatchType(self, ot, tt):\n        return is_match_type(self, ot, tt)\n"});
    for (const Command& command : kCommands) {
        std::string_view name = command.name, passed = command.passed;
        std::string_view flag = command.mode == ReplyMode::single ? "0" : "1";
        add(made, {", ", name});
        add(body, {"    ", async_, "def ", name, "(self, ", command.parameters, "):\n"});
        if (definition.awaitable) {
            add(parameters, {", request_", name, ", shape_", name});
            add(body, {"        request = request_", name, "(", passed, ")\n",
                       "        return shape_", name, "(await self._", definition.name,
                       "__SendMsg(request, ", flag, "), ", passed, ")\n"});
        } else {
            add(parameters, {", native_", name});
            add(body, {"        return native_", name, "(self, ", passed, ")\n"});
        }
    }
    std::string source;
    add(source,
        {"# The methods of ", definition.name, kSourceHeaderAfterName, factory_name(definition),
         "(", parameters, "):\n", body, "    return (", made, ")\n"});
    return source;
}

// --- where the source is compiled from ----------------------------------------------------------

// The methods file beside the module, where it holds exactly `source` (line ends aside); else a
// name of its own for each execution, as the interpreter's code generators use: never a real
// file, and never shared, so that no entry in `linecache` stands for another.
OwnedRef source_name(BorrowedRef module, const ClassDefinition& definition,
                     const std::string& source) {
    OwnedRef file = attribute(module, "__file__");
    OwnedRef path_module = file ? OwnedRef::steal(PyImport_ImportModule("os.path")) : OwnedRef();
    OwnedRef folder =
        path_module
            ? OwnedRef::steal(PyObject_CallMethod(path_module.get(), "dirname", "O", file.get()))
            : OwnedRef();
    OwnedRef path =
        folder ? OwnedRef::steal(PyObject_CallMethod(path_module.get(), "join", "Os", folder.get(),
                                                     definition.methods_file))
               : OwnedRef();
    OwnedRef io = path ? OwnedRef::steal(PyImport_ImportModule("io")) : OwnedRef();
    OwnedRef opened =
        io ? OwnedRef::steal(PyObject_CallMethod(io.get(), "open", "Os", path.get(), "rb"))
           : OwnedRef();
    OwnedRef content =
        opened ? OwnedRef::steal(PyObject_CallMethod(opened.get(), "read", nullptr)) : OwnedRef();
    if (opened && !OwnedRef::steal(PyObject_CallMethod(opened.get(), "close", nullptr))) {
        return {};
    }
    if (content) {
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(content.get(), &bytes, &size) < 0) {
            return {};
        }
        std::string text(bytes, static_cast<std::size_t>(size));
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        if (text == source) {
            return path;
        }
    } else if (PyErr_ExceptionMatches(PyExc_OSError) ||
               PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();  // no such file, or a module without one
    } else {
        return {};
    }
    const char* module_name = PyModule_GetName(module.get());
    if (module_name == nullptr) {
        return {};
    }
    static std::atomic<unsigned long> executions{0};
    return OwnedRef::steal(PyUnicode_FromFormat("<%s methods %lu>", module_name, ++executions));
}

// `linecache.cache[name] = (size, None, lines, name)`: the form `linecache` keeps for source
// it never checks against a file, so that what shows is what was compiled.
bool register_source(BorrowedRef name, BorrowedRef source, std::size_t size) {
    OwnedRef linecache = OwnedRef::steal(PyImport_ImportModule("linecache"));
    OwnedRef cache = linecache ? attribute(linecache, "cache") : OwnedRef();
    OwnedRef keep_ends = OwnedRef::share(Py_True);
    OwnedRef lines =
        cache
            ? OwnedRef::steal(PyObject_CallMethod(source.get(), "splitlines", "O", keep_ends.get()))
            : OwnedRef();
    OwnedRef entry = lines ? OwnedRef::steal(Py_BuildValue("(nOOO)", static_cast<Py_ssize_t>(size),
                                                           Py_None, lines.get(), name.get()))
                           : OwnedRef();
    return entry && PyObject_SetItem(cache.get(), name.get(), entry.get()) == 0;
}

// --- the class -----------------------------------------------------------------------------------

// Gives a method its qualified name `class_name.name`, on the function and, where the
// interpreter keeps one there too, on its code object; false with an error set.
bool name_method(BorrowedRef function, const char* class_name, const char* name) {
    OwnedRef qualname = OwnedRef::steal(PyUnicode_FromFormat("%s.%s", class_name, name));
    OwnedRef code = qualname && set_attribute(function, "__qualname__", qualname)
                        ? attribute(function, "__code__")
                        : OwnedRef();
    if (!code) {
        return false;
    }
    if (!PyObject_HasAttrString(code.get(), "co_qualname")) {
        return true;
    }
    OwnedRef replace = attribute(code, "replace");
    OwnedRef no_arguments = OwnedRef::steal(PyTuple_New(0));
    OwnedRef keywords = OwnedRef::steal(PyDict_New());
    if (!replace || !no_arguments || !keywords ||
        PyDict_SetItemString(keywords.get(), "co_qualname", qualname.get()) < 0) {
        return false;
    }
    OwnedRef renamed =
        OwnedRef::steal(PyObject_Call(replace.get(), no_arguments.get(), keywords.get()));
    return renamed && set_attribute(function, "__code__", renamed);
}

// The natives the factory takes, in the order of its parameters; null with an error set.
OwnedRef factory_arguments(BorrowedRef module, const ClassDefinition& definition,
                           std::initializer_list<Native> natives) {
    OwnedRef arguments = OwnedRef::steal(PyList_New(0));
    if (!arguments) {
        return {};
    }
    auto append = [&](BorrowedRef native) {
        return native && PyList_Append(arguments.get(), native.get()) == 0;
    };
    for (const Native& native : natives) {
        if (!append(native.function)) {
            return {};
        }
    }
    if (!append(bound_native(&kIsMatchType, module))) {
        return {};
    }
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        bool added = definition.awaitable
                         ? append(bound_native(&EveryCommand::request[i], module)) &&
                               append(bound_native(&EveryCommand::shape[i], module))
                         : append(bound_native(&EveryCommand::run[i], module));
        if (!added) {
            return {};
        }
    }
    return OwnedRef::steal(PyList_AsTuple(arguments.get()));
}

// The methods, in the order of the class namespace; null with an error set.
OwnedRef make_methods(BorrowedRef module, const ClassDefinition& definition,
                      std::initializer_list<Native> natives) {
    std::string text = methods_source(definition, natives);
    OwnedRef source = OwnedRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    OwnedRef name = source ? source_name(module, definition, text) : OwnedRef();
    OwnedRef builtins = name ? OwnedRef::steal(PyImport_ImportModule("builtins")) : OwnedRef();
    OwnedRef code =
        builtins ? OwnedRef::steal(PyObject_CallMethod(builtins.get(), "compile", "OOsii",
                                                       source.get(), name.get(), "exec", 0, 1))
                 : OwnedRef();
    if (!code || !register_source(name, source, text.size())) {
        return {};
    }
    // The factory is defined in a scratch namespace: only the methods keep the module's
    // namespace as their globals, and nothing is added to it.
    OwnedRef scratch = OwnedRef::steal(PyDict_New());
    OwnedRef globals = OwnedRef::share(PyModule_GetDict(module.get()));
    if (!scratch || !globals ||
        !OwnedRef::steal(PyEval_EvalCode(code.get(), globals.get(), scratch.get()))) {
        return {};
    }
    OwnedRef factory =
        OwnedRef::share(PyDict_GetItemString(scratch.get(), factory_name(definition).c_str()));
    OwnedRef arguments = factory ? factory_arguments(module, definition, natives) : OwnedRef();
    OwnedRef methods = arguments
                           ? OwnedRef::steal(PyObject_Call(factory.get(), arguments.get(), nullptr))
                           : OwnedRef();
    if (!methods) {
        return {};
    }
    Py_ssize_t index = 0;
    auto named = [&](const char* method_name) {
        OwnedRef function = OwnedRef::share(PyTuple_GetItem(methods.get(), index++));
        return function && name_method(function, definition.name, method_name);
    };
    return every_method(named) ? std::move(methods) : OwnedRef();
}

// The class-namespace key: private names carry the class's prefix.
std::string key_of(const ClassDefinition& definition, const std::string& name) {
    bool private_name = name.size() > 2 && name.compare(0, 2, "__") == 0 &&
                        name.compare(name.size() - 2, 2, "__") != 0;
    return private_name ? "_" + std::string(definition.name) + name : name;
}

}  // namespace

bool bind_standard_modules(BorrowedRef module, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        OwnedRef imported = OwnedRef::steal(PyImport_ImportModule(name));
        if (!imported || !set_attribute(module, name, imported)) {
            return false;
        }
    }
    return true;
}

OwnedRef bound_native(PyMethodDef* definition, BorrowedRef module) {
    OwnedRef module_name = attribute(module, "__name__");
    return module_name
               ? OwnedRef::steal(PyCFunction_NewEx(definition, module.get(), module_name.get()))
               : OwnedRef();
}

OwnedRef build_class(BorrowedRef module, const ClassDefinition& definition,
                     std::initializer_list<Native> natives) {
    OwnedRef methods = make_methods(module, definition, natives);
    if (!methods) {
        return {};
    }
    OwnedRef constructor = OwnedRef::share(PyTuple_GetItem(methods.get(), 0));
    OwnedRef doc =
        definition.constructor_doc != nullptr ? str_from(definition.constructor_doc) : none();
    if (!constructor || !doc ||
        (definition.constructor_doc != nullptr && !set_attribute(constructor, "__doc__", doc))) {
        return {};
    }
    OwnedRef class_name = str_from(definition.name);
    OwnedRef module_name = attribute(module, "__name__");
    OwnedRef bases = OwnedRef::steal(PyTuple_New(0));
    auto* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
    OwnedRef prepare = attribute(metaclass, "__prepare__");
    if (!class_name || !module_name || !bases || !prepare) {
        return {};
    }
    OwnedRef namespace_ = OwnedRef::steal(
        PyObject_CallFunctionObjArgs(prepare.get(), class_name.get(), bases.get(), nullptr));
    if (!namespace_ ||
        PyObject_SetItem(namespace_.get(), str_from("__module__").get(), module_name.get()) < 0 ||
        PyObject_SetItem(namespace_.get(), str_from("__qualname__").get(), class_name.get()) < 0) {
        return {};
    }
    Py_ssize_t index = 0;
    auto add = [&](const char* name) {
        OwnedRef function = OwnedRef::share(PyTuple_GetItem(methods.get(), index++));
        OwnedRef key = str_from(key_of(definition, name).c_str());
        return function && key &&
               PyObject_SetItem(namespace_.get(), key.get(), function.get()) == 0;
    };
    if (!every_method(add)) {
        return {};
    }
    return OwnedRef::steal(PyObject_CallFunctionObjArgs(metaclass, class_name.get(), bases.get(),
                                                        namespace_.get(), nullptr));
}

}  // namespace velkarcmd
