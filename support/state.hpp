// What one module object keeps for its commands: names and literals made once at import, the
// builtins, and the parts of its own `socket` module that the native drain recognises. Each
// import has its own, so that a re-import, a reload or a sub-interpreter never shares objects
// with another module object.
#pragma once

#include "ref.hpp"

namespace velkarcmd {

struct ModuleState {
    // Method and attribute names.
    OwnedRef strip, split, find, replace, encode, decode, replace_code, co_qualname;
    OwnedRef socket, af_inet, sock_dgram, connect, send, recv, close, fileno, gettimeout;
    OwnedRef send_msg_attribute;
    // Literals.
    OwnedRef empty, blank, line_feed, hyphen, comma, over, all, match_word, order_word;
    OwnedRef delete_word, get_equity, add_quote, append_yes, append_no, utf8;
    OwnedRef limit_order, market_order, rest_of_day, immediate_or_cancel, fill_or_kill;
    OwnedRef zero, one, buffer_size, endpoint;
    // The namespace the exchange falls back to when its module has no `socket`.
    OwnedRef builtins;
    // The interpreter's own socket type, so that real sockets are closed, not just dropped.
    OwnedRef socket_base_type;
    // `socket.socket` and the `recv` it inherits: a socket of exactly that type, with that
    // `recv`, is drained natively.
    OwnedRef socket_class, native_recv;
    // `socket.timeout`, raised when a natively drained datagram does not come in time.
    OwnedRef socket_timeout;
};

// Fills the state of `module`, whose `socket` attribute is already bound; false with an error
// set.
bool init_state(BorrowedRef module);

// The state of a module whose import has finished; null with RuntimeError set once the module
// has been cleared (at interpreter shutdown, say).
const ModuleState* state_of(BorrowedRef module);

// The module definition's slots for the state's lifetime.
int traverse_state(PyObject* module, visitproc visit, void* arg);
int clear_state(PyObject* module);
void free_state(void* module);

}  // namespace velkarcmd
