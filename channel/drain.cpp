#include "drain.hpp"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "../support/text.hpp"
#include "datagram.hpp"

namespace velkarcmd {

ReplyBuffer::~ReplyBuffer() {
    std::free(data_);
}

bool ReplyBuffer::make_room(std::size_t count) {
    if (capacity_ - size_ >= count) {
        return true;
    }
    // Doubling keeps the copies of a growing reply linear in its size.
    std::size_t wanted = size_ + count;
    std::size_t capacity = capacity_ < 16384 ? 16384 : capacity_;
    while (capacity < wanted) {
        capacity *= 2;
    }
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) {
        return false;
    }
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
}

void ReplyBuffer::release() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

// Well-formed UTF-8 as the interpreter's strict decoder accepts it: no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const unsigned char* text, std::size_t size) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    std::size_t i = 0;
    while (i < size) {
        // Replies are mostly ASCII: eight bytes at a time while they are.
        std::uint64_t word;
        while (size - i >= sizeof word) {
            std::memcpy(&word, text + i, sizeof word);
            if ((word & kHighBits) != 0) {
                break;
            }
            i += sizeof word;
        }
        if (i == size) {
            break;
        }
        unsigned char lead = text[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead < 0xC2 || lead > 0xF4) {
            return false;
        }
        std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        // The bounds of the second byte: no overlong forms, no surrogates, nothing above
        // U+10FFFF.
        unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        if (size - i < length || text[i + 1] < low || text[i + 1] > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (text[i + k] < 0x80 || text[i + k] > 0xBF) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

namespace {

// A few MB: room for a whole burst of replies while the reader is held up. Linux grants at
// most net.core.rmem_max.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

using Clock = std::chrono::steady_clock;

// Runs `work` without the interpreter lock. The lock is taken back by a plain call, never by a
// destructor: at exit the interpreter may end this thread inside that call, and nothing of
// ours may run on the way out.
template <typename Work>
auto without_interpreter_lock(Work work) {
    PyThreadState* saved = PyEval_SaveThread();
    auto result = work();
    PyEval_RestoreThread(saved);
    return result;
}

// What the lock-free part of the drain works on; kept across interruptions, so that a signal
// does not restart the time-out of the datagram being waited for.
struct Drain {
    datagram::Handle handle = 0;
    bool has_timeout = false;  // a positive time-out: wait before each receive
    Clock::duration timeout{};
    bool deadline_set = false;
    Clock::time_point deadline;
    ReplyBuffer gathered;  // every datagram so far, each followed by a line feed
    std::size_t last = 0;  // where the datagram read last begins in `gathered`
    int error = 0;
};

// Waits at most `timeout_ns` for a datagram: `more` when one is there, else why not (`if_none`
// when the wait ran out).
Received wait_for_datagram(Drain& drain, std::int64_t timeout_ns, Received if_none) {
    switch (datagram::wait_readable(drain.handle, timeout_ns, drain.error)) {
        case datagram::Status::done:
            return Received::more;
        case datagram::Status::timed_out:
            return if_none;
        case datagram::Status::interrupted:
            return Received::interrupted;
        default:
            return Received::failed;
    }
}

// The part that runs without the interpreter lock: the socket module's own wait-then-receive,
// datagram after datagram, until the end marker or something the interpreter must handle.
// Only the first receive of a stretch may wait: the interpreter checked for signals just
// before it. Later ones stop when nothing is there yet, so that signals are checked again.
Received receive_until_stop(Drain& drain) {
    for (bool first = true;; first = false) {
        if (!first) {
            Received waited = wait_for_datagram(drain, 0, Received::would_block);
            if (waited != Received::more) {
                return waited;
            }
        }
        if (drain.has_timeout) {
            Clock::time_point now = Clock::now();
            if (!drain.deadline_set) {
                drain.deadline = now + drain.timeout;
                drain.deadline_set = true;
            }
            Clock::duration left = drain.deadline - now;
            if (left < Clock::duration::zero()) {
                return Received::timed_out;
            }
            auto left_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            Received waited = wait_for_datagram(drain, left_ns, Received::timed_out);
            if (waited != Received::more) {
                return waited;
            }
        }
        Received received =
            receive_onto(drain.handle, drain.gathered, drain.last, true, drain.error);
        if (received == Received::would_block && drain.has_timeout) {
            continue;  // readable was a false alarm: wait again, within the same time-out
        }
        if (received == Received::would_block) {
            return Received::failed;
        }
        if (received != Received::more) {
            return received;
        }
        drain.deadline_set = false;
    }
}

// The socket's time-out as the interpreter keeps it; false with an error set.
bool read_timeout(const ModuleState& state, BorrowedRef client, Drain& drain) {
    OwnedRef timeout = call(state.genuine_gettimeout, {client});
    if (!timeout) {
        return false;
    }
    if (timeout.get() == Py_None) {
        return true;
    }
    double seconds = PyFloat_AsDouble(timeout.get());
    if (seconds == -1.0 && PyErr_Occurred()) {
        return false;
    }
    if (seconds > 0) {
        drain.has_timeout = true;
        drain.timeout =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    return true;
}

// The socket's descriptor; false with an error set.
bool read_handle(const ModuleState& state, BorrowedRef client, datagram::Handle& handle) {
    OwnedRef number = call(state.genuine_fileno, {client});
    if (!number) {
        return false;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    handle = value;
    return true;
}

}  // namespace

OwnedRef decode_without_outer_line_feeds(const ReplyBuffer& text) {
    // A line feed byte is never part of another character in UTF-8: trimming the bytes gives
    // the text that strip("\n") would, without copying the whole text once more.
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin != end && *begin == '\n') {
        ++begin;
    }
    while (end != begin && end[-1] == '\n') {
        --end;
    }
    return OwnedRef::steal(
        PyUnicode_DecodeUTF8(begin, static_cast<Py_ssize_t>(end - begin), "strict"));
}

bool native_handle(const ModuleState& state, BorrowedRef client, datagram::Handle& handle) {
    auto* socket_type = reinterpret_cast<PyTypeObject*>(state.genuine_socket_type.get());
    if (socket_type == nullptr || !PyObject_TypeCheck(client.get(), socket_type)) {
        return false;
    }
    // `client.recv` as the interpreter resolves it (a subclass or the instance may replace
    // it) must be the genuine C method bound to this very socket.
    OwnedRef recv = OwnedRef::steal(PyObject_GetAttr(client.get(), state.recv.get()));
    OwnedRef genuine = recv ? call_method(state.genuine_recv, state.get, {client}) : OwnedRef();
    bool same = false;
    if (genuine) {
        PyCFunction function = PyCFunction_GetFunction(recv.get());
        same = function != nullptr && function == PyCFunction_GetFunction(genuine.get()) &&
               PyCFunction_GetSelf(recv.get()) == client.get();
    }
    if (!same || !read_handle(state, client, handle)) {
        PyErr_Clear();
        return false;
    }
    return true;
}

void enlarge_receive_buffer(datagram::Handle handle) {
    datagram::request_receive_buffer(handle, kReceiveBufferBytes);
}

OwnedRef drain_multi_reply(const ModuleState& state, BorrowedRef client, datagram::Handle handle) {
    Drain drain;
    drain.handle = handle;
    if (!read_timeout(state, client, drain)) {
        return {};
    }
    for (;;) {
        // Signal handlers run now, with the lock, before anything waits; Ctrl-C raises
        // KeyboardInterrupt.
        if (PyErr_CheckSignals() < 0) {
            return {};
        }
        Received stop = without_interpreter_lock([&drain] { return receive_until_stop(drain); });
        if (stop == Received::complete) {
            return decode_without_outer_line_feeds(drain.gathered);
        }
        if (stop != Received::interrupted && stop != Received::would_block) {
            raise_reply_failure(state, stop, drain.gathered, drain.last, drain.error);
            return {};
        }
    }
}

Received receive_onto(datagram::Handle handle, ReplyBuffer& gathered, std::size_t& last, bool multi,
                      int& error) {
    // Room for the datagram and its line feed.
    if (!gathered.make_room(kDatagramLimit + 1)) {
        return Received::no_memory;
    }
    std::size_t received = 0;
    switch (datagram::receive(handle, gathered.end(), kDatagramLimit, received, error)) {
        case datagram::Status::done:
            break;
        case datagram::Status::interrupted:
            return Received::interrupted;
        case datagram::Status::would_block:
            return Received::would_block;
        default:
            return Received::failed;
    }
    last = gathered.size();
    gathered.grow(received);
    if (!multi) {
        return Received::complete;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(gathered.data() + last);
    if (!is_valid_utf8(bytes, received)) {
        return Received::invalid_text;
    }
    bool end_marker = std::string_view(gathered.data() + last, received) == kEndMarker;
    gathered.push_back('\n');
    return end_marker ? Received::complete : Received::more;
}

void raise_reply_failure(const ModuleState& state, Received failure, const ReplyBuffer& gathered,
                         std::size_t last, int error) {
    switch (failure) {
        case Received::invalid_text: {
            const char* start = gathered.data() + last;
            auto size = static_cast<Py_ssize_t>(gathered.size() - last);
            OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(start, size, "strict"));
            if (text) {
                PyErr_SetString(PyExc_SystemError, "a datagram was refused as UTF-8 wrongly");
            }
            return;
        }
        case Received::timed_out:
            PyErr_SetString(state.socket_timeout.get(), "timed out");
            return;
        case Received::failed:
            datagram::raise_socket_error(error);
            return;
        case Received::no_memory:
            PyErr_NoMemory();
            return;
        default:
            PyErr_SetString(PyExc_SystemError, "a reply was read unfinished");
            return;
    }
}

}  // namespace velkarcmd
