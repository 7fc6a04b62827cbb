// Reference handles: every PyObject* the module touches is held by one of these,
// so that who owns a reference is visible in its type and every exit path
// releases what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include <utility>

namespace velkarcmd {

// A reference somebody else keeps alive for as long as we look at it.
class BorrowedRef {
  public:
    constexpr BorrowedRef() noexcept = default;
    constexpr BorrowedRef(PyObject* object) noexcept : object_(object) {}

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    bool is(BorrowedRef other) const noexcept { return object_ == other.object_; }

  private:
    PyObject* object_ = nullptr;
};

// A reference we own: released when the handle goes away.
class OwnedRef {
  public:
    constexpr OwnedRef() noexcept = default;
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        OwnedRef doomed(std::move(*this));
        object_ = other.release();
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    // Takes over a new reference, typically a C API result (null means an error is set).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }
    // Takes a reference of our own to something borrowed.
    static OwnedRef share(BorrowedRef object) noexcept {
        Py_XINCREF(object.get());
        return OwnedRef(object.get());
    }

    PyObject* get() const noexcept { return object_; }
    BorrowedRef borrow() const noexcept { return BorrowedRef(object_); }
    operator BorrowedRef() const noexcept { return BorrowedRef(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to a caller that steals it (a C API return value).
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset() noexcept { OwnedRef doomed(std::move(*this)); }

  private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A reference kept by an object that a thread of ours may destroy without the interpreter lock:
// released only by `take`, with the lock held, never by the destructor, which leaves it (a
// reference leaked is safe; one released without the lock is not).
class DetachedRef {
  public:
    DetachedRef() noexcept = default;
    explicit DetachedRef(OwnedRef owned) noexcept : object_(owned.release()) {}
    DetachedRef(const DetachedRef&) = delete;
    DetachedRef& operator=(const DetachedRef&) = delete;
    DetachedRef(DetachedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    // Fills an empty handle: one that held a reference would leak it.
    DetachedRef& operator=(DetachedRef&& other) noexcept {
        object_ = std::exchange(other.object_, nullptr);
        return *this;
    }

    explicit operator bool() const noexcept { return object_ != nullptr; }
    // A reference of our own, for a call that may run Python code. With the lock.
    OwnedRef share() const noexcept { return OwnedRef::share(object_); }
    // Hands the reference over, to be released as an OwnedRef. With the lock.
    OwnedRef take() noexcept { return OwnedRef::steal(std::exchange(object_, nullptr)); }

  private:
    PyObject* object_ = nullptr;
};

// The C API's return convention for "no error, value None".
inline OwnedRef none() {
    return OwnedRef::share(Py_None);
}

inline OwnedRef str_from(const char* utf8) {
    return OwnedRef::steal(PyUnicode_FromString(utf8));
}

inline OwnedRef interned(const char* name) {
    return OwnedRef::steal(PyUnicode_InternFromString(name));
}

inline bool is_exact_str(BorrowedRef object) {
    return PyUnicode_CheckExact(object.get());
}

// `object.name`; null with an error set.
inline OwnedRef attribute(BorrowedRef object, const char* name) {
    return OwnedRef::steal(PyObject_GetAttrString(object.get(), name));
}

// `object.name = value`; false with an error set.
inline bool set_attribute(BorrowedRef object, const char* name, BorrowedRef value) {
    return PyObject_SetAttrString(object.get(), name, value.get()) == 0;
}

// A builtin function's arguments, up to N: the tuple is owned for the whole call, so that the
// items it lends stay alive while the call runs Python code or waits with the lock released.
template <std::size_t N>
class Arguments {
  public:
    // False with TypeError set unless `args` is a tuple of exactly `count` items.
    bool take(PyObject* args, const char* name, std::size_t count = N) {
        Py_ssize_t given = PyTuple_Size(args);
        if (given < 0) {
            return false;
        }
        if (given != static_cast<Py_ssize_t>(count) || count > N) {
            PyErr_Format(PyExc_TypeError, "%s() takes %d arguments (%zd given)", name,
                         static_cast<int>(count), given);
            return false;
        }
        tuple_ = OwnedRef::share(args);
        for (std::size_t i = 0; i < count; ++i) {
            values_[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
        }
        return true;
    }
    BorrowedRef operator[](std::size_t index) const { return values_[index]; }
    // The items from `index` on, in order.
    const BorrowedRef* from(std::size_t index) const { return values_ + index; }

  private:
    OwnedRef tuple_;
    BorrowedRef values_[N];
};

}  // namespace velkarcmd
