// Sockets of calls that ended before their answer was over (a time-out, a signal handler that
// raised, a cancelled await). The application answers to the address the request came from,
// with no request number: were such a socket closed at once, the system could give its port to
// a later call, which would read the tail of the old answer as its own. So it keeps its port
// until that answer is over (the end marker of a list answer, the one datagram of a single
// reply), until nothing has arrived for a quiet period, or at the longest for a bound; what
// arrives meanwhile is read and dropped, never handed to anyone.
#pragma once

#include <chrono>
#include <vector>

#include "../support/thread_lock.hpp"
#include "datagram.hpp"

namespace velkarcmd {

using AbandonClock = std::chrono::steady_clock;

inline constexpr auto kQuietPeriod = std::chrono::seconds(2);
inline constexpr auto kLongestDrain = std::chrono::seconds(30);

// One socket whose answer is still coming.
struct Abandoned {
    datagram::Handle handle = 0;
    bool multi = false;
    AbandonClock::time_point quiet_until, give_up_at;

    Abandoned() = default;
    Abandoned(datagram::Handle socket, bool multi_reply, AbandonClock::time_point now)
        : handle(socket),
          multi(multi_reply),
          quiet_until(now + kQuietPeriod),
          give_up_at(now + kLongestDrain) {}

    // Reads and drops what is there, without waiting. True once the socket may be closed: its
    // answer is over, it failed, or it has been quiet (or kept) long enough.
    bool drain(AbandonClock::time_point now);
};

// The blocking class's kept sockets, one list per module object, which every thread's calls
// share. Each later call drains them first, before it makes its own socket.
class AbandonedSockets {
  public:
    // Takes the socket over; it is made non-blocking.
    void keep(datagram::Handle handle, bool multi);
    void drain();
    void close_all();

  private:
    ThreadLock lock_;
    std::vector<Abandoned> kept_;
};

}  // namespace velkarcmd
