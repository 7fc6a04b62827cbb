#include "exchange.hpp"

#include "../support/constants.hpp"
#include "../support/saved_error.hpp"
#include "../support/text.hpp"
#include "drain.hpp"

namespace velkarcmd {

namespace {

OwnedRef get_attribute(BorrowedRef object, BorrowedRef name) {
    return OwnedRef::steal(PyObject_GetAttr(object.get(), name.get()));
}

OwnedRef lookup_in(PyObject* names, BorrowedRef key) {
    if (PyDict_Check(names)) {
        PyObject* found = PyDict_GetItemWithError(names, key.get());
        return OwnedRef::share(found);
    }
    OwnedRef found = OwnedRef::steal(PyObject_GetItem(names, key.get()));
    if (!found && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
    }
    return found;
}

// The global name `socket` as the exchange's own code sees it: its module's namespace first,
// then the builtins. Looked up at every use, so a later rebinding takes effect.
OwnedRef lookup_socket_module(const FunctionObject& function) {
    BorrowedRef name = constants().socket;
    if (BorrowedRef globals = function_globals(function)) {
        OwnedRef found = lookup_in(globals.get(), name);
        if (found || PyErr_Occurred()) {
            return found;
        }
    }
    if (PyObject* builtins = PyEval_GetBuiltins()) {
        OwnedRef found = lookup_in(builtins, name);
        if (found || PyErr_Occurred()) {
            return found;
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return {};
}

// `socket.socket(socket.AF_INET, socket.SOCK_DGRAM)`, reading `socket` anew for each of the three.
OwnedRef make_client(const FunctionObject& function) {
    const Constants& c = constants();
    OwnedRef module = lookup_socket_module(function);
    OwnedRef factory = module ? get_attribute(module, c.socket) : OwnedRef();
    if (!factory) {
        return {};
    }
    module = lookup_socket_module(function);
    OwnedRef family = module ? get_attribute(module, c.af_inet) : OwnedRef();
    if (!family) {
        return {};
    }
    module = lookup_socket_module(function);
    OwnedRef kind = module ? get_attribute(module, c.sock_dgram) : OwnedRef();
    if (!kind) {
        return {};
    }
    return call(factory, {family, kind});
}

// `msg.encode("utf-8")`; an exact str is encoded directly, with the same strict errors.
OwnedRef encode_utf8(BorrowedRef msg) {
    if (is_exact_str(msg)) {
        return OwnedRef::steal(PyUnicode_AsUTF8String(msg.get()));
    }
    return call_method(msg, constants().encode, {constants().utf8});
}

// `client.recv(4096).decode("utf-8")`.
OwnedRef receive_text(BorrowedRef client) {
    const Constants& c = constants();
    OwnedRef data = call_method(client, c.recv, {c.buffer_size});
    if (!data) {
        return {};
    }
    if (PyBytes_CheckExact(data.get())) {
        return OwnedRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.get()),
                                                    PyBytes_GET_SIZE(data.get()), "strict"));
    }
    return call_method(data, c.decode, {c.utf8});
}

// Everything after the socket exists: connect, send, read the reply.
OwnedRef converse(BorrowedRef client, BorrowedRef msg, BorrowedRef flag) {
    const Constants& c = constants();
    if (!call_method(client, c.connect, {c.endpoint})) {
        return {};
    }
    OwnedRef request = encode_utf8(msg);
    if (!request) {
        return {};
    }
    datagram::Handle handle = 0;
    bool native = native_handle(client, handle);
    if (native) {
        enlarge_receive_buffer(handle);
    }
    if (!call_method(client, c.send, {request})) {
        return {};
    }
    OwnedRef rcv_msg = OwnedRef::share(c.empty);
    Truth single_reply = equals(flag, c.zero);
    if (single_reply < 0) {
        return {};
    }
    if (single_reply) {
        rcv_msg = receive_text(client);
    } else if (native) {
        rcv_msg = drain_multi_reply(client, handle);
    } else {
        // Datagrams are gathered and joined once: linear in the size of the answer.
        TextBuilder gathered(rcv_msg);
        OwnedRef response = OwnedRef::share(c.empty);
        for (;;) {
            Truth more = differs(response, c.over);
            if (more < 0) {
                return {};
            }
            if (!more) {
                break;
            }
            response = receive_text(client);
            if (!response || !gathered.add(response) || !gathered.add(c.line_feed)) {
                return {};
            }
        }
        rcv_msg = gathered.finish();
    }
    if (!rcv_msg) {
        return {};
    }
    return strip_chars(rcv_msg, c.line_feed);
}

// A socket of the interpreter's own type is closed here rather than left to the collector,
// which would warn that it was never closed. Other objects (stand-ins) are only dropped.
// An error already under way stays the one that propagates.
OwnedRef finish_with(OwnedRef client, OwnedRef reply) {
    auto* socket_type = reinterpret_cast<PyTypeObject*>(constants().socket_base_type.get());
    if (!PyObject_TypeCheck(client.get(), socket_type)) {
        return reply;
    }
    if (!reply) {
        SavedError pending;
        call_method(client, constants().close, {});
        return reply;
    }
    if (!call_method(client, constants().close, {})) {
        return {};
    }
    return reply;
}

}  // namespace

OwnedRef send_msg(const FunctionObject& function, const BoundArguments& arguments) {
    OwnedRef client = make_client(function);
    if (!client) {
        return {};
    }
    OwnedRef reply = converse(client, arguments[1], arguments[2]);
    return finish_with(std::move(client), std::move(reply));
}

OwnedRef send_through(BorrowedRef self, BorrowedRef text, ReplyMode mode) {
    const Constants& c = constants();
    return call_method(self, c.send_msg_attribute,
                       {text, mode == ReplyMode::single ? c.zero : c.one});
}

}  // namespace velkarcmd
