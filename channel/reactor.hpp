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

// Something the reader waits on beside its sockets, so that another thread can wake it.
struct Waker {
    datagram::Handle read = 0;
    datagram::Handle write = 0;
};
bool open_waker(Waker& waker);
void wake(const Waker& waker);
// Empties it once woken.
void drain_waker(const Waker& waker);
void close_waker(const Waker& waker);

// Waits until one of `handles` (or the waker) can be read, or has an error to report, at most
// `timeout_ns` (negative: no limit). `ready[i]` tells which, and `woken` whether the waker needs
// emptying (true whenever that is not known). Some systems wait on a limited number at once:
// `watched` says how many of the first handles were looked at.
datagram::Status wait_any(const datagram::Handle* handles, std::size_t count, const Waker& waker,
                          std::int64_t timeout_ns, bool* ready, bool& woken, std::size_t& watched,
                          int& error);

}  // namespace reactor
}  // namespace velkarcmd
