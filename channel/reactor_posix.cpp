#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "reactor.hpp"

namespace velkarcmd {
namespace reactor {

namespace {

pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;

// Both ends are closed together, but a wake-up must never raise SIGPIPE in the process.
#ifdef MSG_NOSIGNAL
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

int descriptor(datagram::Handle handle) {
    return static_cast<int>(handle);
}

struct Start {
    void (*body)(void*);
    void* argument;
};

void* run(void* start) {
    Start what = *static_cast<Start*>(start);
    delete static_cast<Start*>(start);
    what.body(what.argument);
    return nullptr;
}

bool non_blocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

void (*child_handler)() = nullptr;

void before_fork() {
    pthread_mutex_lock(&table_lock);
}

void after_fork_in_parent() {
    pthread_mutex_unlock(&table_lock);
}

void after_fork_in_child() {
    pthread_mutex_unlock(&table_lock);
    child_handler();
}

}  // namespace

void lock() {
    pthread_mutex_lock(&table_lock);
}

void unlock() {
    pthread_mutex_unlock(&table_lock);
}

bool start_thread(void (*body)(void*), void* argument) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    // It waits and copies datagrams, and runs no Python code: a small stack is plenty.
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // The new thread inherits the signal mask in force here.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    auto* start = new Start{body, argument};
    pthread_t thread;
    int failed = pthread_create(&thread, &attributes, run, start);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete start;
        return false;
    }
    return true;
}

void on_fork(void (*in_child)()) {
    if (child_handler == nullptr) {
        child_handler = in_child;
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    }
}

bool open_waker(Waker& waker, int& error) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) < 0) {
        error = errno;
        return false;
    }
    if (!non_blocking(ends[0]) || !non_blocking(ends[1])) {
        error = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    waker.read = static_cast<datagram::Handle>(ends[0]);
    waker.write = static_cast<datagram::Handle>(ends[1]);
    return true;
}

void wake(const Waker& waker) {
    char byte = 0;
    // A full pair already wakes the other end.
    (void)!send(descriptor(waker.write), &byte, 1, kNoSignal);
}

void drain_waker(const Waker& waker) {
    char bytes[256];
    while (recv(descriptor(waker.read), bytes, sizeof bytes, 0) > 0) {
    }
}

void close_waker(const Waker& waker) {
    ::close(descriptor(waker.read));
    ::close(descriptor(waker.write));
}

datagram::Status wait_any(const datagram::Handle* handles, std::size_t count, const Waker& waker,
                          std::int64_t timeout_ns, bool* ready, bool& woken, int& error) {
    // Only the reader waits here, once per wake-up: its list is kept rather than made anew.
    thread_local std::vector<pollfd> watching;
    watching.assign(count + 1, pollfd{});
    for (std::size_t i = 0; i < count; ++i) {
        watching[i].fd = descriptor(handles[i]);
        watching[i].events = POLLIN;
    }
    watching[count].fd = descriptor(waker.read);
    watching[count].events = POLLIN;
    int timeout_ms = -1;
    if (timeout_ns >= 0) {
        // Rounded up, so as not to wake before a time-out is due.
        std::int64_t ms = (timeout_ns + 999999) / 1000000;
        timeout_ms = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    }
    int found = poll(watching.data(), static_cast<nfds_t>(count + 1), timeout_ms);
    woken = found != 0 && (found < 0 || watching[count].revents != 0);
    if (found < 0) {
        error = errno;
        return error == EINTR ? datagram::Status::interrupted : datagram::Status::failed;
    }
    for (std::size_t i = 0; i < count; ++i) {
        ready[i] = watching[i].revents != 0;
    }
    return found == 0 ? datagram::Status::timed_out : datagram::Status::done;
}

}  // namespace reactor
}  // namespace velkarcmd
