// The one request-and-reply exchange with the order-entry application: a UDP datagram to
// 127.0.0.1:5656 and one reply datagram, or reply datagrams up to the end marker "over".
#pragma once

#include "../support/native_function.hpp"
#include "../support/ref.hpp"

namespace velkarcmd {

enum class ReplyMode { single, multi };

// Body of `__SendMsg(self, msg, flag)`.
OwnedRef send_msg(const FunctionObject& function, const BoundArguments& arguments);

// `self._ZolmarCommand__SendMsg(text, mode)`, looked up at call time, so that an instance
// attribute or a subclass member of that name stands in for the exchange.
OwnedRef send_through(BorrowedRef self, BorrowedRef text, ReplyMode mode);

}  // namespace velkarcmd
