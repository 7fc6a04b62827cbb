// A lock for what the interpreter's threads share in the module. Where the interpreter lock
// exists, holding it already keeps the others out, and this lock is nothing; a free-threaded
// interpreter has none, and this is its PyMutex, which lets the thread detach while it waits.
// Never held across a call that can run Python code.
#pragma once

#include "ref.hpp"

namespace velkarcmd {

class ThreadLock {
  public:
#ifdef Py_GIL_DISABLED
    void lock() { PyMutex_Lock(&mutex_); }
    void unlock() { PyMutex_Unlock(&mutex_); }

  private:
    PyMutex mutex_ = {};
#else
    void lock() {}
    void unlock() {}
#endif
};

class ThreadLocked {
  public:
    explicit ThreadLocked(ThreadLock& lock) : lock_(lock) { lock_.lock(); }
    ThreadLocked(const ThreadLocked&) = delete;
    ThreadLocked& operator=(const ThreadLocked&) = delete;
    ~ThreadLocked() { lock_.unlock(); }

  private:
    ThreadLock& lock_;
};

}  // namespace velkarcmd
