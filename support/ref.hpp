// Reference handles: every PyObject* the module touches is held by one of these,
// so that who owns a reference is visible in its type and every exit path
// releases what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

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

// A reference kept for the rest of the process and deliberately never released:
// the interpreter may already be gone when static destructors run.
class ProcessRef {
  public:
    constexpr ProcessRef() noexcept = default;
    ProcessRef(const ProcessRef&) = delete;
    ProcessRef& operator=(const ProcessRef&) = delete;

    void keep(OwnedRef object) noexcept { object_ = object.release(); }
    PyObject* get() const noexcept { return object_; }
    BorrowedRef borrow() const noexcept { return BorrowedRef(object_); }
    operator BorrowedRef() const noexcept { return BorrowedRef(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

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

}  // namespace velkarcmd
