// Conversion of core errors into Python exceptions.

#include "python/errors.h"

#include <string>

namespace quillmere::python {
namespace {

// The Python class of an I/O error of this kind.
PyObject* io_class(IoKind kind) {
  switch (kind) {
    case IoKind::NotFound: return PyExc_FileNotFoundError;
    case IoKind::PermissionDenied: return PyExc_PermissionError;
    case IoKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
    case IoKind::ConnectionReset: return PyExc_ConnectionResetError;
    case IoKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
    case IoKind::BrokenPipe: return PyExc_BrokenPipeError;
    case IoKind::AlreadyExists: return PyExc_FileExistsError;
    case IoKind::WouldBlock: return PyExc_BlockingIOError;
    case IoKind::NotADirectory: return PyExc_NotADirectoryError;
    case IoKind::IsADirectory: return PyExc_IsADirectoryError;
    case IoKind::TimedOut: return PyExc_TimeoutError;
    case IoKind::Interrupted: return PyExc_InterruptedError;
    case IoKind::OutOfMemory: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

PyObject* error_class(const Error& error) {
  switch (error.variant()) {
    case Error::Variant::Io: return io_class(error.kind());
    case Error::Variant::Invalid: return PyExc_ValueError;
    case Error::Variant::Lost: return PyExc_RuntimeError;
  }
  return PyExc_RuntimeError;
}

}  // namespace

Ref to_python(Error error) {
  const std::string text = error.text();
  // Texts carry paths, which may hold any bytes; decode them the way os does.
  Ref message = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(text.data(), Py_ssize_t(text.size())));
  if (!message) return {};
  // One argument, so errno, strerror and filename of an OSError stay None.
  return Ref::steal(PyObject_CallOneArg(error_class(error), message.get()));
}

std::nullptr_t raise(Error error) {
  Ref exc = to_python(std::move(error));
  if (exc) PyErr_SetRaisedException(exc.release());
  return nullptr;
}

Ref type_name(PyObject* o) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(o)));
  if (name) name = Ref::steal(PyObject_Str(name.get()));
  if (!name) {
    PyErr_Clear();
    name = Ref::steal(PyUnicode_FromString("?"));
  }
  return name;
}

void add_processing_note(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", name));
  Ref done;
  if (note) done = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
  // Failing to attach the note must not hide the error it was meant for.
  if (!done) PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

std::nullptr_t raise_message(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  return nullptr;
}

bool check_arguments(Py_ssize_t nargs, Py_ssize_t want, const char* name) {
  if (nargs == want) return true;
  PyErr_Format(PyExc_TypeError, "%s takes %zd argument%s (%zd given)", name, want,
               want == 1 ? "" : "s", nargs);
  return false;
}

}  // namespace quillmere::python
