// What one module object keeps for its commands: names and literals made once at import, the
// builtins, the module's namespace and the interpreter's own socket type, which the native
// drain recognises. Each import has its own, so that a re-import or a sub-interpreter never
// shares objects with another module object.
#pragma once

#include "../channel/abandoned.hpp"
#include "ref.hpp"

namespace velkarcmd {

// Literals that are also read as UTF-8 bytes, spelt once for both uses. ASCII, so their UTF-8
// is their text.
inline constexpr char kEndMarker[] = "over";
inline constexpr char kFieldSeparator[] = ",";
inline constexpr char kFillWord[] = "Match";
inline constexpr char kOrderWord[] = "Order";

struct ModuleState {
    // --- the commands (commands/): method names and literals of the texts they make and read
    OwnedRef strip, split, find, replace;
    OwnedRef empty, blank, line_feed, hyphen, comma, over, all, match_word, order_word;
    OwnedRef delete_word, get_equity, add_quote, append_yes, append_no;
    OwnedRef limit_order, market_order, rest_of_day, immediate_or_cancel, fill_or_kill;
    // `self._ZolmarCommand__SendMsg(text, zero or one)`, by which every command reaches its
    // exchange.
    OwnedRef send_msg_attribute, zero, one;

    // --- the blocking exchange (channel/exchange, drain, abandoned)
    OwnedRef socket, af_inet, sock_dgram, connect, send, recv, recvmsg, encode, decode, utf8;
    OwnedRef buffer_size, endpoint;
    // The namespace the exchange falls back to when its module has no `socket`.
    OwnedRef builtins;
    // The module's namespace, where the exchange looks `socket` up at every call: the globals
    // of the methods.
    OwnedRef globals;
    // The interpreter's own socket type (`_socket.socket`) and its C methods; null when the
    // `_socket` found at import is not the genuine one. Only a socket whose `recv` is that
    // type's own C method is read natively, and only such a socket is closed explicitly.
    OwnedRef genuine_socket_type, genuine_recv, genuine_fileno, genuine_gettimeout, genuine_close;
    OwnedRef genuine_detach;
    OwnedRef get, objclass;  // to tell those C methods
    // `_socket.timeout`, raised when a natively drained datagram does not come in time.
    OwnedRef socket_timeout;
    // The sockets of ZolmarCommand's calls cut short while their answer was coming.
    mutable AbandonedSockets abandoned;

    // --- the awaitable exchange (channel/async_exchange, loop_notifier; velkarcmd_async only)
    // Its own types, and the interpreter's `socket.socket`, whose objects a proactor loop
    // receives on.
    OwnedRef exchange_type, notifier_type, socket_class;

    // Set once the state is complete.
    bool ready = false;
};

// Fills the state of `module`, whose standard modules are already bound; false with an error
// set.
bool init_state(BorrowedRef module);

// The state of a module whose import has finished; null with RuntimeError set once the module
// has been cleared (at interpreter shutdown, say).
const ModuleState* state_of(BorrowedRef module);

// The state of a module under import, for the members it adds itself; null with an error set.
ModuleState* state_to_fill(BorrowedRef module);

// The module definition's slots for the state's lifetime.
int traverse_state(PyObject* module, visitproc visit, void* arg);
int clear_state(PyObject* module);
void free_state(void* module);

}  // namespace velkarcmd
