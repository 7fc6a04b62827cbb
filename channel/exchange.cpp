#include "exchange.hpp"

#include "../support/saved_error.hpp"
#include "../support/text.hpp"
#include "drain.hpp"

namespace velkarcmd {

namespace {

OwnedRef get_attribute(BorrowedRef object, BorrowedRef name) {
    return OwnedRef::steal(PyObject_GetAttr(object.get(), name.get()));
}

OwnedRef lookup_in(BorrowedRef names, BorrowedRef key) {
    if (PyDict_Check(names.get())) {
#ifdef Py_GIL_DISABLED
        // Owned at once: without the interpreter lock another thread may rebind the name and
        // free the value between a borrowed look-up and our reference to it. With the lock,
        // nothing runs between the two.
        PyObject* found = nullptr;
        PyDict_GetItemRef(names.get(), key.get(), &found);
        return OwnedRef::steal(found);
#else
        return OwnedRef::share(PyDict_GetItemWithError(names.get(), key.get()));
#endif
    }
    OwnedRef found = OwnedRef::steal(PyObject_GetItem(names.get(), key.get()));
    if (!found && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
    }
    return found;
}

// The global name `socket` as the exchange's own code sees it: its module's namespace first,
// then the builtins. Looked up at every use, so a later rebinding takes effect.
OwnedRef lookup_socket_module(const ModuleState& s) {
    BorrowedRef name = s.socket;
    OwnedRef globals = OwnedRef::share(s.globals);
    for (BorrowedRef names : {globals.borrow(), s.builtins.borrow()}) {
        if (!names) {
            continue;
        }
        OwnedRef found = lookup_in(names, name);
        if (found || PyErr_Occurred()) {
            return found;
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return {};
}

// `socket.socket(socket.AF_INET, socket.SOCK_DGRAM)`, reading `socket` anew for each of the three.
OwnedRef make_client(const ModuleState& s) {
    OwnedRef module = lookup_socket_module(s);
    OwnedRef factory = module ? get_attribute(module, s.socket) : OwnedRef();
    if (!factory) {
        return {};
    }
    module = lookup_socket_module(s);
    OwnedRef family = module ? get_attribute(module, s.af_inet) : OwnedRef();
    if (!family) {
        return {};
    }
    module = lookup_socket_module(s);
    OwnedRef kind = module ? get_attribute(module, s.sock_dgram) : OwnedRef();
    if (!kind) {
        return {};
    }
    return call(factory, {family, kind});
}

// `client.recvmsg(4096)`'s datagram, or OSError when it was longer and the system cut it: the
// interpreter's own socket, whose recvmsg waits, times out and takes signals as its recv does,
// fails as Windows' recv fails there.
OwnedRef receive_whole(const ModuleState& s, BorrowedRef client) {
    OwnedRef message = call_method(client, s.recvmsg, {s.buffer_size});
    if (!message) {
        return {};
    }
    // (data, ancdata, msg_flags, address)
    OwnedRef data = OwnedRef::share(PyTuple_GetItem(message.get(), 0));
    long flags = data ? PyLong_AsLong(PyTuple_GetItem(message.get(), 2)) : -1;
    if (flags == -1 && PyErr_Occurred()) {
        return {};
    }
    if (flags & datagram::truncation_flag()) {
        datagram::raise_too_long();
        return {};
    }
    return data;
}

// `client.recv(4096).decode("utf-8")`. A signal that arrived since the interpreter last looked
// has its handler run first: the receive may wait for a long time, or for ever. `native`: the
// interpreter's own socket, where a datagram too long fails on every system.
OwnedRef receive_text(const ModuleState& s, BorrowedRef client, bool native) {
    if (PyErr_CheckSignals() < 0) {
        return {};
    }
    OwnedRef data = native && datagram::truncation_flag() != 0
                        ? receive_whole(s, client)
                        : call_method(client, s.recv, {s.buffer_size});
    if (!data) {
        return {};
    }
    if (PyBytes_CheckExact(data.get())) {
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(data.get(), &bytes, &size) < 0) {
            return {};
        }
        return OwnedRef::steal(PyUnicode_DecodeUTF8(bytes, size, "strict"));
    }
    return call_method(data, s.decode, {s.utf8});
}

// `rcv_msg = rcv_msg + piece`, repeated: while every piece is an exact str they are collected
// and joined once at the end; the first other piece hands the sum to the interpreter's `+`.
class ReplyText {
  public:
    ReplyText(const ModuleState& s, BorrowedRef start)
        : state_(s), pieces_(OwnedRef::steal(PyList_New(0))) {
        if (pieces_ && PyList_Append(pieces_.get(), start.get()) < 0) {
            pieces_.reset();
        }
    }
    bool add(BorrowedRef piece) {
        if (sum_) {
            sum_ = OwnedRef::steal(PyNumber_Add(sum_.get(), piece.get()));
            return static_cast<bool>(sum_);
        }
        if (!pieces_) {
            return false;
        }
        if (is_exact_str(piece)) {
            return PyList_Append(pieces_.get(), piece.get()) == 0;
        }
        sum_ = joined();
        return sum_ && add(piece);
    }
    OwnedRef finish() { return sum_ ? std::move(sum_) : joined(); }

  private:
    OwnedRef joined() {
        return pieces_ ? OwnedRef::steal(PyUnicode_Join(state_.empty.get(), pieces_.get()))
                       : OwnedRef();
    }
    const ModuleState& state_;
    OwnedRef pieces_;  // exact str
    OwnedRef sum_;     // once the interpreter's `+` has taken over
};

// How far an exchange got, for its socket's end: a request answered in part is not closed.
struct Progress {
    bool sent = false;
    bool multi = false;
    bool over = false;  // the answer has all arrived (or never will)
};

// Everything after the socket exists: connect, send, read the reply.
OwnedRef converse(const ModuleState& s, BorrowedRef client, BorrowedRef msg, BorrowedRef flag,
                  Progress& progress) {
    if (!call_method(client, s.connect, {s.endpoint})) {
        return {};
    }
    OwnedRef request = encode_utf8(s, msg);
    if (!request) {
        return {};
    }
    datagram::Handle handle = 0;
    bool native = native_handle(s, client, handle);
    if (native) {
        enlarge_receive_buffer(handle);
    }
    if (!call_method(client, s.send, {request})) {
        return {};
    }
    progress.sent = true;
    OwnedRef rcv_msg = OwnedRef::share(s.empty);
    Truth single_reply = equals(flag, s.zero);
    if (single_reply < 0) {
        return {};
    }
    progress.multi = !single_reply;
    if (single_reply) {
        rcv_msg = receive_text(s, client, native);
    } else if (native) {
        rcv_msg = drain_multi_reply(s, client, handle);
    } else {
        // Datagrams are gathered and joined once: linear in the size of the answer.
        ReplyText gathered(s, rcv_msg);
        OwnedRef response = OwnedRef::share(s.empty);
        for (;;) {
            Truth more = differs(response, s.over);
            if (more < 0) {
                return {};
            }
            if (!more) {
                break;
            }
            response = receive_text(s, client, false);
            if (!response || !gathered.add(response) || !gathered.add(s.line_feed)) {
                return {};
            }
        }
        rcv_msg = gathered.finish();
    }
    progress.over = static_cast<bool>(rcv_msg);
    if (!rcv_msg) {
        return {};
    }
    return strip_chars(s, rcv_msg, s.line_feed);
}

// Whether the error under way may leave an answer still coming: anything but a refusal (a
// time-out, a signal handler's exception, a datagram that is not UTF-8 or too long).
bool answer_may_follow() {
    return !PyErr_ExceptionMatches(PyExc_ConnectionError);
}

// The socket is the module's now, kept until its answer is over; false if it could not be had.
// Its type's own C method lets the descriptor go: no Python code runs, where a signal handler
// could raise half-way.
bool abandon(const ModuleState& s, BorrowedRef client, const Progress& progress) {
    OwnedRef descriptor = call(s.genuine_detach, {client});
    if (!descriptor) {
        return false;
    }
    unsigned long long handle = PyLong_AsUnsignedLongLong(descriptor.get());
    if (PyErr_Occurred()) {
        return false;
    }
    s.abandoned.keep(static_cast<datagram::Handle>(handle), progress.multi);
    return true;
}

// A socket of the interpreter's own type is closed here, by that type's own C method, rather
// than left to the collector, which would warn that it was never closed: what its release
// does, without the warning. Other objects (stand-ins) are only dropped, and no method of
// theirs is called. An error already under way stays the one that propagates.
OwnedRef finish_with(const ModuleState& s, OwnedRef client, OwnedRef reply,
                     const Progress& progress) {
    auto* socket_type = reinterpret_cast<PyTypeObject*>(s.genuine_socket_type.get());
    if (socket_type == nullptr || !PyObject_TypeCheck(client.get(), socket_type)) {
        return reply;
    }
    if (!reply) {
        bool keep = progress.sent && !progress.over && answer_may_follow();
        SavedError pending;
        if (!keep || !abandon(s, client, progress)) {
            call(s.genuine_close, {client});
        }
        return reply;
    }
    if (!call(s.genuine_close, {client})) {
        return {};
    }
    return reply;
}

// A C method of `type` itself: a method descriptor (only C code makes those) whose owner is
// `type`. Null, with no error set, for anything else.
OwnedRef own_c_method(const ModuleState& state, BorrowedRef type, const char* name,
                      BorrowedRef method_descriptor_type) {
    OwnedRef method = attribute(type, name);
    if (!method) {
        PyErr_Clear();
        return {};
    }
    OwnedRef owner = OwnedRef::steal(PyObject_GetAttr(method.get(), state.objclass.get()));
    if (!owner) {
        PyErr_Clear();
        return {};
    }
    bool genuine =
        reinterpret_cast<PyObject*>(Py_TYPE(method.get())) == method_descriptor_type.get() &&
        owner.get() == type.get();
    return genuine ? std::move(method) : OwnedRef();
}

}  // namespace

bool find_genuine_socket(ModuleState& state) {
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule("_socket"));
    OwnedRef type = module ? attribute(module, "socket") : OwnedRef();
    OwnedRef timeout = module ? attribute(module, "timeout") : OwnedRef();
    // `str.join` is a method descriptor on every version.
    OwnedRef join = attribute(reinterpret_cast<PyObject*>(&PyUnicode_Type), "join");
    if (!join) {
        return false;
    }
    PyErr_Clear();
    if (!type || !timeout || !PyType_Check(type.get())) {
        return true;
    }
    BorrowedRef descriptor_type = reinterpret_cast<PyObject*>(Py_TYPE(join.get()));
    OwnedRef recv = own_c_method(state, type, "recv", descriptor_type);
    OwnedRef fileno = own_c_method(state, type, "fileno", descriptor_type);
    OwnedRef gettimeout = own_c_method(state, type, "gettimeout", descriptor_type);
    OwnedRef close = own_c_method(state, type, "close", descriptor_type);
    OwnedRef detach = own_c_method(state, type, "detach", descriptor_type);
    if (!recv || !fileno || !gettimeout || !close || !detach) {
        return true;
    }
    state.genuine_socket_type = std::move(type);
    state.genuine_recv = std::move(recv);
    state.genuine_fileno = std::move(fileno);
    state.genuine_gettimeout = std::move(gettimeout);
    state.genuine_close = std::move(close);
    state.genuine_detach = std::move(detach);
    state.socket_timeout = std::move(timeout);
    return true;
}

PyObject* send_msg(PyObject* module, PyObject* args) {
    const ModuleState* state = state_of(module);
    Arguments<3> arguments;
    if (state == nullptr || !arguments.take(args, "__SendMsg")) {
        return nullptr;
    }
    // Before this call's socket is made: a socket whose answer is over gives its port back.
    state->abandoned.drain();
    OwnedRef client = make_client(*state);
    if (!client) {
        return nullptr;
    }
    Progress progress;
    OwnedRef reply = converse(*state, client, arguments[1], arguments[2], progress);
    return finish_with(*state, std::move(client), std::move(reply), progress).release();
}

OwnedRef send_through(const ModuleState& s, BorrowedRef self, BorrowedRef text, ReplyMode mode) {
    return call_method(self, s.send_msg_attribute,
                       {text, mode == ReplyMode::single ? s.zero : s.one});
}

}  // namespace velkarcmd
