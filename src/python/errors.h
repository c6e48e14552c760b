// Turning the core's Error values, and C++ exceptions, into Python exceptions.
//
// Every slot and method body runs inside `boundary`, so no C++ exception ever
// reaches the interpreter: std::bad_alloc becomes MemoryError. An Error is
// converted once, by to_python. Exceptions raised by user code (key, codec,
// write, signal handlers) pass through untouched: the caller just returns
// its error value.

#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>

#include "base/error.h"
#include "python/ref.h"

namespace quillmere::python {

// The exception that `error` stands for, made but not raised; nullptr (with
// an exception set) if even that fails.
Ref to_python(Error error);

// Raises the exception of `error`. Returns nullptr, for `return raise(e);`.
std::nullptr_t raise(Error error);

// The short name of o's type, "?" when it cannot be had.
Ref type_name(PyObject* o);

// Adds the note "while processing 'NAME'" to the exception being raised.
void add_processing_note(const char* name);

// Sets the current exception; returns nullptr for `return`.
std::nullptr_t raise_message(PyObject* type, const char* message);

// Whether a function `name` of `want` positional arguments was given that
// many; TypeError set when not.
bool check_arguments(Py_ssize_t nargs, Py_ssize_t want, const char* name);

// Runs a slot or method body, turning an escaping C++ exception into a Python
// one and returning the body's error value (nullptr or -1) in its place.
template <class F>
auto boundary(F&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R(-1);
  }
}

}  // namespace quillmere::python
