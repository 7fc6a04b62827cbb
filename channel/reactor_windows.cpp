#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <vector>

#include "reactor.hpp"

namespace velkarcmd {
namespace reactor {

namespace {

SRWLOCK table_lock = SRWLOCK_INIT;

SOCKET descriptor(datagram::Handle handle) {
    return static_cast<SOCKET>(handle);
}

struct Start {
    void (*body)(void*);
    void* argument;
};

DWORD WINAPI run(LPVOID start) {
    Start what = *static_cast<Start*>(start);
    delete static_cast<Start*>(start);
    what.body(what.argument);
    return 0;
}

}  // namespace

void lock() {
    AcquireSRWLockExclusive(&table_lock);
}

void unlock() {
    ReleaseSRWLockExclusive(&table_lock);
}

bool start_thread(void (*body)(void*), void* argument) {
    // Console events are delivered on threads of their own: nothing to mask here.
    auto* start = new Start{body, argument};
    HANDLE thread =
        CreateThread(nullptr, 256 * 1024, run, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
}

void on_fork(void (*)()) {
    // Windows has no fork.
}

// A UDP socket on the loopback address sending to itself: select() waits on sockets only. As
// the interpreter makes its sockets (overlapped), so that a proactor loop can read it too.
bool open_waker(Waker& waker, int& error) {
    SOCKET made = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (made == INVALID_SOCKET) {
        error = WSAGetLastError();
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    u_long non_blocking = 1;
    if (bind(made, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR ||
        getsockname(made, reinterpret_cast<sockaddr*>(&address), &size) == SOCKET_ERROR ||
        connect(made, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR ||
        ioctlsocket(made, FIONBIO, &non_blocking) == SOCKET_ERROR) {
        error = WSAGetLastError();
        closesocket(made);
        return false;
    }
    waker.read = waker.write = static_cast<datagram::Handle>(made);
    return true;
}

void wake(const Waker& waker) {
    char byte = 0;
    ::send(descriptor(waker.write), &byte, 1, 0);
}

void drain_waker(const Waker& waker) {
    char bytes[256];
    while (recv(descriptor(waker.read), bytes, sizeof bytes, 0) > 0) {
    }
}

void close_waker(const Waker& waker) {
    closesocket(descriptor(waker.read));
}

// An fd_set of any size: Winsock's is a count and an array whose declared length (FD_SETSIZE)
// only bounds the macros; select() reads as many as the count says.
class SocketSet {
  public:
    void assign(const datagram::Handle* handles, std::size_t count, SOCKET extra) {
        words_.assign(offsetof(fd_set, fd_array) / sizeof(SOCKET) + count + 2, 0);
        fd_set* set = get();
        set->fd_count = 0;
        for (std::size_t i = 0; i < count; ++i) {
            set->fd_array[set->fd_count++] = descriptor(handles[i]);
        }
        if (extra != INVALID_SOCKET) {
            set->fd_array[set->fd_count++] = extra;
        }
    }
    fd_set* get() { return reinterpret_cast<fd_set*>(words_.data()); }
    // The sockets select() left in it, sorted for `has`.
    void sort() { std::sort(get()->fd_array, get()->fd_array + get()->fd_count); }
    bool has(SOCKET socket) {
        return std::binary_search(get()->fd_array, get()->fd_array + get()->fd_count, socket);
    }

  private:
    std::vector<SOCKET> words_;  // SOCKET-aligned room for the count and the array
};

datagram::Status wait_any(const datagram::Handle* handles, std::size_t count, const Waker& waker,
                          std::int64_t timeout_ns, bool* ready, bool& woken, int& error) {
    static_assert(offsetof(fd_set, fd_array) % sizeof(SOCKET) == 0, "the array follows the count");
    // Only the reader waits here: its sets are kept rather than made anew.
    thread_local SocketSet readable, failing;
    readable.assign(handles, count, descriptor(waker.read));
    failing.assign(handles, count, INVALID_SOCKET);
    timeval limit{};
    timeval* wait = nullptr;
    if (timeout_ns >= 0) {
        std::int64_t us = (timeout_ns + 999) / 1000;
        limit.tv_sec = static_cast<long>(us / 1000000 > LONG_MAX ? LONG_MAX : us / 1000000);
        limit.tv_usec = static_cast<long>(us % 1000000);
        wait = &limit;
    }
    int found = select(0, readable.get(), nullptr, failing.get(), wait);
    if (found == SOCKET_ERROR) {
        error = WSAGetLastError();
        woken = true;
        return datagram::Status::failed;
    }
    readable.sort();
    failing.sort();
    woken = readable.has(descriptor(waker.read));
    for (std::size_t i = 0; i < count; ++i) {
        SOCKET socket = descriptor(handles[i]);
        ready[i] = readable.has(socket) || failing.has(socket);
    }
    return found == 0 ? datagram::Status::timed_out : datagram::Status::done;
}

}  // namespace reactor
}  // namespace velkarcmd
