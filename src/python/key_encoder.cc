// Key encoding of Python values.

#include "python/key_encoder.h"

#include <cstdint>
#include <span>
#include <vector>

#include "python/bytes_view.h"
#include "python/errors.h"
#include "python/ref.h"

namespace quillmere::python {
namespace {

bool refuse_kind(PyObject* key) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(key)));
  if (!name) return false;  // that error is raised instead
  PyErr_Format(PyExc_TypeError,
               "a sort key must be an int, float, str, bytes, None, or a tuple or list of "
               "them, not %U",
               name.get());
  return false;
}

bool refuse_depth() {
  PyErr_Format(PyExc_RecursionError, "a sort key is nested more than %u deep", kMaxKeyDepth);
  return false;
}

bool push_str(PyObject* key, key::Buffer& out) {
  Py_ssize_t size;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size)) {
    key::push_escaped(out, key::kTagStr, {reinterpret_cast<const std::byte*>(utf8),
                                          static_cast<std::size_t>(size)});
    return true;
  }
  // Lone surrogates have no strict UTF-8 form; their 3-byte forms keep
  // code-point order. str.encode of str itself, not of a subclass.
  PyErr_Clear();
  Ref encoded = Ref::steal(PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass"));
  if (!encoded) return false;
  if (!PyBytes_Check(encoded.get())) {
    Ref name = type_name(encoded.get());
    if (name) PyErr_Format(PyExc_TypeError, "str.encode must return bytes, not %U", name.get());
    return false;
  }
  key::push_escaped(out, key::kTagStr, bytes_of(encoded.get()));
  return true;
}

bool push_tuple(PyObject* tuple, key::Buffer& out, unsigned depth) {
  out.push_back(key::kTagTuple);
  if (depth == kMaxKeyDepth) return refuse_depth();
  // A tuple cannot change, and the caller's reference keeps its items alive.
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!encode_key(PyTuple_GET_ITEM(tuple, i), out, depth + 1)) return false;
  }
  out.push_back(key::kEnd);
  return true;
}

// The element at i if the list still has one there (a new reference), read
// under the list's critical section so another thread's change cannot tear
// it. Never past the current end, nor past `limit`.
Ref list_item(PyObject* list, Py_ssize_t i, Py_ssize_t limit) {
  Ref item;
  Py_BEGIN_CRITICAL_SECTION(list);
  if (i < std::min(PyList_GET_SIZE(list), limit)) item = Ref::borrow(PyList_GET_ITEM(list, i));
  Py_END_CRITICAL_SECTION();
  return item;
}

bool push_list(PyObject* list, key::Buffer& out, unsigned depth) {
  out.push_back(key::kTagList);
  if (depth == kMaxKeyDepth) return refuse_depth();
  // Encoding an element may run Python code that changes the list: read at
  // most its first length, and stop early if it shrinks.
  Py_ssize_t first_length;
  Py_BEGIN_CRITICAL_SECTION(list);
  first_length = PyList_GET_SIZE(list);
  Py_END_CRITICAL_SECTION();
  for (Py_ssize_t i = 0;; ++i) {
    Ref item = list_item(list, i, first_length);
    if (!item) break;
    if (!encode_key(item.get(), out, depth + 1)) return false;
  }
  out.push_back(key::kEnd);
  return true;
}

// Objects whose type has __index__, such as NumPy integers.
bool push_index(PyObject* key, key::Buffer& out) {
  Ref value = Ref::steal(PyNumber_Index(key));  // what operator.index does
  if (!value) return false;
  if (!PyLong_Check(value.get())) {
    Ref name = type_name(value.get());
    if (name) PyErr_Format(PyExc_TypeError, "__index__ must return an int, not %U", name.get());
    return false;
  }
  return push_int(value.get(), out);
}

}  // namespace

bool push_int(PyObject* value, key::Buffer& out) {
  // For an int subclass this reads the value itself; no method is called.
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (small == -1 && PyErr_Occurred()) return false;
    key::push_int64(out, small);
    return true;
  }
  // Beyond 64 bits: the two's-complement bytes, big-endian, in exactly as
  // many bytes as the value needs with its sign bit.
  const int flags = Py_ASNATIVEBYTES_BIG_ENDIAN;
  const Py_ssize_t needed = PyLong_AsNativeBytes(value, nullptr, 0, flags);
  if (needed < 0) return false;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(needed));
  if (PyLong_AsNativeBytes(value, bytes.data(), needed, flags) < 0) return false;
  const bool negative = overflow < 0;
  if (negative) {
    // Negate in two's complement to get the magnitude.
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(~b);
    for (std::size_t i = bytes.size(); i-- > 0;) {
      if (++bytes[i] != 0) break;
    }
  }
  key::push_big_int(out, negative, std::as_bytes(std::span(bytes)));
  return true;
}

bool encode_key(PyObject* key, key::Buffer& out, unsigned depth) {
  // The order of the tests matters: bool is an int, NumPy's float64 a float.
  if (PyLong_Check(key)) return push_int(key, out);
  if (PyUnicode_Check(key)) return push_str(key, out);
  if (PyFloat_Check(key)) {
    key::push_double(out, PyFloat_AS_DOUBLE(key));  // the stored double; no method called
    return true;
  }
  if (PyTuple_Check(key)) return push_tuple(key, out, depth);
  if (key == Py_None) {
    out.push_back(key::kTagNone);
    return true;
  }
  if (PyBytes_Check(key)) {
    key::push_escaped(out, key::kTagBytes, bytes_of(key));
    return true;
  }
  if (PyList_Check(key)) return push_list(key, out, depth);
  const int has_index =
      PyObject_HasAttrStringWithError(reinterpret_cast<PyObject*>(Py_TYPE(key)), "__index__");
  if (has_index < 0) return false;
  if (has_index) return push_index(key, out);
  return refuse_kind(key);
}

}  // namespace quillmere::python
