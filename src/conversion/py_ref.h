// An owned reference to a Python object.

#ifndef MOXAL_CONVERSION_PY_REF_H_
#define MOXAL_CONVERSION_PY_REF_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "conversion/interpreter_lock.h"

namespace moxal {

// Drops the last reference to `o` (a finalizer may run Python code, during
// which the interpreter may end the thread: it is parked there instead).
void DropLastRef(PyObject* o);

// Py_XDECREF for destructors: only the last reference can run code.
inline void DropRef(PyObject* o) {
  if (o == nullptr) return;
  if (Py_REFCNT(o) > 1) {
    Py_DECREF(o);
  } else {
    DropLastRef(o);
  }
}

// Owns one strong reference (or none) and drops it when destroyed.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (which may be null).
  static PyRef Steal(PyObject* o) { return PyRef(o); }
  // Adds a reference to a borrowed one.
  static PyRef Borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : o_(std::exchange(o.o_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      PyObject* old = o_;
      o_ = std::exchange(o.o_, nullptr);
      DropRef(old);
    }
    return *this;
  }
  ~PyRef() { DropRef(o_); }

  PyObject* get() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }
  // Gives up ownership; the caller now holds the reference.
  PyObject* release() { return std::exchange(o_, nullptr); }

 private:
  explicit PyRef(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

}  // namespace moxal

#endif  // MOXAL_CONVERSION_PY_REF_H_
