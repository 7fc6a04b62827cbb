#include "loop_notifier.hpp"

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "../support/saved_error.hpp"
#include "../support/text.hpp"
#include "../support/thread_lock.hpp"
#include "loop_objects.hpp"

namespace velkarcmd {

namespace {

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

NotifierState* notifier_state(BorrowedRef notifier) {
    return state_of_object<NotifierState>(notifier);
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
        if (!OwnedRef::steal(settle_exchange(exchange))) {
            first.keep();
        }
    }
    return first.result();
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
        OwnedRef future = future_of(exchange);
        end_exchange(exchange, true);
        if (future && error) {
            OwnedRef set = OwnedRef::steal(
                PyObject_CallMethod(future.get(), "set_exception", "O", error.get()));
            PyErr_Clear();
        }
    }
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

PyMethodDef notifier_methods[] = {
    {"_ready", notifier_ready, METH_NOARGS, nullptr},
    {"_received", notifier_received, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyType_Spec notifier_spec = loop_object_spec<NotifierState>(
    "velkarcmd_async.LoopNotifier",
    loop_object_slots<NotifierState, close_notifier, notifier_traverse, notifier_clear,
                      notifier_methods>);

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
    OwnedRef notifier = make_object<NotifierState>(s.notifier_type);
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

void notifier_hold(BorrowedRef notifier, BorrowedRef exchange, const CoreRef& core) {
    NotifierState* state = notifier_state(notifier);
    state->waiting.emplace(core.get(), OwnedRef::share(exchange));
    core->port = state->port;
}

void notifier_forget(BorrowedRef notifier, const Core* core, bool python) {
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

}  // namespace velkarcmd
