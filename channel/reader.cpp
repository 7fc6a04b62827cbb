#include "reader.hpp"

#include <algorithm>

#include "../support/state.hpp"
#include "../support/text.hpp"

namespace velkarcmd {

namespace {

// Datagrams read from one socket before the reader looks at the others again.
constexpr int kBatch = 256;
// How long the reader waits for another call once none waits, before it ends: a script that
// makes one list call after another does not start a thread for each.
constexpr std::int64_t kLingerNs = 250 * 1000 * 1000;

// The reader's table, guarded by reactor::lock. Made once and never destroyed: the reader may
// outlive the interpreter's own clean-up.
struct Table {
    std::vector<CoreRef> waiting;
    bool running = false;
    reactor::Waker waker;
};

Table& table() {
    static Table* made = new Table;
    return *made;
}

void remove_from(std::vector<CoreRef>& list, const Core* core) {
    auto found = std::find_if(list.begin(), list.end(),
                              [core](const CoreRef& held) { return held.get() == core; });
    if (found != list.end()) {
        list.erase(found);
    }
}

void close_socket(Core& core) {
    if (core.open) {
        datagram::close(core.handle);
        core.open = false;
    }
}

// Reads what is there, up to a batch (all of it when the socket never waits); under the
// reactor's lock, so that the socket is not closed meanwhile.
void read_ready(Core& core, Clock::time_point now) {
    for (int count = 0; core.never_waits || count < kBatch; ++count) {
        int error = 0;
        Received received = receive_onto(core.handle, core.gathered, core.last, core.multi, error);
        if (received == Received::interrupted) {
            continue;
        }
        if (received == Received::would_block) {
            if (core.never_waits) {
                conclude(core, Received::failed, error);
            }
            return;
        }
        if (received != Received::more) {
            conclude(core, received, error);
            return;
        }
        core.deadline = now + core.timeout;
    }
}

// Under the reactor's lock: the loop is told, once until it answers.
void hand_over(const CoreRef& core) {
    Port& port = *core->port;
    port.finished.push_back(core);
    if (port.open && !port.signalled) {
        port.signalled = true;
        reactor::wake(port.channel);
    }
}

void read_replies(void*) {
    Table& t = table();
    std::vector<CoreRef> round;
    std::vector<datagram::Handle> handles;
    std::unique_ptr<bool[]> ready;
    std::size_t ready_room = 0;
    bool idle = false;
    for (;;) {
        std::int64_t timeout_ns = -1;
        {
            reactor::Locked locked;
            round.clear();
            handles.clear();
            if (t.waiting.empty()) {
                if (idle) {
                    reactor::close_waker(t.waker);
                    t.running = false;
                    return;
                }
                idle = true;
                timeout_ns = kLingerNs;
            } else {
                idle = false;
            }
            Clock::time_point now = Clock::now();
            for (const CoreRef& core : t.waiting) {
                if (!core->armed) {
                    continue;
                }
                round.push_back(core);
                handles.push_back(core->handle);
                if (core->draining) {
                    auto due = std::min(core->abandoned.quiet_until, core->abandoned.give_up_at);
                    auto left =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(due - now).count();
                    left = left < 0 ? 0 : left;
                    timeout_ns = timeout_ns < 0 || left < timeout_ns ? left : timeout_ns;
                } else if (core->has_timeout) {
                    auto left =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(core->deadline - now)
                            .count();
                    left = left < 0 || core->never_waits ? 0 : left;
                    timeout_ns = timeout_ns < 0 || left < timeout_ns ? left : timeout_ns;
                }
            }
        }
        if (ready_room < round.size()) {
            ready_room = round.size() * 2;
            ready.reset(new bool[ready_room]);
        }
        std::fill_n(ready.get(), round.size(), false);
        int error = 0;
        bool woken = true;
        datagram::Status status = reactor::wait_any(handles.data(), handles.size(), t.waker,
                                                    timeout_ns, ready.get(), woken, error);
        if (status == datagram::Status::failed) {
            // A socket closed under the wait (an exchange just ended): look again.
            std::fill_n(ready.get(), round.size(), true);
        }
        reactor::Locked locked;
        if (woken) {
            reactor::drain_waker(t.waker);
        }
        Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < round.size(); ++i) {
            Core& core = *round[i];
            if (!core.open) {
                continue;  // ended meanwhile
            }
            if (core.draining) {
                bool due = now >= std::min(core.abandoned.quiet_until, core.abandoned.give_up_at);
                if ((ready[i] || due) && core.abandoned.drain(now)) {
                    remove_from(t.waiting, &core);
                    close_socket(core);
                }
                continue;
            }
            if (core.outcome != Received::more) {
                continue;  // handed over already
            }
            if (ready[i] || core.never_waits) {
                read_ready(core, now);
            }
            if (core.outcome == Received::more && core.has_timeout && !core.never_waits &&
                now >= core.deadline) {
                conclude(core, Received::timed_out);
            }
            if (core.outcome != Received::more) {
                remove_from(t.waiting, &core);
                hand_over(round[i]);
            }
        }
    }
}

// Under the reactor's lock: the socket of a call that ended with its answer still coming stays
// with the reader, which drops what arrives until the answer is over. False if the reader
// cannot be had: the socket is closed then, as it always was.
bool keep_until_answered(const CoreRef& core) {
    Table& t = table();
    if (!t.running) {
        int error = 0;
        if (!reactor::open_waker(t.waker, error)) {
            return false;
        }
        if (!reactor::start_thread(read_replies, nullptr)) {
            reactor::close_waker(t.waker);
            return false;
        }
        t.running = true;
    }
    // The reader may have handed it over already (a time-out), or never had it.
    if (std::find(t.waiting.begin(), t.waiting.end(), core) == t.waiting.end()) {
        t.waiting.push_back(core);
    }
    core->draining = true;
    core->armed = true;
    core->port.reset();
    core->abandoned = Abandoned(core->handle, core->multi, Clock::now());
    reactor::wake(t.waker);
    return true;
}

// Whether the answer may still be coming when the exchange ends with this outcome.
bool answer_unfinished(const Core& core) {
    return core.sent && core.open && core.outcome != Received::complete &&
           core.outcome != Received::failed;
}

}  // namespace

void conclude(Core& core, Received outcome, int error) {
    core.outcome = outcome;
    core.error = error;
}

void forget_the_parents_reader() {
    Table& t = table();
    if (t.running) {
        reactor::close_waker(t.waker);
        t.running = false;
    }
    t.waiting.clear();
}

bool enter_table(const CoreRef& core) {
    reactor::Locked locked;
    Table& t = table();
    t.waiting.push_back(core);
    if (t.running) {
        return true;
    }
    int error = 0;
    if (reactor::open_waker(t.waker, error)) {
        if (reactor::start_thread(read_replies, nullptr)) {
            t.running = true;
            return true;
        }
        reactor::close_waker(t.waker);
        t.waiting.pop_back();
        PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
        return false;
    }
    t.waiting.pop_back();
    datagram::raise_socket_error(error);
    return false;
}

void arm(Core& core) {
    reactor::Locked locked;
    core.armed = true;
    Table& t = table();
    if (t.running) {
        reactor::wake(t.waker);
    }
}

void leave_table(const CoreRef& core, bool in_table) {
    reactor::Locked locked;
    Table& t = table();
    if (core->port) {
        remove_from(core->port->finished, core.get());
    }
    if (answer_unfinished(*core) && keep_until_answered(core)) {
        return;  // the reader has it now
    }
    if (in_table) {
        remove_from(t.waiting, core.get());
        if (t.running) {
            reactor::wake(t.waker);
        }
    }
    close_socket(*core);
}

}  // namespace velkarcmd
