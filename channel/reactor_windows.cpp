// select() watches at most FD_SETSIZE sockets, 64 unless a file says otherwise before
// winsock2.h: this one does, for as many exchanges at once as a script is likely to run.
#define FD_SETSIZE 1024
#include <windows.h>
#include <winsock2.h>

#include <climits>

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

// A UDP socket on the loopback address sending to itself: select() waits on sockets only.
bool open_waker(Waker& waker) {
    SOCKET made = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (made == INVALID_SOCKET) {
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

datagram::Status wait_any(const datagram::Handle* handles, std::size_t count, const Waker& waker,
                          std::int64_t timeout_ns, bool* ready, bool& woken, std::size_t& watched,
                          int& error) {
    static_assert(FD_SETSIZE > 1, "room for the waker");
    watched = count < FD_SETSIZE - 1 ? count : FD_SETSIZE - 1;
    // An fd_set this large does not belong on the reader's small stack.
    auto* readable = new fd_set;
    auto* failing = new fd_set;
    FD_ZERO(readable);
    FD_ZERO(failing);
    for (std::size_t i = 0; i < watched; ++i) {
        FD_SET(descriptor(handles[i]), readable);
        FD_SET(descriptor(handles[i]), failing);
    }
    FD_SET(descriptor(waker.read), readable);
    timeval limit{};
    timeval* wait = nullptr;
    if (timeout_ns >= 0) {
        std::int64_t us = (timeout_ns + 999) / 1000;
        limit.tv_sec = static_cast<long>(us / 1000000 > LONG_MAX ? LONG_MAX : us / 1000000);
        limit.tv_usec = static_cast<long>(us % 1000000);
        wait = &limit;
    }
    int found = select(0, readable, nullptr, failing, wait);
    woken = found == SOCKET_ERROR || FD_ISSET(descriptor(waker.read), readable);
    datagram::Status status = datagram::Status::done;
    if (found == SOCKET_ERROR) {
        error = WSAGetLastError();
        status = datagram::Status::failed;
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            ready[i] = i < watched && (FD_ISSET(descriptor(handles[i]), readable) ||
                                       FD_ISSET(descriptor(handles[i]), failing));
        }
        status = found == 0 ? datagram::Status::timed_out : datagram::Status::done;
    }
    delete readable;
    delete failing;
    return status;
}

}  // namespace reactor
}  // namespace velkarcmd
