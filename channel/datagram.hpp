// The few native socket calls that drain a multi-reply answer without the interpreter lock,
// behind one small interface: POSIX sockets in datagram_posix.cpp, Winsock in
// datagram_windows.cpp. Nothing here touches the interpreter, except raise_socket_error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkarcmd {

// The order-entry application's endpoint, and the longest datagram it sends.
inline constexpr char kApplicationHost[] = "127.0.0.1";
inline constexpr unsigned short kApplicationPort = 5656;
inline constexpr std::size_t kDatagramLimit = 4096;

namespace datagram {

// A socket descriptor as the interpreter's fileno() gives it: an int on POSIX, a SOCKET on
// Windows.
using Handle = std::uint64_t;

enum class Status { done, timed_out, interrupted, would_block, failed };

// Waits until a datagram can be read, at most `timeout_ns` (rounded up to what the system can
// wait). `error` is set when the status is `failed`.
Status wait_readable(Handle handle, std::int64_t timeout_ns, int& error);

// Reads one datagram into `buffer`. A longer one is taken off the socket and fails with the
// system's "message too long" on every system, as Windows reports it: Linux would cut it.
Status receive(Handle handle, char* buffer, std::size_t capacity, std::size_t& received,
               int& error);
// Whether `error` is that "message too long".
bool is_too_long(int error);
// The `msg_flags` bit of the interpreter's `recvmsg` that says a datagram was cut; 0 where
// the system fails instead (Windows).
long truncation_flag();

// Asks for a receive buffer of `bytes`; the system may grant less. Best effort.
void request_receive_buffer(Handle handle, int bytes);

// For the awaitable exchange, which makes its sockets itself. Each sets `error` on `failed`.
// A UDP socket that is not inherited by child processes and never blocks.
Status open_client(Handle& handle, int& error);
// Connects it to the application at kApplicationHost:kApplicationPort.
Status connect_to_application(Handle handle, int& error);
// Sends one datagram; the count sent is not reported.
Status send(Handle handle, const char* data, std::size_t size, int& error);
void close(Handle handle);
// Makes a socket that blocked (or waited under a time-out) never wait; best effort.
void set_non_blocking(Handle handle);

// Sets the interpreter's OSError for a socket error `error`, exactly as its socket module does.
// Needs the interpreter lock.
void raise_socket_error(int error);
// The same, for a datagram longer than the buffer.
void raise_too_long();

}  // namespace datagram
}  // namespace velkarcmd
