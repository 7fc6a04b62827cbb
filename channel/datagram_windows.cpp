#include <winsock2.h>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>

#include "datagram.hpp"

namespace velkarcmd {
namespace datagram {

namespace {

SOCKET descriptor(Handle handle) {
    return static_cast<SOCKET>(handle);
}

Status failure(int& error) {
    error = WSAGetLastError();
    if (error == WSAEINTR) {
        return Status::interrupted;
    }
    if (error == WSAEWOULDBLOCK) {
        return Status::would_block;
    }
    return Status::failed;
}

}  // namespace

Status wait_readable(Handle handle, std::int64_t timeout_ns, int& error) {
    // select() counts in microseconds; round up, as the interpreter does.
    std::int64_t timeout_us = (timeout_ns + 999) / 1000;
    timeval limit{};
    limit.tv_sec =
        static_cast<long>(timeout_us / 1000000 > LONG_MAX ? LONG_MAX : timeout_us / 1000000);
    limit.tv_usec = static_cast<long>(timeout_us % 1000000);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(descriptor(handle), &readable);
    int ready = select(0, &readable, nullptr, nullptr, &limit);
    if (ready == SOCKET_ERROR) {
        return failure(error);
    }
    return ready == 0 ? Status::timed_out : Status::done;
}

Status receive(Handle handle, char* buffer, std::size_t capacity, std::size_t& received,
               int& error) {
    int count = recv(descriptor(handle), buffer, static_cast<int>(capacity), 0);
    if (count == SOCKET_ERROR) {
        return failure(error);
    }
    received = static_cast<std::size_t>(count);
    return Status::done;
}

void request_receive_buffer(Handle handle, int bytes) {
    (void)setsockopt(descriptor(handle), SOL_SOCKET, SO_RCVBUF,
                     reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

Status open_client(Handle& handle, int& error) {
    // As the interpreter makes its sockets: overlapped, not inherited.
    SOCKET made = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (made == INVALID_SOCKET) {
        return failure(error);
    }
    u_long non_blocking = 1;
    if (ioctlsocket(made, FIONBIO, &non_blocking) == SOCKET_ERROR) {
        Status status = failure(error);
        closesocket(made);
        return status;
    }
    handle = static_cast<Handle>(made);
    return Status::done;
}

Status connect_to_application(Handle handle, int& error) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kApplicationPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(descriptor(handle), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        SOCKET_ERROR) {
        return failure(error);
    }
    return Status::done;
}

Status send(Handle handle, const char* data, std::size_t size, int& error) {
    if (::send(descriptor(handle), data, static_cast<int>(size), 0) == SOCKET_ERROR) {
        return failure(error);
    }
    return Status::done;
}

void close(Handle handle) {
    closesocket(descriptor(handle));
}

bool is_too_long(int error) {
    return error == WSAEMSGSIZE;
}

long truncation_flag() {
    return 0;
}

void set_non_blocking(Handle handle) {
    u_long non_blocking = 1;
    (void)ioctlsocket(descriptor(handle), FIONBIO, &non_blocking);
}

void raise_socket_error(int error) {
    PyErr_SetExcFromWindowsErr(PyExc_OSError, error);
}

void raise_too_long() {
    raise_socket_error(WSAEMSGSIZE);
}

}  // namespace datagram
}  // namespace velkarcmd
