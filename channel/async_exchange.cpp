// The awaitable exchange's object, one per call: the request goes out on the event loop's
// thread; the reply is read by the loop itself where it can watch the socket (a single reply),
// else by the reader thread (reader.cpp), which tells the loop through its notifier
// (loop_notifier.cpp). What the loop will call holds the exchange while the call waits.
#include "async_exchange.hpp"

#include <chrono>
#include <memory>

#include "../support/saved_error.hpp"
#include "../support/text.hpp"
#include "loop_notifier.hpp"
#include "loop_objects.hpp"
#include "reader.hpp"

namespace velkarcmd {

namespace {

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

ExchangeState* exchange_state(BorrowedRef exchange) {
    return state_of_object<ExchangeState>(exchange);
}

// The reply text, or null with its error set.
OwnedRef reply_text(const ModuleState& s, const Core& core) {
    if (core.outcome != Received::complete) {
        raise_reply_failure(s, core.outcome, core.gathered, core.last, core.error);
        return {};
    }
    if (core.multi) {
        return decode_without_outer_line_feeds(core.gathered);  // each one valid
    }
    OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(
        core.gathered.data(), static_cast<Py_ssize_t>(core.gathered.size()), "strict"));
    return text ? strip_chars(s, text, s.line_feed) : OwnedRef();
}

// Gives `future` the exception under way.
PyObject* set_error(BorrowedRef future) {
    OwnedRef error = take_error();
    if (!error) {
        return nullptr;
    }
    return PyObject_CallMethod(future.get(), "set_exception", "O", error.get());
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

// `exchange._readable()`: the loop saw the socket of a single reply readable.
PyObject* exchange_readable(PyObject* self, PyObject*) {
    ExchangeState* state = exchange_state(self);
    if (state == nullptr || state->ended) {
        return none().release();
    }
    Core& core = *state->core;
    int error = 0;
    Received received = receive_onto(core.handle, core.gathered, core.last, false, error);
    if (received == Received::would_block || received == Received::interrupted) {
        return none().release();  // nothing after all: the loop keeps watching
    }
    conclude(core, received, error);
    return settle_exchange(self);
}

// `exchange._expired()`: no datagram within the time-out.
PyObject* exchange_expired(PyObject* self, PyObject*) {
    ExchangeState* state = exchange_state(self);
    if (state == nullptr || state->ended) {
        return none().release();
    }
    conclude(*state->core, Received::timed_out);
    return settle_exchange(self);
}

PyMethodDef exchange_methods[] = {
    {"_readable", exchange_readable, METH_NOARGS, nullptr},
    {"_expired", exchange_expired, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Spec exchange_spec = loop_object_spec<ExchangeState>(
    "velkarcmd_async.Exchange", loop_object_slots<ExchangeState, end_exchange, exchange_traverse,
                                                  exchange_clear, exchange_methods>);

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
    notifier_hold(notifier, exchange, state->core);
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

// Everything is taken out of the
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
    leave_table(state->core, state->in_table);
    if (notifier) {
        notifier_forget(notifier, &core, python);
    }
}

PyObject* settle_exchange(BorrowedRef exchange) {
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

OwnedRef future_of(BorrowedRef exchange) {
    return OwnedRef::share(exchange_state(exchange)->future);
}

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
    OwnedRef exchange = make_object<ExchangeState>(state->exchange_type);
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
