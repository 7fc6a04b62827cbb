// The reader thread of the awaitable exchange: it waits on the sockets of every exchange under
// way without the interpreter lock, drains each reply into memory as it arrives, and hands each
// finished exchange to its loop's port. It runs no Python code.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "abandoned.hpp"
#include "datagram.hpp"
#include "drain.hpp"
#include "reactor.hpp"

namespace velkarcmd {

using Clock = std::chrono::steady_clock;

struct Port;

// One exchange's socket and reply. While the reader has it (`Table::waiting`), it is read and
// written under the reactor's lock only; it holds nothing of the interpreter's, so that the
// reader may drop it.
struct Core {
    datagram::Handle handle = 0;
    bool open = false;   // the socket is not closed yet
    bool armed = false;  // the request is out and the mode known: the reader may read
    bool sent = false;
    // Its call ended before the answer was over: the reader drops what comes until it is.
    bool draining = false;
    Abandoned abandoned;
    bool multi = false;
    bool has_timeout = false;
    bool never_waits = false;  // a time-out of zero: the socket does not wait at all
    Clock::duration timeout{};
    Clock::time_point deadline;
    Received outcome = Received::more;  // `more` until the exchange is handed over
    ReplyBuffer gathered;  // single reply: the datagram; else each datagram and a line feed
    std::size_t last = 0;  // where the datagram read last begins
    int error = 0;
    // Where the reader hands it over once it has its outcome; null while the loop watches it.
    std::shared_ptr<Port> port;
};

using CoreRef = std::shared_ptr<Core>;

// The reader's side of one event loop's notifier: the exchanges it has finished for that loop,
// and the socket pair by which it tells the loop so. Under the reactor's lock.
struct Port {
    reactor::Waker channel;
    bool open = true;        // closed by the notifier, after which nothing is written to it
    bool signalled = false;  // a byte is on its way that the loop has not answered yet
    std::vector<CoreRef> finished;
};

// Records the outcome; the reader, or the loop that read it, hands the exchange on.
void conclude(Core& core, Received outcome, int error = 0);

// Gives the exchange to the reader, which does not read it before `arm`; the reader and its
// wake-up are had now, so that the request never goes out without them. False with an error.
bool enter_table(const CoreRef& core);

// The request is out and the mode known: the reader may read.
void arm(Core& core);

// The exchange has ended: it leaves the reader's table and its port. A socket whose answer may
// still be coming stays with the reader, which drops what arrives until the answer is over;
// any other is closed. `in_table`: `enter_table` had it.
void leave_table(const CoreRef& core, bool in_table);

// Registered for the child of a fork: the reader is the parent's, so are the sockets it
// watched, and its wake-up is shared with the parent. The child starts afresh; the parent's
// exchanges, copied into the child, are never read there.
void forget_the_parents_reader();

}  // namespace velkarcmd
