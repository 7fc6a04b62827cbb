// The awaitable exchange: the request goes out on the event loop's thread, and one reader thread
// of the module's own, without the interpreter lock, waits on the sockets of every exchange under
// way, drains each reply into memory as it arrives, and hands the finished reply to the loop
// that waits for it. The loop itself never waits on a socket, and a busy loop loses no datagram.
#pragma once

#include "../support/ref.hpp"

namespace velkarcmd {

// `begin(msg, flag, loop, timeout)`: makes and connects a socket, sends `msg` as the blocking
// exchange does, in the same order and with the same errors, and gives the reply to the reader.
// Returns (future, exchange): the future gets the reply text or its error on `loop`; `timeout`
// (None or seconds) applies to each datagram. Bound to the module object.
PyObject* async_begin(PyObject* module, PyObject* args);

// `end(exchange)`: leaves the reader and closes the socket, at once, whether the reply came,
// failed or is no longer awaited. Safe to call more than once.
PyObject* async_end(PyObject* module, PyObject* args);

// `shutdown()`: at interpreter exit, closes every socket still waiting and lets the reader
// thread end.
PyObject* async_shutdown(PyObject* module, PyObject* args);

}  // namespace velkarcmd
