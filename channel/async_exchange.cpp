#include "async_exchange.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../support/methods.hpp"
#include "../support/saved_error.hpp"
#include "../support/state.hpp"
#include "../support/text.hpp"
#include "../support/thread_lock.hpp"
#include "abandoned.hpp"
#include "datagram.hpp"
#include "drain.hpp"
#include "reactor.hpp"

namespace velkarcmd {

namespace {

constexpr std::size_t kDatagramLimit = 4096;
// Datagrams read from one socket before the reader looks at the others again.
constexpr int kBatch = 256;
// How long the reader waits for another call once none waits, before it ends: a script that
// makes one list call after another does not start a thread for each.
constexpr std::int64_t kLingerNs = 250 * 1000 * 1000;

using Clock = std::chrono::steady_clock;

enum class Outcome { waiting, reply, invalid_text, timed_out, failed, no_memory };

struct Port;

// One exchange's socket and reply. While the reader has it (`Table::waiting`), it is read and
// written under the reactor's lock only; it holds nothing of the interpreter's, so that the
// reader may drop it.
struct Core {
    datagram::Handle handle = 0;
    bool open = false;   // the socket is not closed yet
    bool armed = false;  // the request is out and the mode known: the reader may read
    bool sent = false;
    // Its call ended before the answer was over: the reader drops what comes until it is.
    bool draining = false;
    Abandoned abandoned;
    bool multi = false;
    bool has_timeout = false;
    bool never_waits = false;  // a time-out of zero: the socket does not wait at all
    Clock::duration timeout{};
    Clock::time_point deadline;
    Outcome outcome = Outcome::waiting;
    ReplyBuffer gathered;  // single reply: the datagram; else each datagram and a line feed
    std::size_t last = 0;  // where the datagram read last begins
    int error = 0;
    // Where the reader hands it over once it has its outcome; null while the loop watches it.
    std::shared_ptr<Port> port;
};

using CoreRef = std::shared_ptr<Core>;

// The reader's side of one event loop's notifier: the exchanges it has finished for that loop,
// and the socket pair by which it tells the loop so. Under the reactor's lock.
struct Port {
    reactor::Waker channel;
    bool open = true;        // closed by the notifier, after which nothing is written to it
    bool signalled = false;  // a byte is on its way that the loop has not answered yet
    std::vector<CoreRef> finished;
};

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

// In the child of a fork: the reader is the parent's, so are the sockets it watched, and its
// wake-up is shared with the parent. The child starts afresh; the parent's exchanges, copied
// into the child, are never read there.
void forget_the_parents_reader() {
    Table& t = table();
    if (t.running) {
        reactor::close_waker(t.waker);
        t.running = false;
    }
    t.waiting.clear();
}

// --- the reader thread: no interpreter lock, no Python code ----------------------------------

void conclude(Core& core, Outcome outcome, int error = 0) {
    core.outcome = outcome;
    core.error = error;
}

// Reads what is there, up to a batch (all of it when the socket never waits); under the
// reactor's lock, so that the socket is not closed meanwhile.
void read_ready(Core& core, Clock::time_point now) {
    for (int count = 0; core.never_waits || count < kBatch; ++count) {
        // Room for the datagram and its line feed.
        if (!core.gathered.make_room(kDatagramLimit + 1)) {
            conclude(core, Outcome::no_memory);
            return;
        }
        std::size_t start = core.gathered.size();
        std::size_t received = 0;
        int error = 0;
        datagram::Status status =
            datagram::receive(core.handle, core.gathered.end(), kDatagramLimit, received, error);
        if (status == datagram::Status::interrupted) {
            continue;
        }
        if (status == datagram::Status::would_block) {
            if (core.never_waits) {
                conclude(core, Outcome::failed, error);
            }
            return;
        }
        if (status != datagram::Status::done) {
            conclude(core, Outcome::failed, error);
            return;
        }
        core.gathered.grow(received);
        core.deadline = now + core.timeout;
        core.last = start;
        if (!core.multi) {
            conclude(core, Outcome::reply);
            return;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(core.gathered.data() + start);
        if (!is_valid_utf8(bytes, received)) {
            conclude(core, Outcome::invalid_text);
            return;
        }
        bool end_marker = std::string_view(core.gathered.data() + start, received) == kEndMarker;
        core.gathered.push_back('\n');
        if (end_marker) {
            conclude(core, Outcome::reply);
            return;
        }
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
            if (core.outcome != Outcome::waiting) {
                continue;  // handed over already
            }
            if (ready[i] || core.never_waits) {
                read_ready(core, now);
            }
            if (core.outcome == Outcome::waiting && core.has_timeout && !core.never_waits &&
                now >= core.deadline) {
                conclude(core, Outcome::timed_out);
            }
            if (core.outcome != Outcome::waiting) {
                remove_from(t.waiting, &core);
                hand_over(round[i]);
            }
        }
    }
}

// Gives the exchange to the reader, which does not read it before `arm`; the reader and its
// wake-up are had now, so that the request never goes out without them. False with an error.
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
    return core.sent && core.open && core.outcome != Outcome::reply &&
           core.outcome != Outcome::failed;
}

// --- the interpreter's objects, on the loop's thread -----------------------------------------

// An exchange, as the loop and the call see it. Its one way to end is `end_exchange`, which
// sets `ended` before it runs any Python code; nothing acts on an exchange that has ended.
struct ExchangeState {
    CoreRef core = std::make_shared<Core>();
    OwnedRef module;
    OwnedRef future;    // loop.create_future(): what the call awaits
    OwnedRef loop;      // while the loop watches the socket itself
    OwnedRef timer;     // loop.call_later's handle for that watch's time-out, if any
    OwnedRef notifier;  // while the reader reads it for the loop
    bool in_table = false;
    bool ended = false;
};

// One loop's end of the reader's port. The loop watches the port's socket (add_reader, or a
// proactor's receive) and settles the exchanges the reader hands over; it holds each exchange it
// will settle, as the loop's own I/O holds its futures. Closed once none is left.
struct NotifierState {
    std::shared_ptr<Port> port = std::make_shared<Port>();
    OwnedRef module, loop;
    bool on_reader = false;  // add_reader; else a proactor's receive of `socket`
    OwnedRef proactor, socket, receiving;
    std::unordered_map<const Core*, OwnedRef> waiting;
    bool closed = false;
};

struct ExchangeObject {
    PyObject base;
    ExchangeState* state;
};

struct NotifierObject {
    PyObject base;
    NotifierState* state;
};

ExchangeState* exchange_state(BorrowedRef exchange) {
    return reinterpret_cast<ExchangeObject*>(exchange.get())->state;
}

NotifierState* notifier_state(BorrowedRef notifier) {
    return reinterpret_cast<NotifierObject*>(notifier.get())->state;
}

// The open notifiers, one per loop at most, which the loops of all threads share: under
// `notifiers_lock`.
std::vector<PyObject*>& notifiers() {
    static auto* made = new std::vector<PyObject*>;
    return *made;
}

ThreadLock& notifiers_lock() {
    static auto* made = new ThreadLock;
    return *made;
}

OwnedRef handle_number(datagram::Handle handle) {
    return OwnedRef::steal(PyLong_FromUnsignedLongLong(handle));
}

// Closes the port: the loop stops watching it (`python`: the loop is told, which runs Python
// code), the reader writes nothing more to it, and the exchanges it held are let go.
void close_notifier(BorrowedRef notifier, bool python) {
    NotifierState* state = notifier_state(notifier);
    if (state == nullptr || state->closed) {
        return;
    }
    state->closed = true;
    {
        ThreadLocked locked(notifiers_lock());
        auto& open = notifiers();
        open.erase(std::remove(open.begin(), open.end(), notifier.get()), open.end());
    }
    std::vector<CoreRef> finished;
    {
        reactor::Locked locked;
        state->port->open = false;
        finished.swap(state->port->finished);
    }
    std::unordered_map<const Core*, OwnedRef> waiting;
    waiting.swap(state->waiting);
    OwnedRef receiving = std::move(state->receiving);
    OwnedRef socket = std::move(state->socket);
    SavedError pending_error;
    if (python && state->on_reader) {
        OwnedRef number = handle_number(state->port->channel.read);
        OwnedRef removed = number ? OwnedRef::steal(PyObject_CallMethod(
                                        state->loop.get(), "remove_reader", "O", number.get()))
                                  : OwnedRef();
    }
    if (python && receiving) {
        OwnedRef cancelled =
            OwnedRef::steal(PyObject_CallMethod(receiving.get(), "cancel", nullptr));
    }
    if (socket) {
        // The port closes the descriptor itself, once.
        OwnedRef detached = OwnedRef::steal(PyObject_CallMethod(socket.get(), "detach", nullptr));
    }
    reactor::close_waker(state->port->channel);
}

// The exchange no longer waits on the notifier; the last one closes it.
void forget(BorrowedRef notifier, const Core* core, bool python) {
    NotifierState* state = notifier_state(notifier);
    if (state == nullptr) {
        return;
    }
    auto found = state->waiting.find(core);
    if (found == state->waiting.end()) {
        return;
    }
    OwnedRef gone = std::move(found->second);
    state->waiting.erase(found);
    if (state->waiting.empty()) {
        close_notifier(notifier, python);
    }
}

// Ends the exchange: the loop stops watching its socket (`python`: by a call), the reader
// forgets it, the socket is closed and its notifier lets it go. Everything is taken out of the
// exchange before any Python code runs, so that an end that runs meanwhile finds it ended.
void end_exchange(BorrowedRef exchange, bool python) {
    ExchangeState* state = exchange_state(exchange);
    if (state == nullptr || state->ended) {
        return;
    }
    state->ended = true;
    OwnedRef loop = std::move(state->loop);
    OwnedRef timer = std::move(state->timer);
    OwnedRef notifier = std::move(state->notifier);
    OwnedRef future = std::move(state->future);
    Core& core = *state->core;
    if (python && loop) {
        // May run while an error is under way (a call that failed): that error stays the one.
        SavedError pending_error;
        OwnedRef number = handle_number(core.handle);
        OwnedRef removed = number ? OwnedRef::steal(PyObject_CallMethod(loop.get(), "remove_reader",
                                                                        "O", number.get()))
                                  : OwnedRef();
        if (timer) {
            OwnedRef cancelled =
                OwnedRef::steal(PyObject_CallMethod(timer.get(), "cancel", nullptr));
        }
    }
    {
        reactor::Locked locked;
        Table& t = table();
        if (core.port) {
            remove_from(core.port->finished, &core);
        }
        if (answer_unfinished(core) && keep_until_answered(state->core)) {
            // The reader has it now.
        } else {
            if (state->in_table) {
                remove_from(t.waiting, &core);
                if (t.running) {
                    reactor::wake(t.waker);
                }
            }
            close_socket(core);
        }
    }
    if (notifier) {
        forget(notifier, &core, python);
    }
}

// The reply text, or null with its error set.
OwnedRef reply_text(const ModuleState& s, const Core& core) {
    switch (core.outcome) {
        case Outcome::reply: {
            if (core.multi) {
                return decode_without_outer_line_feeds(core.gathered);  // each one valid
            }
            OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(
                core.gathered.data(), static_cast<Py_ssize_t>(core.gathered.size()), "strict"));
            return text ? strip_chars(s, text, s.line_feed) : OwnedRef();
        }
        case Outcome::invalid_text: {
            // The interpreter's decoder raises the error, with its exact reason and place.
            const char* start = core.gathered.data() + core.last;
            auto size = static_cast<Py_ssize_t>(core.gathered.size() - core.last);
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
            datagram::raise_socket_error(core.error);
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

// The exception under way as an object, with its traceback, for a future; the error is cleared.
OwnedRef take_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef error_type = OwnedRef::steal(type);
    OwnedRef error = OwnedRef::steal(value);
    OwnedRef error_traceback = OwnedRef::steal(traceback);
    if (error && error_traceback) {
        PyException_SetTraceback(error.get(), error_traceback.get());
    }
    return error;
}

// Gives `future` the exception under way.
PyObject* set_error(BorrowedRef future) {
    OwnedRef error = take_error();
    if (!error) {
        return nullptr;
    }
    return PyObject_CallMethod(future.get(), "set_exception", "O", error.get());
}

// The exchange has its outcome: it ends, and its future gets the reply or the error unless it
// is settled (cancelled) already.
PyObject* finish(BorrowedRef exchange) {
    ExchangeState* state = exchange_state(exchange);
    if (state == nullptr || state->ended) {
        return none().release();
    }
    OwnedRef future = OwnedRef::share(state->future);
    OwnedRef module = OwnedRef::share(state->module);
    CoreRef core = state->core;
    end_exchange(exchange, true);
    const ModuleState* s = module ? state_of(module) : nullptr;
    if (s == nullptr) {
        return nullptr;
    }
    OwnedRef done = OwnedRef::steal(PyObject_CallMethod(future.get(), "done", nullptr));
    Truth settled = done ? PyObject_IsTrue(done.get()) : -1;
    if (settled != 0) {
        return settled < 0 ? nullptr : none().release();
    }
    OwnedRef text = reply_text(*s, *core);
    core->gathered.release();  // the text has it now
    if (!text) {
        return set_error(future);
    }
    return PyObject_CallMethod(future.get(), "set_result", "O", text.get());
}

// The first error of several steps that each run, kept for the end.
class FirstError {
  public:
    void keep() {
        if (type_) {
            PyErr_Clear();
            return;
        }
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = OwnedRef::steal(type);
        value_ = OwnedRef::steal(value);
        traceback_ = OwnedRef::steal(traceback);
    }
    PyObject* result() {
        if (!type_) {
            return none().release();
        }
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        return nullptr;
    }

  private:
    OwnedRef type_, value_, traceback_;
};

// Settles what the reader handed over. The notifier is held by the caller.
PyObject* settle_handed_over(BorrowedRef notifier) {
    NotifierState* state = notifier_state(notifier);
    std::vector<CoreRef> finished;
    {
        reactor::Locked locked;
        state->port->signalled = false;
        finished.swap(state->port->finished);
    }
    FirstError first;
    for (const CoreRef& core : finished) {
        auto found = state->waiting.find(core.get());
        if (found == state->waiting.end()) {
            continue;  // ended meanwhile
        }
        OwnedRef exchange = OwnedRef::share(found->second);
        if (!OwnedRef::steal(finish(exchange))) {
            first.keep();
        }
    }
    return first.result();
}

// `notifier._ready()`: the loop saw the port readable.
PyObject* notifier_ready(PyObject* self, PyObject*) {
    NotifierState* state = notifier_state(self);
    if (state == nullptr || state->closed) {
        return none().release();
    }
    reactor::drain_waker(state->port->channel);
    return settle_handed_over(self);
}

bool receive_on_proactor(BorrowedRef notifier) {
    NotifierState* state = notifier_state(notifier);
    OwnedRef receiving = OwnedRef::steal(
        PyObject_CallMethod(state->proactor.get(), "recv", "Oi", state->socket.get(), 256));
    OwnedRef on_received = receiving ? attribute(notifier, "_received") : OwnedRef();
    OwnedRef added = on_received
                         ? OwnedRef::steal(PyObject_CallMethod(receiving.get(), "add_done_callback",
                                                               "O", on_received.get()))
                         : OwnedRef();
    if (!added) {
        return false;
    }
    state->receiving = std::move(receiving);
    return true;
}

// Every exchange the notifier holds gets the error under way: nothing would settle them.
void fail_all(BorrowedRef notifier) {
    NotifierState* state = notifier_state(notifier);
    OwnedRef error = take_error();
    std::vector<OwnedRef> exchanges;
    for (const auto& held : state->waiting) {
        exchanges.push_back(OwnedRef::share(held.second));
    }
    for (const OwnedRef& exchange : exchanges) {
        OwnedRef future = OwnedRef::share(exchange_state(exchange)->future);
        end_exchange(exchange, true);
        if (future && error) {
            OwnedRef set = OwnedRef::steal(
                PyObject_CallMethod(future.get(), "set_exception", "O", error.get()));
            PyErr_Clear();
        }
    }
}

// `notifier._received(future)`: a proactor loop's receive on the port ended.
PyObject* notifier_received(PyObject* self, PyObject* received) {
    NotifierState* state = notifier_state(self);
    if (state == nullptr || state->closed) {
        return none().release();
    }
    if (state->receiving.get() == received) {
        state->receiving.reset();
    }
    OwnedRef cancelled = OwnedRef::steal(PyObject_CallMethod(received, "cancelled", nullptr));
    Truth was_cancelled = cancelled ? PyObject_IsTrue(cancelled.get()) : -1;
    if (was_cancelled == 0) {
        // Retrieved, so that the loop does not report it; the port is read again regardless.
        OwnedRef error = OwnedRef::steal(PyObject_CallMethod(received, "exception", nullptr));
    }
    PyErr_Clear();
    FirstError first;
    if (!OwnedRef::steal(settle_handed_over(self))) {
        first.keep();
    }
    // Cancelled: the loop is closing. Else the port is watched again while exchanges wait.
    if (was_cancelled == 0 && !state->closed && !state->waiting.empty() && !state->receiving &&
        !receive_on_proactor(self)) {
        fail_all(self);
    }
    return first.result();
}

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "velkarcmd_async makes its exchanges itself");
    return nullptr;
}

// An object of one of the two types, GC-tracked and holding a state of its own.
template <typename Object, typename State>
OwnedRef make_object(BorrowedRef type) {
    OwnedRef made =
        OwnedRef::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
    if (made) {
        reinterpret_cast<Object*>(made.get())->state = new State;
    }
    return made;
}

// The types' tp_dealloc: `close` ends what the object holds without calling the loop, then the
// state and the object go, and the reference to the type that the allocation took.
template <typename Object, void (*close)(BorrowedRef, bool)>
void dealloc_object(PyObject* self) {
    PyObject_GC_UnTrack(self);
    close(self, false);
    delete reinterpret_cast<Object*>(self)->state;
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

int visit_type(PyObject* self, visitproc visit, void* arg) {
    return visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg);
}

int visit_all(std::initializer_list<const OwnedRef*> members, visitproc visit, void* arg) {
    for (const OwnedRef* member : members) {
        if (*member) {
            if (int result = visit(member->get(), arg)) {
                return result;
            }
        }
    }
    return 0;
}

int exchange_traverse(PyObject* self, visitproc visit, void* arg) {
    ExchangeState* state = exchange_state(self);
    if (int result = visit_type(self, visit, arg)) {
        return result;
    }
    return state == nullptr ? 0
                            : visit_all({&state->module, &state->future, &state->loop,
                                         &state->timer, &state->notifier},
                                        visit, arg);
}

// The collector breaks a cycle: nothing of the loop's is called, only the socket closed.
int exchange_clear(PyObject* self) {
    end_exchange(self, false);
    if (ExchangeState* state = exchange_state(self)) {
        state->module.reset();
    }
    return 0;
}

int notifier_traverse(PyObject* self, visitproc visit, void* arg) {
    NotifierState* state = notifier_state(self);
    if (int result = visit_type(self, visit, arg)) {
        return result;
    }
    if (state == nullptr) {
        return 0;
    }
    if (int result = visit_all(
            {&state->module, &state->loop, &state->proactor, &state->socket, &state->receiving},
            visit, arg)) {
        return result;
    }
    for (const auto& held : state->waiting) {
        if (int result = visit(held.second.get(), arg)) {
            return result;
        }
    }
    return 0;
}

int notifier_clear(PyObject* self) {
    close_notifier(self, false);
    if (NotifierState* state = notifier_state(self)) {
        state->module.reset();
        state->loop.reset();
        state->proactor.reset();
    }
    return 0;
}

// `exchange._readable()`: the loop saw the socket of a single reply readable.
PyObject* exchange_readable(PyObject* self, PyObject*) {
    ExchangeState* state = exchange_state(self);
    if (state == nullptr || state->ended) {
        return none().release();
    }
    Core& core = *state->core;
    if (!core.gathered.make_room(kDatagramLimit)) {
        conclude(core, Outcome::no_memory);
    } else {
        std::size_t received = 0;
        int error = 0;
        datagram::Status status =
            datagram::receive(core.handle, core.gathered.end(), kDatagramLimit, received, error);
        if (status == datagram::Status::would_block || status == datagram::Status::interrupted) {
            return none().release();  // nothing after all: the loop keeps watching
        }
        if (status == datagram::Status::done) {
            core.gathered.grow(received);
        }
        conclude(core, status == datagram::Status::done ? Outcome::reply : Outcome::failed, error);
    }
    return finish(self);
}

// `exchange._expired()`: no datagram within the time-out.
PyObject* exchange_expired(PyObject* self, PyObject*) {
    ExchangeState* state = exchange_state(self);
    if (state == nullptr || state->ended) {
        return none().release();
    }
    conclude(*state->core, Outcome::timed_out);
    return finish(self);
}

PyMethodDef exchange_methods[] = {
    {"_readable", exchange_readable, METH_NOARGS, nullptr},
    {"_expired", exchange_expired, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef notifier_methods[] = {
    {"_ready", notifier_ready, METH_NOARGS, nullptr},
    {"_received", notifier_received, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot exchange_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<ExchangeObject, end_exchange>)},
    {Py_tp_traverse, reinterpret_cast<void*>(exchange_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(exchange_clear)},
    {Py_tp_methods, exchange_methods},
    {0, nullptr},
};

PyType_Slot notifier_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<NotifierObject, close_notifier>)},
    {Py_tp_traverse, reinterpret_cast<void*>(notifier_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(notifier_clear)},
    {Py_tp_methods, notifier_methods},
    {0, nullptr},
};

PyType_Spec exchange_spec = {
    "velkarcmd_async.Exchange",
    static_cast<int>(sizeof(ExchangeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    exchange_slots,
};

PyType_Spec notifier_spec = {
    "velkarcmd_async.LoopNotifier",
    static_cast<int>(sizeof(NotifierObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    notifier_slots,
};

// The loop's open notifier, or a new one that the loop watches; null with an error set (the
// system's OSError when no descriptor is left, NotImplementedError for a loop that can watch
// no socket).
OwnedRef notifier_for(const ModuleState& s, BorrowedRef module, BorrowedRef loop) {
    {
        ThreadLocked locked(notifiers_lock());
        for (PyObject* open : notifiers()) {
            if (notifier_state(open)->loop.get() == loop.get()) {
                return OwnedRef::share(open);
            }
        }
    }
    OwnedRef notifier = make_object<NotifierObject, NotifierState>(s.notifier_type);
    if (!notifier) {
        return {};
    }
    NotifierState* state = notifier_state(notifier);
    int error = 0;
    if (!reactor::open_waker(state->port->channel, error)) {
        state->closed = true;  // nothing to close
        datagram::raise_socket_error(error);
        return {};
    }
    state->module = OwnedRef::share(module);
    state->loop = OwnedRef::share(loop);
    {
        ThreadLocked locked(notifiers_lock());
        notifiers().push_back(notifier.get());
    }
    OwnedRef on_ready = attribute(notifier, "_ready");
    OwnedRef number = on_ready ? handle_number(state->port->channel.read) : OwnedRef();
    OwnedRef added = number ? OwnedRef::steal(PyObject_CallMethod(loop.get(), "add_reader", "OO",
                                                                  number.get(), on_ready.get()))
                            : OwnedRef();
    if (added) {
        state->on_reader = true;
        return notifier;
    }
    // A proactor loop watches no socket, but receives on one.
    if (PyErr_ExceptionMatches(PyExc_NotImplementedError) &&
        PyObject_HasAttrString(loop.get(), "_proactor")) {
        PyErr_Clear();
        state->proactor = attribute(loop, "_proactor");
        OwnedRef keywords = state->proactor
                                ? OwnedRef::steal(Py_BuildValue(
                                      "{s:K}", "fileno",
                                      static_cast<unsigned long long>(state->port->channel.read)))
                                : OwnedRef();
        OwnedRef no_arguments = keywords ? OwnedRef::steal(PyTuple_New(0)) : OwnedRef();
        state->socket = no_arguments
                            ? OwnedRef::steal(PyObject_Call(s.socket_class.get(),
                                                            no_arguments.get(), keywords.get()))
                            : OwnedRef();
        if (state->socket && receive_on_proactor(notifier)) {
            return notifier;
        }
    }
    {
        SavedError failure;
        close_notifier(notifier, true);
    }
    return {};
}

// A single reply on a loop that can watch a socket itself: the loop reads it. 1 watched, 0 the
// loop cannot (a proactor loop), -1 with an error set.
int watch_on_loop(BorrowedRef exchange, BorrowedRef loop) {
    ExchangeState* state = exchange_state(exchange);
    const Core& core = *state->core;
    OwnedRef on_readable = attribute(exchange, "_readable");
    OwnedRef number = on_readable ? handle_number(core.handle) : OwnedRef();
    OwnedRef added = number ? OwnedRef::steal(PyObject_CallMethod(loop.get(), "add_reader", "OO",
                                                                  number.get(), on_readable.get()))
                            : OwnedRef();
    if (!added) {
        if (PyErr_ExceptionMatches(PyExc_NotImplementedError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    state->loop = OwnedRef::share(loop);
    if (!core.has_timeout) {
        return 1;
    }
    OwnedRef on_expired = attribute(exchange, "_expired");
    OwnedRef seconds = on_expired ? OwnedRef::steal(PyFloat_FromDouble(
                                        std::chrono::duration<double>(core.timeout).count()))
                                  : OwnedRef();
    OwnedRef timer = seconds ? OwnedRef::steal(PyObject_CallMethod(loop.get(), "call_later", "OO",
                                                                   seconds.get(), on_expired.get()))
                             : OwnedRef();
    if (!timer) {
        return -1;
    }
    state->timer = std::move(timer);
    return 1;
}

// The reader reads it for the loop: it is had, with the loop's notifier, before the request
// goes out. False with an error set.
bool watch_on_reader(const ModuleState& s, BorrowedRef module, BorrowedRef exchange,
                     BorrowedRef loop) {
    ExchangeState* state = exchange_state(exchange);
    OwnedRef notifier = notifier_for(s, module, loop);
    if (!notifier) {
        return false;
    }
    NotifierState* notified = notifier_state(notifier);
    notified->waiting.emplace(state->core.get(), OwnedRef::share(exchange));
    state->core->port = notified->port;
    state->notifier = std::move(notifier);
    if (!enter_table(state->core)) {
        return false;
    }
    state->in_table = true;
    return true;
}

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

bool read_timeout(BorrowedRef timeout, Core& core) {
    if (timeout.get() == Py_None) {
        return true;
    }
    double seconds = PyFloat_AsDouble(timeout.get());
    if (seconds == -1.0 && PyErr_Occurred()) {
        return false;
    }
    core.has_timeout = true;
    core.never_waits = seconds <= 0;
    core.timeout = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    core.deadline = Clock::now() + core.timeout;
    return true;
}

// Whether `flag == 0` holds, where that is known without running Python code (an exact int,
// bool or float): 1 or 0, else -1.
int known_single(BorrowedRef flag) {
    if (PyLong_CheckExact(flag.get()) || PyBool_Check(flag.get())) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(flag.get(), &overflow);
        return overflow == 0 && value == 0 ? 1 : 0;
    }
    if (PyFloat_CheckExact(flag.get())) {
        return PyFloat_AsDouble(flag.get()) == 0.0 ? 1 : 0;
    }
    return -1;
}

// Windows' selector loop waits with select(), which takes at most 512 sockets, and fails only
// when it next waits: there every reply goes to the reader thread, which watches more.
#ifdef _WIN32
constexpr bool kLoopMayWatch = false;
#else
constexpr bool kLoopMayWatch = true;
#endif

// Connects, encodes, has the reply watched and sends, in the blocking exchange's order; then
// compares the flag with 0 where that was not known. False with an error set.
bool start(const ModuleState& s, BorrowedRef module, BorrowedRef exchange, BorrowedRef msg,
           BorrowedRef flag, BorrowedRef loop, BorrowedRef timeout) {
    ExchangeState* state = exchange_state(exchange);
    Core& core = *state->core;
    int error = 0;
    datagram::Status connected = datagram::connect_to_application(core.handle, error);
    if (raise_if_failed(connected, error)) {
        return false;
    }
    OwnedRef request = encode_utf8(s, msg);
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (!request || PyBytes_AsStringAndSize(request.get(), &bytes, &size) < 0 ||
        !read_timeout(timeout, core)) {
        return false;
    }
    state->future = OwnedRef::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr));
    if (!state->future) {
        return false;
    }
    int single = known_single(flag);
    int on_loop =
        single == 1 && !core.never_waits && kLoopMayWatch ? watch_on_loop(exchange, loop) : 0;
    if (on_loop < 0 || (on_loop == 0 && !watch_on_reader(s, module, exchange, loop))) {
        return false;
    }
    enlarge_receive_buffer(core.handle);
    datagram::Status sent =
        datagram::send(core.handle, bytes, static_cast<std::size_t>(size), error);
    if (raise_if_failed(sent, error)) {
        return false;
    }
    core.sent = true;
    if (single < 0) {
        single = equals(flag, s.zero);
        if (single < 0) {
            return false;
        }
    }
    core.multi = single == 0;
    if (on_loop == 0) {
        arm(core);
    }
    return true;
}

}  // namespace

bool async_init(BorrowedRef module) {
    ModuleState* state = state_to_fill(module);
    if (state == nullptr) {
        return false;
    }
    state->exchange_type = OwnedRef::steal(PyType_FromSpec(&exchange_spec));
    state->notifier_type =
        state->exchange_type ? OwnedRef::steal(PyType_FromSpec(&notifier_spec)) : OwnedRef();
    // The interpreter's own, which the proactor reads with WSARecv, whatever `socket` the
    // module is given later. Imported now: a method's globals have no builtins to import with.
    OwnedRef socket_module =
        state->notifier_type ? OwnedRef::steal(PyImport_ImportModule("socket")) : OwnedRef();
    state->socket_class = socket_module ? attribute(socket_module, "socket") : OwnedRef();
    reactor::on_fork(forget_the_parents_reader);
    return static_cast<bool>(state->socket_class);
}

PyObject* async_begin(PyObject* module, PyObject* args) {
    const ModuleState* state = state_of(module);
    PyObject *msg, *flag, *loop, *timeout;
    if (state == nullptr || !PyArg_UnpackTuple(args, "begin", 4, 4, &msg, &flag, &loop, &timeout)) {
        return nullptr;
    }
    // Owned for the call: the exchange runs Python code (encode, ==).
    OwnedRef held_args = OwnedRef::share(args);
    OwnedRef exchange = make_object<ExchangeObject, ExchangeState>(state->exchange_type);
    if (!exchange) {
        return nullptr;
    }
    ExchangeState* made = exchange_state(exchange);
    made->module = OwnedRef::share(module);
    int error = 0;
    datagram::Status opened = datagram::open_client(made->core->handle, error);
    if (raise_if_failed(opened, error)) {
        made->ended = true;  // nothing to close
        return nullptr;
    }
    made->core->open = true;
    if (!start(*state, module, exchange, msg, flag, loop, timeout)) {
        SavedError failure;
        end_exchange(exchange, true);
        return nullptr;
    }
    return PyTuple_Pack(2, made->future.get(), exchange.get());
}

PyObject* async_end(PyObject* module, PyObject* exchange) {
    const ModuleState* state = state_of(module);
    if (state == nullptr) {
        return nullptr;
    }
    if (Py_TYPE(exchange) != reinterpret_cast<PyTypeObject*>(state->exchange_type.get())) {
        PyErr_SetString(PyExc_TypeError, "end() takes an exchange that begin() made");
        return nullptr;
    }
    end_exchange(exchange, true);
    return none().release();
}

}  // namespace velkarcmd
