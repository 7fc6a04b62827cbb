#include "abandoned.hpp"

#include <algorithm>
#include <string_view>

#include "../support/state.hpp"

namespace velkarcmd {

bool Abandoned::drain(AbandonClock::time_point now) {
    // Room for a datagram as large as the protocol allows; a longer one is dropped as well.
    char scratch[kDatagramLimit];
    for (;;) {
        std::size_t received = 0;
        int error = 0;
        datagram::Status status =
            datagram::receive(handle, scratch, sizeof scratch, received, error);
        if (status == datagram::Status::interrupted) {
            continue;
        }
        if (status == datagram::Status::would_block) {
            return now >= quiet_until || now >= give_up_at;
        }
        if (status != datagram::Status::done && !datagram::is_too_long(error)) {
            return true;  // refused, or any other failure: nothing more will come
        }
        quiet_until = now + kQuietPeriod;
        if (!multi || std::string_view(scratch, received) == kEndMarker) {
            return true;
        }
    }
}

void AbandonedSockets::keep(datagram::Handle handle, bool multi) {
    datagram::set_non_blocking(handle);
    ThreadLocked locked(lock_);
    kept_.emplace_back(handle, multi, AbandonClock::now());
}

void AbandonedSockets::drain() {
    ThreadLocked locked(lock_);
    if (kept_.empty()) {
        return;
    }
    AbandonClock::time_point now = AbandonClock::now();
    kept_.erase(std::remove_if(kept_.begin(), kept_.end(),
                               [now](Abandoned& socket) {
                                   if (!socket.drain(now)) {
                                       return false;
                                   }
                                   datagram::close(socket.handle);
                                   return true;
                               }),
                kept_.end());
}

void AbandonedSockets::close_all() {
    ThreadLocked locked(lock_);
    for (const Abandoned& socket : kept_) {
        datagram::close(socket.handle);
    }
    kept_.clear();
    kept_.shrink_to_fit();
}

}  // namespace velkarcmd
