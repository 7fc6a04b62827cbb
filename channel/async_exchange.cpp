#include "async_exchange.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string_view>
#include <vector>

#include "../support/saved_error.hpp"
#include "../support/state.hpp"
#include "../support/text.hpp"
#include "datagram.hpp"
#include "drain.hpp"
#include "reactor.hpp"

namespace velkarcmd {

namespace {

constexpr std::size_t kDatagramLimit = 4096;
// Datagrams read from one socket before the reader looks at the others again.
constexpr int kBatch = 256;

constexpr char kExchangeName[] = "velkarcmd_async.exchange";
constexpr char kDeliveryName[] = "velkarcmd_async.delivery";

using Clock = std::chrono::steady_clock;

enum class Outcome { waiting, reply, invalid_text, timed_out, failed, no_memory };

// One exchange under way. The reader thread reads and writes the first part under the
// reactor's lock only; the interpreter's objects are touched with the interpreter lock only,
// and released by end_exchange, never by a destructor: the last owner may be the reader.
struct Pending {
    datagram::Handle handle = 0;
    bool open = true;  // the socket is not closed yet
    bool multi = false;
    bool has_timeout = false;
    bool never_waits = false;  // a time-out of zero: the socket does not wait at all
    Clock::duration timeout{};
    Clock::time_point deadline;
    Outcome outcome = Outcome::waiting;
    ReplyBuffer gathered;  // single reply: the datagram; else each datagram and a line feed
    std::size_t last = 0;  // where the datagram read last begins
    int error = 0;

    // With the interpreter lock.
    bool ended = false;
    // A weak reference to loop.create_future(): whoever awaits it keeps it, and an exchange
    // abandoned with its loop must not keep its task from being collected.
    DetachedRef future;
    DetachedRef call_soon;  // loop.call_soon_threadsafe
    DetachedRef finish;     // this module's `finish`
    // A single reply awaited by the loop itself (a loop with add_reader): no thread involved.
    DetachedRef loop;   // while the loop watches the socket
    DetachedRef timer;  // loop.call_later's handle for the time-out, if any
};

using PendingRef = std::shared_ptr<Pending>;

// A capsule that keeps the exchange for a callback of the loop's.
OwnedRef make_delivery(const PendingRef& pending);

// The reader's table, guarded by reactor::lock. Made once and never destroyed: the reader may
// outlive the interpreter's own clean-up.
struct Table {
    std::vector<PendingRef> waiting;
    bool running = false;
    bool shut_down = false;
    reactor::Waker waker;
};

Table& table() {
    static Table* made = new Table;
    return *made;
}

// --- the reader thread, without the interpreter lock ---------------------------------------------

void conclude(Pending& pending, Outcome outcome, int error = 0) {
    pending.outcome = outcome;
    pending.error = error;
}

// Reads what is there, up to a batch; under the reactor's lock, so that the socket is not
// closed meanwhile.
void read_ready(Pending& pending, Clock::time_point now) {
    for (int count = 0; count < kBatch; ++count) {
        // Room for the datagram and its line feed.
        if (!pending.gathered.make_room(kDatagramLimit + 1)) {
            conclude(pending, Outcome::no_memory);
            return;
        }
        std::size_t start = pending.gathered.size();
        std::size_t received = 0;
        int error = 0;
        datagram::Status status = datagram::receive(pending.handle, pending.gathered.end(),
                                                    kDatagramLimit, received, error);
        if (status == datagram::Status::interrupted) {
            continue;
        }
        if (status == datagram::Status::would_block) {
            if (pending.never_waits) {
                conclude(pending, Outcome::failed, error);
            }
            return;
        }
        if (status != datagram::Status::done) {
            conclude(pending, Outcome::failed, error);
            return;
        }
        pending.gathered.grow(received);
        pending.deadline = now + pending.timeout;
        pending.last = start;
        if (!pending.multi) {
            conclude(pending, Outcome::reply);
            return;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(pending.gathered.data() + start);
        if (!is_valid_utf8(bytes, received)) {
            conclude(pending, Outcome::invalid_text);
            return;
        }
        bool end_marker = std::string_view(pending.gathered.data() + start, received) == kEndMarker;
        pending.gathered.push_back('\n');
        if (end_marker) {
            conclude(pending, Outcome::reply);
            return;
        }
    }
}

void remove_waiting(Table& t, const Pending* pending) {
    for (std::size_t i = 0; i < t.waiting.size(); ++i) {
        if (t.waiting[i].get() == pending) {
            t.waiting.erase(t.waiting.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

void close_socket(Pending& pending) {
    if (pending.open) {
        datagram::close(pending.handle);
        pending.open = false;
    }
}

// With the interpreter lock: asks each finished exchange's loop to take its reply.
void deliver(const std::vector<PendingRef>& finished) {
    for (const PendingRef& pending : finished) {
        if (pending->ended) {
            continue;  // no longer awaited
        }
        OwnedRef delivery = make_delivery(pending);
        OwnedRef call_soon = pending->call_soon.share();
        OwnedRef finish = pending->finish.share();
        OwnedRef scheduled = delivery ? OwnedRef::steal(PyObject_CallFunctionObjArgs(
                                            call_soon.get(), finish.get(), delivery.get(), nullptr))
                                      : OwnedRef();
        if (!scheduled) {
            // The loop is closed: nobody will read the reply, and the socket goes now.
            PyErr_Clear();
            reactor::Locked locked;
            close_socket(*pending);
        }
    }
}

void read_replies(void*) {
    Table& t = table();
    std::vector<PendingRef> round, finished;
    std::vector<datagram::Handle> handles;
    std::unique_ptr<bool[]> ready;
    std::size_t ready_room = 0;
    for (;;) {
        std::int64_t timeout_ns = -1;
        {
            reactor::Locked locked;
            if (t.waiting.empty()) {
                reactor::close_waker(t.waker);
                t.running = false;
                return;
            }
            round = t.waiting;
            Clock::time_point now = Clock::now();
            handles.clear();
            for (const PendingRef& pending : round) {
                handles.push_back(pending->handle);
                if (pending->has_timeout) {
                    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    pending->deadline - now)
                                    .count();
                    left = left < 0 ? 0 : left;
                    timeout_ns = timeout_ns < 0 || left < timeout_ns ? left : timeout_ns;
                }
            }
        }
        if (ready_room < round.size()) {
            ready_room = round.size() * 2;
            ready.reset(new bool[ready_room]);
        }
        std::fill_n(ready.get(), round.size(), false);
        std::size_t watched = 0;
        int error = 0;
        bool woken = true;
        datagram::Status status = reactor::wait_any(handles.data(), handles.size(), t.waker,
                                                    timeout_ns, ready.get(), woken, watched, error);
        if (status == datagram::Status::failed && watched == handles.size()) {
            // A socket closed under the wait (an exchange just ended): look again.
            for (std::size_t i = 0; i < round.size(); ++i) {
                ready[i] = true;
            }
        }
        {
            reactor::Locked locked;
            if (woken) {
                reactor::drain_waker(t.waker);
            }
            Clock::time_point now = Clock::now();
            for (std::size_t i = 0; i < round.size(); ++i) {
                Pending& pending = *round[i];
                if (!pending.open || pending.outcome != Outcome::waiting) {
                    continue;  // ended meanwhile
                }
                if (ready[i] || pending.never_waits) {
                    read_ready(pending, now);
                }
                if (pending.outcome == Outcome::waiting && pending.has_timeout &&
                    now >= pending.deadline) {
                    conclude(pending, Outcome::timed_out);
                }
                if (pending.outcome != Outcome::waiting) {
                    remove_waiting(t, &pending);
                    finished.push_back(round[i]);
                }
            }
            if (t.shut_down) {
                finished.clear();
            }
        }
        round.clear();
        if (!finished.empty()) {
            PyGILState_STATE interpreter = PyGILState_Ensure();
            deliver(finished);
            PyGILState_Release(interpreter);
            finished.clear();
        }
    }
}

// --- on the event loop's thread, with the interpreter lock -----------------------------------

bool raise_if_failed(datagram::Status status, int error) {
    if (status == datagram::Status::done) {
        return false;
    }
    datagram::raise_socket_error(error);
    return true;
}

// `msg.encode("utf-8")`, as the blocking exchange encodes it.
OwnedRef encode_utf8(const ModuleState& s, BorrowedRef msg) {
    if (is_exact_str(msg)) {
        return OwnedRef::steal(PyUnicode_AsUTF8String(msg.get()));
    }
    return call_method(msg, s.encode, {s.utf8});
}

// Connects, encodes and sends, in the blocking exchange's order; then compares the flag with 0.
// -1 with an error set, else whether the mode is single-reply.
int send_request(const ModuleState& s, datagram::Handle handle, BorrowedRef msg, BorrowedRef flag) {
    int error = 0;
    if (raise_if_failed(datagram::connect_to_application(handle, error), error)) {
        return -1;
    }
    OwnedRef request = encode_utf8(s, msg);
    if (!request) {
        return -1;
    }
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(request.get(), &bytes, &size) < 0) {
        return -1;
    }
    enlarge_receive_buffer(handle);
    if (raise_if_failed(datagram::send(handle, bytes, static_cast<std::size_t>(size), error),
                        error)) {
        return -1;
    }
    return equals(flag, s.zero);
}

bool read_timeout(BorrowedRef timeout, Pending& pending) {
    if (timeout.get() == Py_None) {
        return true;
    }
    double seconds = PyFloat_AsDouble(timeout.get());
    if (seconds == -1.0 && PyErr_Occurred()) {
        return false;
    }
    pending.has_timeout = true;
    pending.never_waits = seconds <= 0;
    pending.timeout = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    pending.deadline = Clock::now() + pending.timeout;
    return true;
}

// The loop no longer watches the socket, nor times it out.
void stop_watching(Pending& pending) {
    OwnedRef loop = pending.loop.take();
    OwnedRef timer = pending.timer.take();
    if (!loop) {
        return;
    }
    // May run while an error is under way (a dropped exchange): that error stays the one seen.
    SavedError pending_error;
    OwnedRef number = OwnedRef::steal(PyLong_FromUnsignedLongLong(pending.handle));
    if (number) {
        OwnedRef removed =
            OwnedRef::steal(PyObject_CallMethod(loop.get(), "remove_reader", "O", number.get()));
    }
    if (timer) {
        OwnedRef cancelled = OwnedRef::steal(PyObject_CallMethod(timer.get(), "cancel", nullptr));
    }
}

// Releases the interpreter's objects; the socket is closed and the reader left. Idempotent.
void end_exchange(Pending& pending) {
    if (pending.ended) {
        return;
    }
    pending.ended = true;
    stop_watching(pending);
    {
        reactor::Locked locked;
        Table& t = table();
        remove_waiting(t, &pending);
        close_socket(pending);
        if (t.running) {
            reactor::wake(t.waker);
        }
    }
    pending.future.take();
    pending.call_soon.take();
    pending.finish.take();
}

// Hands the exchange to the reader, starting it if none runs; false with an error set.
bool watch(const PendingRef& pending) {
    reactor::Locked locked;
    Table& t = table();
    t.waiting.push_back(pending);
    if (t.running) {
        reactor::wake(t.waker);
        return true;
    }
    if (reactor::open_waker(t.waker)) {
        if (reactor::start_thread(read_replies, nullptr)) {
            t.running = true;
            return true;
        }
        reactor::close_waker(t.waker);
    }
    t.waiting.pop_back();
    PyErr_SetString(PyExc_RuntimeError, "can't start new thread");
    return false;
}

PendingRef* exchange_of(PyObject* capsule, const char* name) {
    return static_cast<PendingRef*>(PyCapsule_GetPointer(capsule, name));
}

void drop_exchange(PyObject* capsule) {
    PendingRef* pending = exchange_of(capsule, kExchangeName);
    if (pending != nullptr) {
        end_exchange(**pending);
        delete pending;
    }
}

// The reply text, or null with its error set.
OwnedRef reply_text(const ModuleState& s, const Pending& pending) {
    switch (pending.outcome) {
        case Outcome::reply: {
            if (pending.multi) {
                return decode_without_outer_line_feeds(pending.gathered);  // each one valid
            }
            OwnedRef text = OwnedRef::steal(
                PyUnicode_DecodeUTF8(pending.gathered.data(),
                                     static_cast<Py_ssize_t>(pending.gathered.size()), "strict"));
            return text ? strip_chars(s, text, s.line_feed) : OwnedRef();
        }
        case Outcome::invalid_text: {
            // The interpreter's decoder raises the error, with its exact reason and place.
            const char* start = pending.gathered.data() + pending.last;
            auto size = static_cast<Py_ssize_t>(pending.gathered.size() - pending.last);
            OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(start, size, "strict"));
            if (text) {
                PyErr_SetString(PyExc_SystemError, "a datagram was refused as UTF-8 wrongly");
            }
            return {};
        }
        case Outcome::timed_out:
            PyErr_SetString(s.socket_timeout.get(), "timed out");
            return {};
        case Outcome::failed:
            datagram::raise_socket_error(pending.error);
            return {};
        case Outcome::no_memory:
            PyErr_NoMemory();
            return {};
        case Outcome::waiting:
            break;
    }
    PyErr_SetString(PyExc_SystemError, "an exchange was delivered unfinished");
    return {};
}

// Gives the future its reply or error, unless it is settled (cancelled) already.
PyObject* settle(const ModuleState& s, Pending& pending) {
    OwnedRef future_reference = pending.future.share();
    OwnedRef future = OwnedRef::steal(PyObject_CallObject(future_reference.get(), nullptr));
    if (!future || future.get() == Py_None) {
        return future.release();  // nobody awaits it any more
    }
    OwnedRef done = OwnedRef::steal(PyObject_CallMethod(future.get(), "done", nullptr));
    Truth settled = done ? PyObject_IsTrue(done.get()) : -1;
    if (settled != 0) {
        return settled < 0 ? nullptr : none().release();
    }
    OwnedRef text = reply_text(s, pending);
    pending.gathered.release();  // the text has it now
    if (text) {
        return PyObject_CallMethod(future.get(), "set_result", "O", text.get());
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef error_type = OwnedRef::steal(type);
    OwnedRef error = OwnedRef::steal(value);
    OwnedRef error_traceback = OwnedRef::steal(traceback);
    if (!error) {
        return nullptr;
    }
    return PyObject_CallMethod(future.get(), "set_exception", "O", error.get());
}

// The exchange a loop callback was given, unless it has ended; null, maybe with an error set.
Pending* delivered(PyObject* delivery, const ModuleState*& state, PyObject* module) {
    PendingRef* held = exchange_of(delivery, kDeliveryName);
    state = held != nullptr ? state_of(module) : nullptr;
    if (state == nullptr || (*held)->ended) {
        return nullptr;
    }
    return held->get();
}

// `finish(delivery)`, run by the loop once the reader has the reply.
PyObject* finish(PyObject* module, PyObject* delivery) {
    const ModuleState* state = nullptr;
    Pending* pending = delivered(delivery, state, module);
    if (pending == nullptr) {
        return PyErr_Occurred() ? nullptr : none().release();
    }
    return settle(*state, *pending);
}

// `readable(delivery)`: the loop saw the socket of a single reply readable.
PyObject* readable(PyObject* module, PyObject* delivery) {
    const ModuleState* state = nullptr;
    Pending* pending = delivered(delivery, state, module);
    if (pending == nullptr) {
        return PyErr_Occurred() ? nullptr : none().release();
    }
    if (!pending->gathered.make_room(kDatagramLimit)) {
        conclude(*pending, Outcome::no_memory);
    } else {
        std::size_t received = 0;
        int error = 0;
        datagram::Status status = datagram::receive(pending->handle, pending->gathered.end(),
                                                    kDatagramLimit, received, error);
        if (status == datagram::Status::would_block || status == datagram::Status::interrupted) {
            return none().release();  // nothing after all: the loop keeps watching
        }
        if (status == datagram::Status::done) {
            pending->gathered.grow(received);
        }
        conclude(*pending, status == datagram::Status::done ? Outcome::reply : Outcome::failed,
                 error);
    }
    stop_watching(*pending);
    return settle(*state, *pending);
}

// `expired(delivery)`: no datagram within the time-out.
PyObject* expired(PyObject* module, PyObject* delivery) {
    const ModuleState* state = nullptr;
    Pending* pending = delivered(delivery, state, module);
    if (pending == nullptr || pending->outcome != Outcome::waiting) {
        return PyErr_Occurred() ? nullptr : none().release();
    }
    conclude(*pending, Outcome::timed_out);
    stop_watching(*pending);
    return settle(*state, *pending);
}

PyMethodDef readable_definition = {"readable", readable, METH_O, nullptr};
PyMethodDef expired_definition = {"expired", expired, METH_O, nullptr};

OwnedRef make_delivery(const PendingRef& pending) {
    return OwnedRef::steal(
        PyCapsule_New(new PendingRef(pending), kDeliveryName, [](PyObject* capsule) {
            delete static_cast<PendingRef*>(PyCapsule_GetPointer(capsule, kDeliveryName));
        }));
}

// A single reply on a loop that can watch a socket itself: the loop reads it. 1 watched, 0 the
// loop cannot (a proactor loop), -1 with an error set.
int watch_on_loop(const PendingRef& pending, BorrowedRef module, BorrowedRef loop) {
    OwnedRef delivery = make_delivery(pending);
    OwnedRef on_readable =
        delivery ? OwnedRef::steal(PyCFunction_NewEx(&readable_definition, module.get(), nullptr))
                 : OwnedRef();
    OwnedRef number =
        on_readable ? OwnedRef::steal(PyLong_FromUnsignedLongLong(pending->handle)) : OwnedRef();
    if (!number) {
        return -1;
    }
    OwnedRef added = OwnedRef::steal(PyObject_CallMethod(
        loop.get(), "add_reader", "OOO", number.get(), on_readable.get(), delivery.get()));
    if (!added) {
        if (PyErr_ExceptionMatches(PyExc_NotImplementedError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    pending->loop = DetachedRef(OwnedRef::share(loop));
    if (!pending->has_timeout) {
        return 1;
    }
    OwnedRef on_expired =
        OwnedRef::steal(PyCFunction_NewEx(&expired_definition, module.get(), nullptr));
    OwnedRef seconds = on_expired ? OwnedRef::steal(PyFloat_FromDouble(
                                        std::chrono::duration<double>(pending->timeout).count()))
                                  : OwnedRef();
    OwnedRef timer =
        seconds
            ? OwnedRef::steal(PyObject_CallMethod(loop.get(), "call_later", "OOO", seconds.get(),
                                                  on_expired.get(), delivery.get()))
            : OwnedRef();
    if (!timer) {
        return -1;
    }
    pending->timer = DetachedRef(std::move(timer));
    return 1;
}

PyMethodDef finish_definition = {"finish", finish, METH_O, nullptr};

// Windows' selector loop waits with select(), which takes at most 512 sockets, and fails only
// when it next waits: there every reply goes to the reader thread, which watches more.
#ifdef _WIN32
constexpr bool kLoopMayWatch = false;
#else
constexpr bool kLoopMayWatch = true;
#endif

}  // namespace

PyObject* async_begin(PyObject* module, PyObject* args) {
    const ModuleState* state = state_of(module);
    PyObject *msg, *flag, *loop, *timeout;
    if (state == nullptr || !PyArg_UnpackTuple(args, "begin", 4, 4, &msg, &flag, &loop, &timeout)) {
        return nullptr;
    }
    // Owned for the call: the exchange runs Python code (encode, ==).
    OwnedRef held_args = OwnedRef::share(args);
    auto pending = std::make_shared<Pending>();
    int error = 0;
    if (raise_if_failed(datagram::open_client(pending->handle, error), error)) {
        return nullptr;
    }
    int single = send_request(*state, pending->handle, msg, flag);
    OwnedRef future = single >= 0 && read_timeout(timeout, *pending)
                          ? OwnedRef::steal(PyObject_CallMethod(loop, "create_future", nullptr))
                          : OwnedRef();
    OwnedRef call_soon =
        future ? OwnedRef::steal(PyObject_GetAttrString(loop, "call_soon_threadsafe")) : OwnedRef();
    OwnedRef finish_function =
        call_soon ? OwnedRef::steal(PyCFunction_NewEx(&finish_definition, module, nullptr))
                  : OwnedRef();
    if (!finish_function) {
        datagram::close(pending->handle);
        return nullptr;
    }
    OwnedRef future_reference = OwnedRef::steal(PyWeakref_NewRef(future.get(), nullptr));
    if (!future_reference) {
        datagram::close(pending->handle);
        return nullptr;
    }
    pending->multi = single == 0;
    pending->future = DetachedRef(std::move(future_reference));
    pending->call_soon = DetachedRef(std::move(call_soon));
    pending->finish = DetachedRef(std::move(finish_function));
    OwnedRef exchange =
        OwnedRef::steal(PyCapsule_New(new PendingRef(pending), kExchangeName, drop_exchange));
    if (!exchange) {
        end_exchange(*pending);
        return nullptr;
    }
    int on_loop = pending->multi || pending->never_waits || !kLoopMayWatch
                      ? 0
                      : watch_on_loop(pending, module, loop);
    if (on_loop < 0 || (on_loop == 0 && !watch(pending))) {
        return nullptr;  // the exchange's capsule ends it
    }
    return PyTuple_Pack(2, future.get(), exchange.get());
}

PyObject* async_end(PyObject*, PyObject* exchange) {
    PendingRef* pending = exchange_of(exchange, kExchangeName);
    if (pending == nullptr) {
        return nullptr;
    }
    end_exchange(**pending);
    return none().release();
}

PyObject* async_shutdown(PyObject*, PyObject*) {
    reactor::Locked locked;
    Table& t = table();
    t.shut_down = true;
    for (const PendingRef& pending : t.waiting) {
        close_socket(*pending);
    }
    t.waiting.clear();
    if (t.running) {
        reactor::wake(t.waker);
    }
    return none().release();
}

}  // namespace velkarcmd
