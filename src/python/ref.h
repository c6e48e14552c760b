// Small owners for the Python layer: a strong reference (Ref) and a stretch
// of time detached from the interpreter (Detached), so that every early
// return releases what it holds.
//
// A Ref may be made, assigned and destroyed only while the thread is
// attached; declare Refs before a Detached guard so they outlive it.

#pragma once

#include <Python.h>

#include <utility>

namespace quillmere::python {

class Ref {
 public:
  Ref() = default;
  // `o` is a new reference (or nullptr after a failed call).
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // `o` is borrowed; the Ref takes a reference of its own.
  static Ref borrow(PyObject* o) noexcept { return Ref(Py_XNewRef(o)); }

  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller (to return it to CPython).
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit Ref(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// While one is alive the thread is detached from the interpreter: other
// Python threads run, and no Python object may be touched.
class Detached {
 public:
  Detached() noexcept : state_(PyEval_SaveThread()) {}
  ~Detached() { PyEval_RestoreThread(state_); }
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace quillmere::python
