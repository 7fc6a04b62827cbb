#include "state.hpp"

#include <new>

#include "../channel/exchange.hpp"

namespace velkarcmd {

namespace {

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
    {&ModuleState::socket, Kind::name, "socket"},
    {&ModuleState::af_inet, Kind::name, "AF_INET"},
    {&ModuleState::sock_dgram, Kind::name, "SOCK_DGRAM"},
    {&ModuleState::connect, Kind::name, "connect"},
    {&ModuleState::send, Kind::name, "send"},
    {&ModuleState::recv, Kind::name, "recv"},
    {&ModuleState::recvmsg, Kind::name, "recvmsg"},
    {&ModuleState::send_msg_attribute, Kind::name, "_ZolmarCommand__SendMsg"},
    {&ModuleState::get, Kind::name, "__get__"},
    {&ModuleState::objclass, Kind::name, "__objclass__"},
    {&ModuleState::empty, Kind::literal, ""},
    {&ModuleState::blank, Kind::literal, " "},
    {&ModuleState::line_feed, Kind::literal, "\n"},
    {&ModuleState::hyphen, Kind::literal, "-"},
    {&ModuleState::comma, Kind::literal, kFieldSeparator},
    {&ModuleState::over, Kind::literal, kEndMarker},
    {&ModuleState::all, Kind::literal, "All"},
    {&ModuleState::match_word, Kind::literal, kFillWord},
    {&ModuleState::order_word, Kind::literal, kOrderWord},
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
    &ModuleState::zero,
    &ModuleState::one,
    &ModuleState::buffer_size,
    &ModuleState::endpoint,
    &ModuleState::builtins,
    &ModuleState::globals,
    &ModuleState::genuine_socket_type,
    &ModuleState::genuine_recv,
    &ModuleState::genuine_fileno,
    &ModuleState::genuine_gettimeout,
    &ModuleState::genuine_close,
    &ModuleState::genuine_detach,
    &ModuleState::socket_timeout,
    &ModuleState::exchange_type,
    &ModuleState::notifier_type,
    &ModuleState::socket_class,
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

bool keep(OwnedRef& field, OwnedRef value) {
    field = std::move(value);
    return static_cast<bool>(field);
}

bool fill_state(ModuleState& state, BorrowedRef module) {
    for (const Text& text : kTexts) {
        OwnedRef made = text.kind == Kind::name ? interned(text.text) : str_from(text.text);
        if (!keep(state.*text.field, std::move(made))) {
            return false;
        }
    }
    OwnedRef builtins_module = OwnedRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins_module) {
        return false;
    }
    state.ready =
        keep(state.zero, OwnedRef::steal(PyLong_FromLong(0))) &&
        keep(state.one, OwnedRef::steal(PyLong_FromLong(1))) &&
        keep(state.buffer_size, OwnedRef::steal(PyLong_FromSize_t(kDatagramLimit))) &&
        keep(state.endpoint,
             OwnedRef::steal(Py_BuildValue("(si)", kApplicationHost, kApplicationPort))) &&
        keep(state.builtins, OwnedRef::share(PyModule_GetDict(builtins_module.get()))) &&
        keep(state.globals, OwnedRef::share(PyModule_GetDict(module.get()))) &&
        find_genuine_socket(state);
    return state.ready;
}

ModuleState* raw_state(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

}  // namespace

bool init_state(BorrowedRef module) {
    ModuleState* state = new (raw_state(module.get())) ModuleState();
    return fill_state(*state, module);
}

const ModuleState* state_of(BorrowedRef module) {
    ModuleState* state = raw_state(module.get());
    if (state == nullptr || !state->ready) {
        if (!PyErr_Occurred()) {
            const char* name = PyModule_GetName(module.get());
            if (name != nullptr) {
                PyErr_Format(PyExc_RuntimeError, "the %s module has been cleared", name);
            }
        }
        return nullptr;
    }
    return state;
}

ModuleState* state_to_fill(BorrowedRef module) {
    return const_cast<ModuleState*>(state_of(module));
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
        state->ready = false;
        state->abandoned.close_all();
        for_each_member(*state, [](OwnedRef& member) { member.reset(); });
    }
    return 0;
}

void free_state(void* module) {
    clear_state(static_cast<PyObject*>(module));
}

}  // namespace velkarcmd
