// What the awaitable exchange's two types share: the exchange object (async_exchange.cpp) and
// the loop's notifier (loop_notifier.cpp), each a GC-tracked object holding a state of its own,
// which the loop holds while it will call it.
#pragma once

#include <initializer_list>

#include "../support/ref.hpp"
#include "../support/state.hpp"
#include "datagram.hpp"

namespace velkarcmd {

// --- the exchange, as the notifier settles it (async_exchange.cpp) ---

// The exchange has its outcome: it ends, and its future gets the reply or the error unless it
// is settled (cancelled) already. A new reference to None, or null with an error set.
PyObject* settle_exchange(BorrowedRef exchange);

// Ends the exchange: the loop stops watching its socket (`python`: by a call), the reader
// forgets it, the socket is closed and its notifier lets it go. Safe to call more than once.
void end_exchange(BorrowedRef exchange, bool python);

// The future the exchange's call awaits; null once it has ended.
OwnedRef future_of(BorrowedRef exchange);

// --- shared by both types ---

// The exception under way as an object, with its traceback, for a future; the error is cleared.
inline OwnedRef take_error() {
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

inline OwnedRef handle_number(datagram::Handle handle) {
    return OwnedRef::steal(PyLong_FromUnsignedLongLong(handle));
}

inline PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "velkarcmd_async makes its exchanges itself");
    return nullptr;
}

// An object of one of the two types: the interpreter's header and a state of its own.
template <typename State>
struct LoopObject {
    PyObject base;
    State* state;
};

// The state of an object of one of the two types.
template <typename State>
State* state_of_object(BorrowedRef object) {
    return reinterpret_cast<LoopObject<State>*>(object.get())->state;
}

// An object of one of the two types, GC-tracked and holding a state of its own.
template <typename State>
OwnedRef make_object(BorrowedRef type) {
    OwnedRef made =
        OwnedRef::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type.get()), 0));
    if (made) {
        reinterpret_cast<LoopObject<State>*>(made.get())->state = new State;
    }
    return made;
}

// The types' tp_dealloc: `close` ends what the object holds without calling the loop, then the
// state and the object go, and the reference to the type that the allocation took.
template <typename State, void (*close)(BorrowedRef, bool)>
void dealloc_object(PyObject* self) {
    PyObject_GC_UnTrack(self);
    close(self, false);
    delete state_of_object<State>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// The slots of one of the two types: made by the module alone, GC-tracked, holding a state that
// `close` ends, with `methods` for the loop to call.
template <typename State, void (*close)(BorrowedRef, bool), traverseproc traverse, inquiry clear,
          PyMethodDef* methods>
inline PyType_Slot loop_object_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<State, close>)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

template <typename State>
PyType_Spec loop_object_spec(const char* name, PyType_Slot* slots) {
    return {name, static_cast<int>(sizeof(LoopObject<State>)), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
}

inline int visit_type(PyObject* self, visitproc visit, void* arg) {
    return visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg);
}

inline int visit_all(std::initializer_list<const OwnedRef*> members, visitproc visit, void* arg) {
    for (const OwnedRef* member : members) {
        if (*member) {
            if (int result = visit(member->get(), arg)) {
                return result;
            }
        }
    }
    return 0;
}

}  // namespace velkarcmd
