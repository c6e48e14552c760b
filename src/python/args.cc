// Argument binding.

#include "python/args.h"

namespace quillmere::python {
namespace {

const char* plural(std::size_t n) { return n == 1 ? "" : "s"; }

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  if (sig.max_positional == 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", sig.function);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zd given)",
                 sig.function, sig.required == sig.max_positional ? "exactly" : "at most",
                 sig.max_positional, plural(sig.max_positional), given);
  }
  return false;
}

// Binds one keyword argument after the positional ones.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  for (std::size_t i = 0; i < sig.names.size(); ++i) {
    if (!PyUnicode_EqualToUTF8(name, sig.names[i])) continue;
    if (i < sig.positional_only) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got some positional-only arguments passed as keyword arguments: '%U'",
                   sig.function, name);
      return false;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.function,
                   name);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function,
               name);
  return false;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  if (static_cast<std::size_t>(nargs) > sig.max_positional) return too_many_positional(sig, nargs);
  for (std::size_t i = 0; i < sig.names.size(); ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

bool check_required(const Signature& sig, PyObject** out) {
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] != nullptr) continue;
    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.function,
                 sig.names[i], i + 1);
    return false;
  }
  return true;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out) {
  if (!bind_positional(sig, args, nargs, out)) return false;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
  }
  return check_required(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  if (!bind_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) {
    return false;
  }
  if (kwargs != nullptr) {
    // The keyword dict is made afresh for this call and reached by no other
    // thread, so its borrowed values stay alive for the call.
    bool ok = true;
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    Py_ssize_t pos = 0;
    PyObject* name;
    PyObject* value;
    while (ok && PyDict_Next(kwargs, &pos, &name, &value)) ok = bind_keyword(sig, name, value, out);
    Py_END_CRITICAL_SECTION();
    if (!ok) return false;
  }
  return check_required(sig, out);
}

}  // namespace quillmere::python
