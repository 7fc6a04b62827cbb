// The awaitable exchange: the request goes out on the event loop's thread; the reply is read by
// the loop itself where it can watch the socket (a single reply), else by one reader thread of
// the module's own, which waits on the sockets of every exchange under way without the
// interpreter lock, drains each reply into memory as it arrives, and tells the loop through a
// socket pair the loop watches. The reader runs no Python code; the loop never waits on a
// socket, and a busy loop loses no datagram.
#pragma once

#include "../support/ref.hpp"

namespace velkarcmd {

// Makes the exchange's types and keeps them in the module's state; false with an error set.
bool async_init(BorrowedRef module);

// `begin(msg, flag, loop, timeout)`: makes and connects a socket, sends `msg` as the blocking
// exchange does, in the same order and with the same errors, and has the reply read. Returns
// (future, exchange): the future gets the reply text or its error on `loop`; `timeout` (None or
// seconds) applies to each datagram. While the call waits, what the loop will call holds the
// exchange, and the exchange its future, as the loop's own I/O does. Bound to the module.
PyObject* async_begin(PyObject* module, PyObject* args);

// `end(exchange)`: the loop stops watching, the reader forgets it and the socket is closed, at
// once, whether the reply came, failed or is no longer awaited. Safe to call more than once.
PyObject* async_end(PyObject* module, PyObject* exchange);

}  // namespace velkarcmd
