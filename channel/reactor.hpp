// What the awaitable exchange's reader needs from the system besides its sockets: one lock, a
// thread of its own, a wake-up it can wait on beside its sockets, and a wait on many sockets at
// once. POSIX in reactor_posix.cpp, Windows in reactor_windows.cpp. Nothing here touches the
// interpreter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datagram.hpp"

namespace velkarcmd {
namespace reactor {

// The one lock that guards the reader's table of exchanges. Never held while waiting for the
// interpreter lock.
void lock();
void unlock();

class Locked {
  public:
    Locked() { lock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { unlock(); }
};

// Runs `body(argument)` on a new detached thread that receives no signals (they stay with the
// interpreter's threads, so that Ctrl-C reaches the event loop). False if none could be made.
bool start_thread(void (*body)(void*), void* argument);

// Calls `in_child` in the child of a fork, with the lock free; the lock is held across the fork
// itself, so that the child never inherits it half-way through a change. Once per process.
void on_fork(void (*in_child)());

// A socket pair that one thread writes a byte to so as to wake another that waits on the other
// end: the reader's own wake-up, and the one by which it tells an event loop that replies are
// in. A socket on both ends, so that a loop can watch it as it watches sockets.
struct Waker {
    datagram::Handle read = 0;
    datagram::Handle write = 0;
};
// false with the system's error in `error` (too many open files, say).
bool open_waker(Waker& waker, int& error);
void wake(const Waker& waker);
// Empties it once woken.
void drain_waker(const Waker& waker);
void close_waker(const Waker& waker);

// Waits until one of `handles` (or the waker) can be read, or has an error to report, at most
// `timeout_ns` (negative: no limit); every handle is watched, however many. `ready[i]` tells
// which, and `woken` whether the waker needs emptying (true whenever that is not known).
datagram::Status wait_any(const datagram::Handle* handles, std::size_t count, const Waker& waker,
                          std::int64_t timeout_ns, bool* ready, bool& woken, int& error);

}  // namespace reactor
}  // namespace velkarcmd
