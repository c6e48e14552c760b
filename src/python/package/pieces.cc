// Splitting items into pieces, and adding pieces to a Sorter.

#include "python/package/pieces.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "base/byte_order.h"
#include "key/order.h"
#include "python/bytes_view.h"
#include "python/errors.h"
#include "python/records.h"
#include "python/ref.h"

namespace quillmere::python {
namespace {

constexpr std::size_t kHeader = 8;

// Strong references to the bytearrays of `outs`, one per output partition.
bool read_outs(PyObject* outs, std::size_t count, std::vector<Ref>& arrays) {
  if (!PyList_Check(outs)) {
    PyErr_SetString(PyExc_TypeError, "outs must be a list");
    return false;
  }
  bool ok = true;
  Py_BEGIN_CRITICAL_SECTION(outs);
  if (PyList_GET_SIZE(outs) != static_cast<Py_ssize_t>(count)) {
    PyErr_SetString(PyExc_ValueError, "outs must hold one bytearray more than bounds has bounds");
    ok = false;
  }
  for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(outs); ++i) {
    if (!PyByteArray_Check(PyList_GET_ITEM(outs, i))) {
      PyErr_SetString(PyExc_TypeError, "outs must hold bytearrays");
      ok = false;
    } else {
      arrays.push_back(Ref::borrow(PyList_GET_ITEM(outs, i)));
    }
  }
  Py_END_CRITICAL_SECTION();
  return ok;
}

bool append_record(PyObject* out, Bytes key, Bytes payload) {
  if (key.size() > UINT32_MAX || payload.size() > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "an item's key or encoding is over 4 GiB");
    return false;
  }
  const Py_ssize_t at = PyByteArray_GET_SIZE(out);
  const std::size_t size = kHeader + key.size() + payload.size();
  if (PyByteArray_Resize(out, at + static_cast<Py_ssize_t>(size)) < 0) return false;
  auto* to = reinterpret_cast<std::byte*>(PyByteArray_AS_STRING(out)) + at;
  store_le(to, static_cast<std::uint32_t>(key.size()));
  store_le(to + 4, static_cast<std::uint32_t>(payload.size()));
  if (!key.empty()) std::memcpy(to + kHeader, key.data(), key.size());
  if (!payload.empty()) std::memcpy(to + kHeader + key.size(), payload.data(), payload.size());
  return true;
}

}  // namespace

bool before(const Place& a, const Place& b) {
  if (int c = key::compare(a.key, b.key); c != 0) return c < 0;
  if (a.partition != b.partition) return a.partition < b.partition;
  return a.position < b.position;
}

bool read_bounds(PyObject* bounds, std::vector<Place>& places, std::vector<Ref>& held) {
  if (!PyList_Check(bounds)) {
    PyErr_SetString(PyExc_TypeError, "bounds must be a list");
    return false;
  }
  bool ok = true;
  Py_BEGIN_CRITICAL_SECTION(bounds);
  const Py_ssize_t count = PyList_GET_SIZE(bounds);
  for (Py_ssize_t i = 0; ok && i < count; ++i) {
    PyObject* bound = PyList_GET_ITEM(bounds, i);
    if (!PyTuple_Check(bound) || PyTuple_GET_SIZE(bound) != 3 ||
        !PyBytes_Check(PyTuple_GET_ITEM(bound, 0))) {
      PyErr_SetString(PyExc_TypeError, "a bound must be a (bytes, int, int) tuple");
      ok = false;
      break;
    }
    const long long partition = PyLong_AsLongLong(PyTuple_GET_ITEM(bound, 1));
    const long long position = PyLong_AsLongLong(PyTuple_GET_ITEM(bound, 2));
    if (PyErr_Occurred()) {
      ok = false;
      break;
    }
    held.push_back(Ref::borrow(PyTuple_GET_ITEM(bound, 0)));
    places.push_back({bytes_of(held.back().get()), partition, position});
  }
  Py_END_CRITICAL_SECTION();
  return ok;
}

PyObject* split_items(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (!check_arguments(nargs, 8, "_split_items")) return nullptr;
    PyObject* const key_function = args[3] == Py_None ? nullptr : args[3];
    PyObject* const encode = args[4];
    const long long index = PyLong_AsLongLong(args[1]);
    long long position = PyLong_AsLongLong(args[2]);
    const int pickled = PyObject_IsTrue(args[5]);
    if (PyErr_Occurred() || pickled < 0) return nullptr;
    std::vector<Place> bounds;
    std::vector<Ref> bound_keys;
    std::vector<Ref> arrays;
    if (!read_bounds(args[6], bounds, bound_keys)) return nullptr;
    if (!read_outs(args[7], bounds.size() + 1, arrays)) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(args[0]));
    if (!iterator) return nullptr;
    ItemEncoder encoder(key_function, encode, pickled != 0, pickled != 0);
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
      const std::optional<ItemEncoder::Record> record = encoder.encode(item.get());
      if (!record) return nullptr;
      const Place place{record->key, index, position++};
      const auto out = std::upper_bound(bounds.begin(), bounds.end(), place,
                                        [](const Place& a, const Place& b) { return before(a, b); });
      // Bounds before this place, so the output partition it falls in.
      if (!append_record(arrays[static_cast<std::size_t>(out - bounds.begin())].get(),
                         record->key, record->payload)) {
        return nullptr;
      }
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* add_pieces(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (!check_arguments(nargs, 2, "_add_pieces")) return nullptr;
    PySorter* sorter = adding_sorter(args[0], "_add_pieces");
    if (sorter == nullptr) return nullptr;
    if (!PyBytes_Check(args[1])) {
      PyErr_SetString(PyExc_TypeError, "pieces must be bytes");
      return nullptr;
    }
    const Bytes data = bytes_of(args[1]);
    std::size_t at = 0;
    while (data.size() - at >= kHeader) {
      const std::size_t key_size = load_le<std::uint32_t>(data.data() + at);
      const std::size_t payload_size = load_le<std::uint32_t>(data.data() + at + 4);
      if (data.size() - at - kHeader < key_size + payload_size) break;
      const Bytes key = data.subspan(at + kHeader, key_size);
      const Bytes payload = data.subspan(at + kHeader + key_size, payload_size);
      if (!push_record(sorter, key, payload)) return nullptr;
      at += kHeader + key_size + payload_size;
    }
    return PyLong_FromSize_t(at);
  });
}

}  // namespace quillmere::python
