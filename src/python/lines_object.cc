// _Lines ("_quillmere._Lines"): the command's text records, keyed in C++ a
// block at a time. The command reads blocks of whole records and hands each
// to add(), which finds every record's key and pushes (key, record) into a
// Sorter; unique() and check() compare the same key bytes, so that equal
// keys mean the same for -u and -c as for sorting; write_to() writes the
// records, sorted. Private to the package.

#include "python/lines_object.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "key/line_keys.h"
#include "python/bytes_view.h"
#include "python/errors.h"
#include "python/records.h"
#include "python/ref.h"
#include "python/type_cache.h"

namespace quillmere::python {
namespace {

using Bytes = std::span<const std::byte>;

struct PyLines {
  PyObject_HEAD
  lines::LineKeys* keys;
  std::byte terminator;
  // The key of the last record unique() or check() saw, for the next call.
  // Guarded by the object's critical section.
  std::vector<std::byte>* last;
  bool has_last;
};

PyLines* as_lines(PyObject* o) { return reinterpret_cast<PyLines*>(o); }

// Calls visit(record, key) for each record of a block of whole records,
// until it returns false; returns whether every record was visited.
template <typename Visit>
bool each_record(const PyLines* self, Bytes block, Visit&& visit) {
  key::Buffer buffer;
  const std::byte* at = block.data();
  const std::byte* const end = at + block.size();
  while (at < end) {
    const auto* stop =
        static_cast<const std::byte*>(std::memchr(at, std::to_integer<int>(self->terminator),
                                                  static_cast<std::size_t>(end - at)));
    const Bytes record(at, stop);
    Bytes key = record;
    if (!self->keys->whole_record()) {
      buffer.clear();
      self->keys->key_of(record, buffer);
      key = buffer;
    }
    if (!visit(Bytes(at, stop + 1), key)) return false;
    at = stop + 1;
  }
  return true;
}

// The block argument: bytes that end with the terminator, if not empty.
bool whole_records(const PyLines* self, PyObject* block) {
  if (!PyBytes_Check(block)) {
    PyErr_SetString(PyExc_TypeError, "a block of records must be bytes");
    return false;
  }
  const Bytes bytes = bytes_of(block);
  if (!bytes.empty() && bytes.back() != self->terminator) {
    PyErr_SetString(PyExc_ValueError, "a block must end with a record's terminator");
    return false;
  }
  return true;
}

bool check_count(Py_ssize_t nargs, Py_ssize_t want, const char* name) {
  if (nargs == want) return true;
  PyErr_Format(PyExc_TypeError, "_Lines.%s takes %zd arguments (%zd given)", name, want, nargs);
  return false;
}

// add(sorter, block) -> int: pushes every record of the block with its key.
PyObject* lines_add(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    PyLines* self = as_lines(obj);
    if (!check_count(nargs, 2, "add")) return nullptr;
    if (!whole_records(self, args[1])) return nullptr;
    PySorter* sorter = adding_sorter(args[0], "_Lines.add");
    if (sorter == nullptr) return nullptr;
    Py_ssize_t count = 0;
    // A record that is its own key is stored once: its key, and its
    // terminator as the payload; write_to puts them back together.
    const bool whole = self->keys->whole_record();
    const bool all = each_record(self, bytes_of(args[1]), [&](Bytes record, Bytes key) {
      ++count;
      return push_record(sorter, key, whole ? record.last(1) : record);
    });
    if (!all) return nullptr;
    return PyLong_FromSsize_t(count);
  });
}

// write_to(sorter, handle): the sorted records, as Sorter.write_to writes
// payloads.
PyObject* lines_write_to(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (!check_count(nargs, 2, "write_to")) return nullptr;
    return write_records(args[0], args[1], as_lines(obj)->keys->whole_record(), "_Lines.write_to");
  });
}

// Runs `body` with the object's state to itself.
template <typename Body>
PyObject* with_state(PyObject* obj, Body&& body) {
  PyObject* result = nullptr;
  (void)obj;  // the section is empty where the interpreter has a global lock
  Py_BEGIN_CRITICAL_SECTION(obj);
  result = boundary(body);
  Py_END_CRITICAL_SECTION();
  return result;
}

void remember(PyLines* self, Bytes key) {
  self->last->assign(key.begin(), key.end());
  self->has_last = true;
}

// unique(chunk) -> bytes: the chunk without each record whose key equals
// the record's before it (in this chunk or the last call's).
PyObject* lines_unique(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return with_state(obj, [&]() -> PyObject* {
    PyLines* self = as_lines(obj);
    if (!check_count(nargs, 1, "unique") || !whole_records(self, args[0])) return nullptr;
    std::optional<std::string> kept;  // made at the first record dropped
    const Bytes chunk = bytes_of(args[0]);
    key::Buffer previous;
    bool has_previous = self->has_last;
    if (has_previous) previous.append(self->last->data(), self->last->size());
    each_record(self, chunk, [&](Bytes record, Bytes key) {
      const bool repeated = has_previous && compare(previous, key) == 0;
      if (repeated && !kept) {
        kept.emplace();
        kept->reserve(chunk.size());
        kept->append(reinterpret_cast<const char*>(chunk.data()),
                     static_cast<std::size_t>(record.data() - chunk.data()));
      } else if (!repeated && kept) {
        kept->append(reinterpret_cast<const char*>(record.data()), record.size());
      }
      if (!repeated) {
        previous.clear();
        previous.append(key.data(), key.size());
        has_previous = true;
      }
      return true;
    });
    if (has_previous) remember(self, previous);
    if (!kept) return Py_NewRef(args[0]);
    return PyBytes_FromStringAndSize(kept->data(), static_cast<Py_ssize_t>(kept->size()));
  });
}

// check(block, strict) -> int: the index in the block of the first record
// that sorts before the record it follows (or, strictly, does not sort
// after it), or -1 when there is none.
PyObject* lines_check(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return with_state(obj, [&]() -> PyObject* {
    PyLines* self = as_lines(obj);
    if (!check_count(nargs, 2, "check") || !whole_records(self, args[0])) return nullptr;
    const int strict = PyObject_IsTrue(args[1]);
    if (strict < 0) return nullptr;
    key::Buffer previous;
    bool has_previous = self->has_last;
    if (has_previous) previous.append(self->last->data(), self->last->size());
    Py_ssize_t index = 0;
    const bool ordered = each_record(self, bytes_of(args[0]), [&](Bytes, Bytes key) {
      if (has_previous) {
        const int c = compare(previous, key);
        if (c > 0 || (strict && c == 0)) return false;
      }
      previous.clear();
      previous.append(key.data(), key.size());
      has_previous = true;
      ++index;
      return true;
    });
    if (has_previous) remember(self, previous);
    return PyLong_FromSsize_t(ordered ? -1 : index);
  });
}

// texts_key(texts) -> bytes: the key of a record whose key texts are given
// whole, one per key (for CSV columns).
PyObject* lines_texts_key(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    PyLines* self = as_lines(obj);
    if (!check_count(nargs, 1, "texts_key")) return nullptr;
    Ref texts = Ref::steal(PySequence_Tuple(args[0]));
    if (!texts) return nullptr;
    std::vector<Bytes> spans;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(texts.get()); ++i) {
      PyObject* text = PyTuple_GET_ITEM(texts.get(), i);
      if (!PyBytes_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "key texts must be bytes");
        return nullptr;
      }
      spans.push_back(bytes_of(text));
    }
    key::Buffer out;
    self->keys->key_of_texts(spans, out);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                     static_cast<Py_ssize_t>(out.size()));
  });
}

// One key from its tuple: (start_field, start_char, skip_start_blanks,
// end_field or -1, end_char, skip_end_blanks, order, fold, ignore, reverse).
std::optional<lines::KeySpec> key_spec(PyObject* item) {
  Py_ssize_t start_field, start_char, end_field, end_char;
  int skip_start, skip_end, order, fold, ignore, reverse;
  if (!PyArg_ParseTuple(item, "nnpnnpipip;a key is a tuple of ten settings", &start_field,
                        &start_char, &skip_start, &end_field, &end_char, &skip_end, &order, &fold,
                        &ignore, &reverse)) {
    return std::nullopt;
  }
  if (start_field < 0 || start_char < 0 || end_field < -1 || end_char < 0 || order < 0 ||
      order > static_cast<int>(lines::Order::kVersion) || ignore < 0 ||
      ignore > static_cast<int>(lines::Ignore::kNonPrinting)) {
    PyErr_SetString(PyExc_ValueError, "a key setting is out of range");
    return std::nullopt;
  }
  lines::KeySpec key;
  key.start_field = static_cast<std::size_t>(start_field);
  key.start_char = static_cast<std::size_t>(start_char);
  key.skip_start_blanks = skip_start != 0;
  if (end_field >= 0) key.end_field = static_cast<std::size_t>(end_field);
  key.end_char = static_cast<std::size_t>(end_char);
  key.skip_end_blanks = skip_end != 0;
  key.order = static_cast<lines::Order>(order);
  key.fold = fold != 0;
  key.ignore = static_cast<lines::Ignore>(ignore);
  key.reverse = reverse != 0;
  return key;
}

// _Lines(keys, tab, terminator): keys a list of key tuples, tab the field
// separator's byte value or None, terminator the records' last byte.
PyObject* lines_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    PyObject* key_list;
    PyObject* tab_arg;
    int terminator;
    static const char* names[] = {"keys", "tab", "terminator", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOi:_Lines", const_cast<char**>(names),
                                     &key_list, &tab_arg, &terminator)) {
      return nullptr;
    }
    Ref items = Ref::steal(PySequence_Tuple(key_list));
    if (!items) return nullptr;
    std::vector<lines::KeySpec> keys;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      std::optional<lines::KeySpec> key = key_spec(PyTuple_GET_ITEM(items.get(), i));
      if (!key) return nullptr;
      keys.push_back(*key);
    }
    std::optional<std::uint8_t> tab;
    if (tab_arg != Py_None) {
      const long value = PyLong_AsLong(tab_arg);
      if (value == -1 && PyErr_Occurred()) return nullptr;
      if (value < 0 || value > 255) return raise_message(PyExc_ValueError, "tab must be a byte");
      tab = static_cast<std::uint8_t>(value);
    }
    if (terminator < 0 || terminator > 255) {
      return raise_message(PyExc_ValueError, "terminator must be a byte");
    }
    auto made = std::make_unique<lines::LineKeys>(std::move(keys), tab);
    auto last = std::make_unique<std::vector<std::byte>>();
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    PyLines* self = as_lines(obj);
    self->keys = made.release();
    self->last = last.release();
    self->terminator = static_cast<std::byte>(terminator);
    self->has_last = false;
    return obj;
  });
}

void lines_dealloc(PyObject* obj) {
  PyLines* self = as_lines(obj);
  PyTypeObject* type = Py_TYPE(obj);
  delete self->keys;
  delete self->last;
  type->tp_free(obj);
  Py_DECREF(type);
}

PyMethodDef lines_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_add)), METH_FASTCALL,
     "add(sorter, block) -> int: add each record of a block, keyed; return how many"},
    {"write_to", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_write_to)),
     METH_FASTCALL, "write_to(sorter, handle): write the records added, sorted"},
    {"unique", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_unique)),
     METH_FASTCALL, "unique(chunk) -> bytes: drop records whose key repeats the one before"},
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_check)),
     METH_FASTCALL, "check(block, strict) -> int: index of the first record out of order, or -1"},
    {"texts_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_texts_key)),
     METH_FASTCALL, "texts_key(texts) -> bytes: the key of whole key texts, one per key"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot lines_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(lines_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(lines_dealloc)},
    {Py_tp_methods, lines_methods},
    {Py_tp_doc, const_cast<char*>("Text records keyed as the quillmere command sorts them.")},
    {0, nullptr},
};

PyType_Spec lines_spec = {
    .name = "_quillmere._Lines",
    .basicsize = sizeof(PyLines),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = lines_slots,
};

}  // namespace

Ref lines_type() { return cached_type("_quillmere._Lines", &lines_spec); }

}  // namespace quillmere::python
