// The one request-and-reply exchange with the order-entry application: a UDP datagram to
// 127.0.0.1:5656 and one reply datagram, or reply datagrams up to the end marker "over".
#pragma once

#include "../support/ref.hpp"
#include "../support/state.hpp"

namespace velkarcmd {

enum class ReplyMode { single, multi };

// The interpreter's own socket type, from `_socket`, recognised by its C methods, which a
// stand-in module cannot make, into the state. A `_socket` that is not genuine leaves the
// native drain off; the import goes on, since the commands need nothing of it. False with an
// error set.
bool find_genuine_socket(ModuleState& state);

// `__SendMsg(self, msg, flag)`, native half: arguments self, msg, flag.
PyObject* send_msg(PyObject* module, PyObject* args);

// `self._ZolmarCommand__SendMsg(text, mode)`, looked up at call time, so that an instance
// attribute or a subclass member of that name stands in for the exchange.
OwnedRef send_through(const ModuleState& state, BorrowedRef self, BorrowedRef text, ReplyMode mode);

}  // namespace velkarcmd
