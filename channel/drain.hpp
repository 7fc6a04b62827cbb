// Reading a multi-reply answer natively, with the interpreter lock released from the first
// datagram to the end marker. Taking the lock back after every datagram lets a busy thread
// hold the reader up for a switch interval each time, long enough for the receive buffer to
// overflow and for the system to drop records without a word.
#pragma once

#include "../support/state.hpp"
#include "datagram.hpp"

namespace velkarcmd {

// The descriptor of `client` if it is of the interpreter's own socket type and its `recv` is
// that type's C method: only then is reading natively what `client.recv` would do. Stand-ins,
// and sockets whose `recv` is replaced, keep the method calls (false, no error set).
bool native_handle(const ModuleState& state, BorrowedRef client, datagram::Handle& handle);

// Whether `text` is well-formed UTF-8 as the interpreter's strict decoder accepts it: no
// overlong forms, no surrogates, nothing above U+10FFFF. Needs no interpreter lock.
bool is_valid_utf8(const unsigned char* text, std::size_t size);

// Asks the system for a receive buffer large enough to hold a burst of replies. Best effort.
void enlarge_receive_buffer(datagram::Handle handle);

// Receives datagrams up to and including the end marker "over", each at most 4096 bytes and
// each decoded strictly as UTF-8 on arrival, under the socket's time-out per datagram. Returns
// every datagram's text followed by a line feed, joined; null with the interpreter's error
// (OSError, socket.timeout, UnicodeDecodeError, or what a signal handler raised). Pending
// signals are handled before every receive that would wait.
OwnedRef drain_multi_reply(const ModuleState& state, BorrowedRef client, datagram::Handle handle);

}  // namespace velkarcmd
