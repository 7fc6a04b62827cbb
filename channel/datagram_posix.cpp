#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "datagram.hpp"

namespace velkarcmd {
namespace datagram {

namespace {

int descriptor(Handle handle) {
    return static_cast<int>(handle);
}

// Where recv reports a cut datagram's true length (Linux); elsewhere the count is at most the
// buffer, and a cut one goes unseen.
#ifdef __linux__
constexpr int kTruncated = MSG_TRUNC;
#else
constexpr int kTruncated = 0;
#endif

Status failure(int& error) {
    error = errno;
    if (error == EINTR) {
        return Status::interrupted;
    }
    if (error == EAGAIN || error == EWOULDBLOCK) {
        return Status::would_block;
    }
    return Status::failed;
}

}  // namespace

Status wait_readable(Handle handle, std::int64_t timeout_ns, int& error) {
    // poll() counts in milliseconds; round up, as the interpreter does, so as not to wake early.
    std::int64_t timeout_ms = (timeout_ns + 999999) / 1000000;
    if (timeout_ms > INT_MAX) {
        timeout_ms = INT_MAX;
    }
    pollfd watched{};
    watched.fd = descriptor(handle);
    watched.events = POLLIN;
    int ready = poll(&watched, 1, static_cast<int>(timeout_ms));
    if (ready < 0) {
        return failure(error);
    }
    return ready == 0 ? Status::timed_out : Status::done;
}

Status receive(Handle handle, char* buffer, std::size_t capacity, std::size_t& received,
               int& error) {
    // With MSG_TRUNC, Linux gives a datagram's whole length even where it cut it.
    ssize_t count = recv(descriptor(handle), buffer, capacity, kTruncated);
    if (count < 0) {
        return failure(error);
    }
    if (static_cast<std::size_t>(count) > capacity) {
        error = EMSGSIZE;
        return Status::failed;
    }
    received = static_cast<std::size_t>(count);
    return Status::done;
}

bool is_too_long(int error) {
    return error == EMSGSIZE;
}

long truncation_flag() {
    return MSG_TRUNC;
}

void request_receive_buffer(Handle handle, int bytes) {
    (void)setsockopt(descriptor(handle), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

Status open_client(Handle& handle, int& error) {
    int made = socket(AF_INET, SOCK_DGRAM, 0);
    if (made < 0) {
        return failure(error);
    }
    int flags = fcntl(made, F_GETFL);
    if (fcntl(made, F_SETFD, FD_CLOEXEC) < 0 || flags < 0 ||
        fcntl(made, F_SETFL, flags | O_NONBLOCK) < 0) {
        Status status = failure(error);
        ::close(made);
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
    if (connect(descriptor(handle), reinterpret_cast<const sockaddr*>(&address), sizeof address) <
        0) {
        return failure(error);
    }
    return Status::done;
}

Status send(Handle handle, const char* data, std::size_t size, int& error) {
    if (::send(descriptor(handle), data, size, 0) < 0) {
        return failure(error);
    }
    return Status::done;
}

void close(Handle handle) {
    ::close(descriptor(handle));
}

void set_non_blocking(Handle handle) {
    int flags = fcntl(descriptor(handle), F_GETFL);
    if (flags >= 0) {
        (void)fcntl(descriptor(handle), F_SETFL, flags | O_NONBLOCK);
    }
}

void raise_socket_error(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
}

void raise_too_long() {
    raise_socket_error(EMSGSIZE);
}

}  // namespace datagram
}  // namespace velkarcmd
