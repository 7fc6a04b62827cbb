// Names and literals the module uses on every call, made once at import.
#pragma once

#include "ref.hpp"

namespace velkarcmd {

struct Constants {
    // Method and attribute names.
    ProcessRef strip, split, find, replace, encode, decode;
    ProcessRef socket, af_inet, sock_dgram, connect, send, recv, close, fileno, gettimeout;
    ProcessRef send_msg_attribute;
    // Literals.
    ProcessRef empty, blank, line_feed, hyphen, comma, over, all, match_word, order_word;
    ProcessRef delete_word, get_equity, add_quote, append_yes, append_no, utf8;
    ProcessRef limit_order, market_order, rest_of_day, immediate_or_cancel, fill_or_kill;
    ProcessRef zero, one, buffer_size, endpoint;
    // The interpreter's own socket type, so that real sockets are closed, not just dropped.
    ProcessRef socket_base_type;
    // `socket.socket` and the `recv` it inherits: a socket of exactly that type, with that
    // `recv`, is drained natively.
    ProcessRef socket_class, native_recv;
    // `socket.timeout`, raised when a natively drained datagram does not come in time.
    ProcessRef socket_timeout;
};

// Makes the constants once per process; false with an error set.
bool init_constants(BorrowedRef socket_module);
const Constants& constants();

}  // namespace velkarcmd
