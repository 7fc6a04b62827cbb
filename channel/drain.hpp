// Reading a multi-reply answer natively, with the interpreter lock released from the first
// datagram to the end marker. Taking the lock back after every datagram lets a busy thread
// hold the reader up for a switch interval each time, long enough for the receive buffer to
// overflow and for the system to drop records without a word.
#pragma once

#include <cstddef>

#include "../support/state.hpp"
#include "datagram.hpp"

namespace velkarcmd {

// The bytes of a reply as they arrive. It grows geometrically, without filling the room it
// adds, and through realloc, which can move a large block without copying it; its memory goes
// with it.
class ReplyBuffer {
  public:
    ReplyBuffer() = default;
    ReplyBuffer(const ReplyBuffer&) = delete;
    ReplyBuffer& operator=(const ReplyBuffer&) = delete;
    ~ReplyBuffer();

    // Room for `count` more bytes at `end()`; false when memory ran out (nothing lost).
    bool make_room(std::size_t count);
    char* end() { return data_ + size_; }
    // The first `count` bytes of the room are now used; at most what make_room gave.
    void grow(std::size_t count) { size_ += count; }
    // Needs room for it.
    void push_back(char byte) { data_[size_++] = byte; }
    // Frees the memory.
    void release();

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The descriptor of `client` if it is of the interpreter's own socket type and its `recv` is
// that type's C method: only then is reading natively what `client.recv` would do. Stand-ins,
// and sockets whose `recv` is replaced, keep the method calls (false, no error set).
bool native_handle(const ModuleState& state, BorrowedRef client, datagram::Handle& handle);

// Whether `text` is well-formed UTF-8 as the interpreter's strict decoder accepts it: no
// overlong forms, no surrogates, nothing above U+10FFFF. Needs no interpreter lock.
bool is_valid_utf8(const unsigned char* text, std::size_t size);

// Asks the system for a receive buffer large enough to hold a burst of replies. Best effort.
void enlarge_receive_buffer(datagram::Handle handle);

// What receiving a reply came to, datagram after datagram.
enum class Received {
    more,          // a datagram of a multi reply; more are to come
    complete,      // the end marker, or the one datagram of a single reply
    invalid_text,  // a datagram that is not UTF-8
    timed_out,
    interrupted,  // by a signal
    would_block,  // nothing there yet
    failed,       // the system's error
    no_memory,
};

// Receives one datagram onto the end of `gathered`; `last` is then where it begins. A datagram
// of a multi reply is checked as UTF-8 and followed by a line feed, and "over" completes the
// reply; a single reply is its one datagram, as it came. `error` is set when it failed. Needs no
// interpreter lock: the one receive of both readers.
Received receive_onto(datagram::Handle handle, ReplyBuffer& gathered, std::size_t& last, bool multi,
                      int& error);

// Sets the interpreter's error for a reply that ended in `failure`: the interpreter's decoder's
// own UnicodeDecodeError for the datagram from `last` on (the decoder is the judge: one it
// accepts was refused wrongly, a SystemError), socket.timeout, the system's OSError for `error`,
// MemoryError.
void raise_reply_failure(const ModuleState& state, Received failure, const ReplyBuffer& gathered,
                         std::size_t last, int error);

// `text`, valid UTF-8, decoded without its leading and trailing line feeds; null with an error.
OwnedRef decode_without_outer_line_feeds(const ReplyBuffer& text);

// Receives datagrams up to and including the end marker "over", each at most 4096 bytes and
// each decoded strictly as UTF-8 on arrival, under the socket's time-out per datagram. Returns
// every datagram's text followed by a line feed, joined, without the leading and trailing line
// feeds; null with the interpreter's error (OSError, socket.timeout, UnicodeDecodeError,
// MemoryError, or what a signal handler raised). Pending signals are handled before every
// receive that would wait.
OwnedRef drain_multi_reply(const ModuleState& state, BorrowedRef client, datagram::Handle handle);

}  // namespace velkarcmd
