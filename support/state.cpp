#include "state.hpp"

#include <new>

namespace velkarcmd {

namespace {

ModuleState* raw_state(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

enum class Kind { name, literal };

struct Text {
    OwnedRef ModuleState::* field;
    Kind kind;
    const char* text;
};

const Text kTexts[] = {
    {&ModuleState::strip, Kind::name, "strip"},
    {&ModuleState::split, Kind::name, "split"},
    {&ModuleState::find, Kind::name, "find"},
    {&ModuleState::replace, Kind::name, "replace"},
    {&ModuleState::encode, Kind::name, "encode"},
    {&ModuleState::decode, Kind::name, "decode"},
    {&ModuleState::replace_code, Kind::name, "replace"},
    {&ModuleState::co_qualname, Kind::name, "co_qualname"},
    {&ModuleState::socket, Kind::name, "socket"},
    {&ModuleState::af_inet, Kind::name, "AF_INET"},
    {&ModuleState::sock_dgram, Kind::name, "SOCK_DGRAM"},
    {&ModuleState::connect, Kind::name, "connect"},
    {&ModuleState::send, Kind::name, "send"},
    {&ModuleState::recv, Kind::name, "recv"},
    {&ModuleState::close, Kind::name, "close"},
    {&ModuleState::fileno, Kind::name, "fileno"},
    {&ModuleState::gettimeout, Kind::name, "gettimeout"},
    {&ModuleState::send_msg_attribute, Kind::name, "_ZolmarCommand__SendMsg"},
    {&ModuleState::empty, Kind::literal, ""},
    {&ModuleState::blank, Kind::literal, " "},
    {&ModuleState::line_feed, Kind::literal, "\n"},
    {&ModuleState::hyphen, Kind::literal, "-"},
    {&ModuleState::comma, Kind::literal, ","},
    {&ModuleState::over, Kind::literal, "over"},
    {&ModuleState::all, Kind::literal, "All"},
    {&ModuleState::match_word, Kind::literal, "Match"},
    {&ModuleState::order_word, Kind::literal, "Order"},
    {&ModuleState::delete_word, Kind::literal, "Delete"},
    {&ModuleState::get_equity, Kind::literal, " GetEquity"},
    {&ModuleState::add_quote, Kind::literal, " AddQuote "},
    {&ModuleState::append_yes, Kind::literal, " 1"},
    {&ModuleState::append_no, Kind::literal, " 0"},
    {&ModuleState::utf8, Kind::literal, "utf-8"},
    {&ModuleState::limit_order, Kind::literal, "LMT"},
    {&ModuleState::market_order, Kind::literal, "MKT"},
    {&ModuleState::rest_of_day, Kind::literal, "ROD"},
    {&ModuleState::immediate_or_cancel, Kind::literal, "IOC"},
    {&ModuleState::fill_or_kill, Kind::literal, "FOK"},
};

// Every other member, for the collector's walk.
OwnedRef ModuleState::* const kObjects[] = {
    &ModuleState::zero,         &ModuleState::one,         &ModuleState::buffer_size,
    &ModuleState::endpoint,     &ModuleState::builtins,    &ModuleState::socket_base_type,
    &ModuleState::socket_class, &ModuleState::native_recv, &ModuleState::socket_timeout,
};

template <typename Visit>
void for_each_member(ModuleState& state, Visit visit) {
    for (const Text& text : kTexts) {
        visit(state.*text.field);
    }
    for (OwnedRef ModuleState::* field : kObjects) {
        visit(state.*field);
    }
}

OwnedRef attribute(BorrowedRef object, const char* name) {
    return OwnedRef::steal(PyObject_GetAttrString(object.get(), name));
}

bool keep(OwnedRef& field, OwnedRef value) {
    field = std::move(value);
    return static_cast<bool>(field);
}

}  // namespace

bool init_state(BorrowedRef module) {
    ModuleState* state = new (raw_state(module.get())) ModuleState();
    for (const Text& text : kTexts) {
        OwnedRef made = text.kind == Kind::name ? interned(text.text) : str_from(text.text);
        if (!keep(state->*text.field, std::move(made))) {
            return false;
        }
    }
    OwnedRef socket_module = attribute(module, "socket");
    OwnedRef builtins_module = OwnedRef::steal(PyImport_ImportModule("builtins"));
    if (!socket_module || !builtins_module) {
        return false;
    }
    return keep(state->zero, OwnedRef::steal(PyLong_FromLong(0))) &&
           keep(state->one, OwnedRef::steal(PyLong_FromLong(1))) &&
           keep(state->buffer_size, OwnedRef::steal(PyLong_FromLong(4096))) &&
           keep(state->endpoint, OwnedRef::steal(Py_BuildValue("(si)", "127.0.0.1", 5656))) &&
           keep(state->builtins, OwnedRef::share(PyModule_GetDict(builtins_module.get()))) &&
           keep(state->socket_base_type, attribute(socket_module, "SocketType")) &&
           keep(state->socket_class, attribute(socket_module, "socket")) &&
           keep(state->native_recv, attribute(state->socket_base_type, "recv")) &&
           keep(state->socket_timeout, attribute(socket_module, "timeout"));
}

const ModuleState* state_of(BorrowedRef module) {
    ModuleState* state = raw_state(module.get());
    // The member made last: set once the import finished, gone once the module is cleared.
    if (state == nullptr || !state->socket_timeout) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "the velkarcmd module has been cleared");
        }
        return nullptr;
    }
    return state;
}

int traverse_state(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = raw_state(module);
    if (state == nullptr) {
        return 0;
    }
    int result = 0;
    for_each_member(*state, [&](OwnedRef& member) {
        if (result == 0 && member) {
            result = visit(member.get(), arg);
        }
    });
    return result;
}

int clear_state(PyObject* module) {
    if (ModuleState* state = raw_state(module)) {
        for_each_member(*state, [](OwnedRef& member) { member.reset(); });
    }
    return 0;
}

void free_state(void* module) {
    clear_state(static_cast<PyObject*>(module));
}

}  // namespace velkarcmd
