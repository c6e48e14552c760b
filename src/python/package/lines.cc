// _Lines ("_quillmere._Lines"): the command's text records, keyed in C++ a
// block at a time. The command reads blocks of whole records and hands each
// to add(), which finds every record's key and pushes (key, record) into a
// Sorter; add_texts() does the same for records whose key texts the command
// found itself (CSV columns). unique() and check() compare the same key
// bytes, so that equal keys mean the same for -u and -c as for sorting;
// write_to() writes the records, sorted. Each key is read from the
// attributes of a key object, its orderings given by their option letters.
// Private to the package.

#include "python/package/lines.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "key/keyed_hash.h"
#include "key/line_keys.h"
#include "key/line_locale.h"
#include "key/order.h"
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

// Calls visit(record, key, tail) for each record of a block of whole
// records, until it returns false; returns whether every record was
// visited. `tail` counts the key's last bytes that are its last resort.
template <typename Visit>
bool each_record(const PyLines* self, Bytes block, Visit&& visit) {
  key::Buffer buffer;
  const std::byte* at = block.data();
  const std::byte* const end = at + block.size();
  while (at < end) {
    const auto* stop =
        static_cast<const std::byte*>(std::memchr(at, std::to_integer<int>(self->terminator),
                                                  static_cast<std::size_t>(end - at)));
    std::size_t tail = 0;
    const Bytes key = record_key(*self->keys, Bytes(at, stop), buffer, &tail);
    if (!visit(Bytes(at, stop + 1), key, tail)) return false;
    at = stop + 1;
  }
  return true;
}

// The payload of a record whose key ends with it: the length of that tail,
// seven bits a byte from the lowest (the high bit set on all but the
// last), then the record's terminator.
constexpr std::size_t kMaxTailPayload = 11;

Bytes tail_payload(std::size_t tail, std::byte terminator, std::byte (&out)[kMaxTailPayload]) {
  std::size_t n = 0;
  for (; tail >= 0x80; tail >>= 7) out[n++] = static_cast<std::byte>((tail & 0x7F) | 0x80);
  out[n++] = static_cast<std::byte>(tail);
  out[n++] = terminator;
  return Bytes(out, n);
}

// The length a tail payload holds.
std::size_t tail_length(Bytes payload) {
  std::size_t tail = 0;
  for (std::size_t i = 0, shift = 0; i + 1 < payload.size(); ++i, shift += 7) {
    tail |= static_cast<std::size_t>(std::to_integer<unsigned>(payload[i]) & 0x7F) << shift;
  }
  return tail;
}

void append(std::vector<std::byte>& out, Bytes bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// The RecordWriters of each way a record is stored.
void write_whole(std::vector<std::byte>& out, Bytes key, Bytes payload) {
  append(out, key);
  append(out, payload);
}

void write_from_tail(std::vector<std::byte>& out, Bytes key, Bytes payload) {
  append(out, key.last(tail_length(payload)));
  out.push_back(payload.back());
}

void write_from_reversed_tail(std::vector<std::byte>& out, Bytes key, Bytes payload) {
  lines::LineKeys::record_from_reversed_tail(key.last(tail_length(payload)), out);
  out.push_back(payload.back());
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

// add(sorter, block) -> int: pushes every record of the block with its key.
PyObject* lines_add(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    PyLines* self = as_lines(obj);
    if (!check_arguments(nargs, 2, "_Lines.add")) return nullptr;
    if (!whole_records(self, args[1])) return nullptr;
    PySorter* sorter = adding_sorter(args[0], "_Lines.add");
    if (sorter == nullptr) return nullptr;
    Py_ssize_t count = 0;
    // A record is stored once. When it is its own key, the payload is its
    // terminator; when its key ends with it (its last resort as bytes), the
    // payload is the length of that tail and the terminator. write_to puts
    // them back together. Otherwise (a collated last resort too) the payload
    // is the record.
    const bool whole = self->keys->whole_record();
    const lines::LastResort resort = self->keys->last_resort();
    const bool tailed =
        resort == lines::LastResort::kBytes || resort == lines::LastResort::kReversedBytes;
    std::byte payload[kMaxTailPayload];
    const bool all = each_record(self, bytes_of(args[1]), [&](Bytes record, Bytes key,
                                                              std::size_t tail) {
      ++count;
      if (tailed) return push_record(sorter, key, tail_payload(tail, record.back(), payload));
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
    if (!check_arguments(nargs, 2, "_Lines.write_to")) return nullptr;
    const lines::LineKeys& keys = *as_lines(obj)->keys;
    RecordWriter writer = nullptr;
    if (keys.last_resort() == lines::LastResort::kBytes) {
      writer = write_from_tail;
    } else if (keys.last_resort() == lines::LastResort::kReversedBytes) {
      writer = write_from_reversed_tail;
    } else if (keys.whole_record()) {
      writer = write_whole;
    }
    return write_records(args[0], args[1], writer, "_Lines.write_to");
  });
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
    if (!check_arguments(nargs, 1, "_Lines.unique") || !whole_records(self, args[0])) {
      return nullptr;
    }
    std::optional<std::string> kept;  // made at the first record dropped
    const Bytes chunk = bytes_of(args[0]);
    key::Buffer previous;
    bool has_previous = self->has_last;
    if (has_previous) previous.append(self->last->data(), self->last->size());
    each_record(self, chunk, [&](Bytes record, Bytes key, std::size_t) {
      const bool repeated = has_previous && key::compare(previous, key) == 0;
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

// _marked(chunk, keys, whole) -> bytes: the records of a chunk as --debug
// shows them, each ended by a newline whatever its terminator, its tabs
// shown as '>', and under it a line for what each key compares (if `keys`)
// and one for the whole record (if `whole`): blanks up to where it starts
// and underscores across it, or "^ no match for key" where it is empty (or
// takes no columns), all counted in columns on a terminal.
PyObject* lines_marked(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return with_state(obj, [&]() -> PyObject* {
    PyLines* self = as_lines(obj);
    if (!check_arguments(nargs, 3, "_Lines._marked") || !whole_records(self, args[0])) {
      return nullptr;
    }
    const int keys = PyObject_IsTrue(args[1]);
    const int whole = keys < 0 ? -1 : PyObject_IsTrue(args[2]);
    if (whole < 0) return nullptr;
    const lines::LineKeys& line_keys = *self->keys;
    std::string out;
    std::vector<lines::Extent> extents;
    Bytes rest = bytes_of(args[0]);
    while (!rest.empty()) {
      const auto* end = static_cast<const std::byte*>(
          std::memchr(rest.data(), std::to_integer<int>(self->terminator), rest.size()));
      const Bytes record = rest.first(static_cast<std::size_t>(end - rest.data()));
      rest = rest.subspan(record.size() + 1);
      for (const std::byte b : record) {
        out.push_back(b == std::byte{'\t'} ? '>' : static_cast<char>(b));
      }
      out.push_back('\n');
      extents.clear();
      if (keys) line_keys.extents(record, extents);
      if (whole) extents.push_back({0, record.size()});
      for (const lines::Extent& extent : extents) {
        out.append(line_keys.columns(record.first(extent.begin)), ' ');
        const std::size_t width =
            line_keys.columns(record.subspan(extent.begin, extent.end - extent.begin));
        if (width == 0) {
          out.append("^ no match for key\n");
        } else {
          out.append(width, '_');
          out.push_back('\n');
        }
      }
    }
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  });
}

// check(block, strict) -> int: the index in the block of the first record
// that sorts before the record it follows (or, strictly, does not sort
// after it), or -1 when there is none.
PyObject* lines_check(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return with_state(obj, [&]() -> PyObject* {
    PyLines* self = as_lines(obj);
    if (!check_arguments(nargs, 2, "_Lines.check") || !whole_records(self, args[0])) {
      return nullptr;
    }
    const int strict = PyObject_IsTrue(args[1]);
    if (strict < 0) return nullptr;
    key::Buffer previous;
    bool has_previous = self->has_last;
    if (has_previous) previous.append(self->last->data(), self->last->size());
    Py_ssize_t index = 0;
    const bool ordered = each_record(self, bytes_of(args[0]), [&](Bytes, Bytes key, std::size_t) {
      if (has_previous) {
        const int c = key::compare(previous, key);
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

// A tuple of the items of `items`, each of which must be bytes (else
// TypeError, saying `what` they are, and an empty Ref).
Ref bytes_tuple(PyObject* items, const char* what) {
  Ref tuple = Ref::steal(PySequence_Tuple(items));
  if (!tuple) return tuple;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple.get()); ++i) {
    if (!PyBytes_Check(PyTuple_GET_ITEM(tuple.get(), i))) {
      PyErr_Format(PyExc_TypeError, "%s must be bytes", what);
      return Ref();
    }
  }
  return tuple;
}

// Views the items of a tuple from bytes_tuple, valid while it lives.
void view_all(PyObject* tuple, std::vector<Bytes>& spans) {
  spans.clear();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
    spans.push_back(bytes_of(PyTuple_GET_ITEM(tuple, i)));
  }
}

// texts_key(texts) -> bytes: the key of a record whose key texts are given
// whole, one per key (for CSV columns).
PyObject* lines_texts_key(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    PyLines* self = as_lines(obj);
    if (!check_arguments(nargs, 1, "_Lines.texts_key")) return nullptr;
    Ref texts = bytes_tuple(args[0], "key texts");
    if (!texts) return nullptr;
    std::vector<Bytes> spans;
    view_all(texts.get(), spans);
    key::Buffer out;
    self->keys->key_of_texts(spans, out);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                     static_cast<Py_ssize_t>(out.size()));
  });
}

// The arguments of add_texts, checked before anything is added: `records`
// bytes, and for each record a sequence of key texts, bytes too.
struct TextRecords {
  Ref records;            // a tuple from bytes_tuple
  std::vector<Ref> rows;  // each record's key texts, a tuple from bytes_tuple
};

std::optional<TextRecords> text_records(PyObject* texts, PyObject* records) {
  TextRecords out;
  out.records = bytes_tuple(records, "records");
  if (!out.records) return std::nullopt;
  Ref rows = Ref::steal(PySequence_Tuple(texts));
  if (!rows) return std::nullopt;
  if (PyTuple_GET_SIZE(rows.get()) != PyTuple_GET_SIZE(out.records.get())) {
    PyErr_SetString(PyExc_ValueError, "_Lines.add_texts needs as many key texts as records");
    return std::nullopt;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(rows.get()); ++i) {
    out.rows.push_back(bytes_tuple(PyTuple_GET_ITEM(rows.get(), i), "key texts"));
    if (!out.rows.back()) return std::nullopt;
  }
  return out;
}

// add_texts(sorter, texts, records) -> int: pushes each record with the key
// of its key texts, as texts_key makes it (for CSV records, keyed by their
// columns); adds nothing when an argument is wrong.
PyObject* lines_add_texts(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    PyLines* self = as_lines(obj);
    if (!check_arguments(nargs, 3, "_Lines.add_texts")) return nullptr;
    PySorter* sorter = adding_sorter(args[0], "_Lines.add_texts");
    if (sorter == nullptr) return nullptr;
    const std::optional<TextRecords> given = text_records(args[1], args[2]);
    if (!given) return nullptr;
    std::vector<Bytes> spans;
    key::Buffer key;
    for (std::size_t i = 0; i < given->rows.size(); ++i) {
      view_all(given->rows[i].get(), spans);
      key.clear();
      self->keys->key_of_texts(spans, key);
      PyObject* record = PyTuple_GET_ITEM(given->records.get(), static_cast<Py_ssize_t>(i));
      if (!push_record(sorter, key, bytes_of(record))) return nullptr;
    }
    return PyLong_FromSsize_t(static_cast<Py_ssize_t>(given->rows.size()));
  });
}

// A key's settings are its attributes, named as in lines::KeySpec; each
// helper reads one and raises, returning false, when it is missing or wrong.
Ref setting(PyObject* key, const char* name) {
  return Ref::steal(PyObject_GetAttrString(key, name));
}

bool to_size(PyObject* value, const char* name, std::size_t& out) {
  const Py_ssize_t n = PyNumber_AsSsize_t(value, PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) return false;
  if (n < 0) {
    PyErr_Format(PyExc_ValueError, "a key's %s must not be negative", name);
    return false;
  }
  out = static_cast<std::size_t>(n);
  return true;
}

bool read_size(PyObject* key, const char* name, std::size_t& out) {
  Ref value = setting(key, name);
  return value && to_size(value.get(), name, out);
}

// end_field: a field, or None for the end of the record.
bool read_end_field(PyObject* key, std::optional<std::size_t>& out) {
  Ref value = setting(key, "end_field");
  if (!value) return false;
  out.reset();
  if (value.get() == Py_None) return true;
  std::size_t field = 0;
  if (!to_size(value.get(), "end_field", field)) return false;
  out = field;
  return true;
}

bool read_flag(PyObject* key, const char* name, bool& out) {
  Ref value = setting(key, name);
  if (!value) return false;
  const int truth = PyObject_IsTrue(value.get());
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

// The option letter that stands for each order and each ignore ("" for
// neither), so that the command names them and only this file knows the
// enums.
template <typename Enum>
struct Letter {
  const char* letter;
  Enum value;
};
constexpr Letter<lines::Order> kOrderLetters[] = {
    {"", lines::Order::kText},     {"n", lines::Order::kNumeric},
    {"g", lines::Order::kGeneral}, {"h", lines::Order::kHuman},
    {"M", lines::Order::kMonth},   {"V", lines::Order::kVersion},
};
constexpr Letter<lines::Ignore> kIgnoreLetters[] = {
    {"", lines::Ignore::kNone},
    {"d", lines::Ignore::kNonDictionary},
    {"i", lines::Ignore::kNonPrinting},
};

template <typename Enum, std::size_t N>
bool read_letter(PyObject* key, const char* name, const Letter<Enum> (&letters)[N], Enum& out) {
  Ref value = setting(key, name);
  if (!value) return false;
  if (!PyUnicode_Check(value.get())) {
    PyErr_Format(PyExc_TypeError, "a key's %s must be a str", name);
    return false;
  }
  for (const Letter<Enum>& letter : letters) {
    if (PyUnicode_EqualToUTF8(value.get(), letter.letter)) {
      out = letter.value;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "a key's %s cannot be %R", name, value.get());
  return false;
}

// One key, read from the attributes of a key object.
std::optional<lines::KeySpec> key_spec(PyObject* item) {
  lines::KeySpec key;
  if (read_size(item, "start_field", key.start_field) &&
      read_size(item, "start_char", key.start_char) &&
      read_flag(item, "skip_start_blanks", key.skip_start_blanks) &&
      read_end_field(item, key.end_field) && read_size(item, "end_char", key.end_char) &&
      read_flag(item, "skip_end_blanks", key.skip_end_blanks) &&
      read_letter(item, "order", kOrderLetters, key.order) && read_flag(item, "fold", key.fold) &&
      read_letter(item, "ignore", kIgnoreLetters, key.ignore) &&
      read_flag(item, "reverse", key.reverse) && read_flag(item, "random", key.random)) {
    return key;
  }
  return std::nullopt;
}

// The locale argument: None for the C locale, or a dict of category
// names ("LC_COLLATE") to locale names; `out` stays null when the locale
// behaves as C, or one of its categories is not installed. False, with an
// exception set, when the argument is wrong.
bool read_locale(PyObject* arg, std::shared_ptr<const lines::Locale>& out) {
  if (arg == Py_None) return true;
  if (!PyDict_Check(arg)) {
    PyErr_SetString(PyExc_TypeError, "a locale must be a dict of category names to locale names");
    return false;
  }
  Ref items = Ref::steal(PyMapping_Items(arg));
  if (!items) return false;
  std::vector<lines::LocaleName> names;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    PyObject* category = PyTuple_GET_ITEM(item, 0);
    PyObject* name = PyTuple_GET_ITEM(item, 1);
    if (!PyUnicode_Check(category) || !PyUnicode_Check(name)) {
      PyErr_SetString(PyExc_TypeError, "a locale maps category names to locale names, all str");
      return false;
    }
    const char* category_text = PyUnicode_AsUTF8(category);
    const char* name_text = category_text ? PyUnicode_AsUTF8(name) : nullptr;
    if (name_text == nullptr) return false;
    names.push_back({category_text, name_text});
  }
  Result<std::shared_ptr<const lines::Locale>> loaded = lines::Locale::load(names);
  if (!loaded) {
    raise(std::move(loaded.error()));
    return false;
  }
  out = std::move(*loaded);
  return true;
}

// _Lines(keys, tab, terminator, last_resort=0, hash_key=None, locale=None):
// keys a sequence of key objects (see key_spec), tab the field separator's
// byte value or None, terminator the records' last byte, last_resort 0 for
// none (equal keys keep input order), 1 for whole records as bytes and -1
// for them reversed (as the locale collates them, if it does), hash_key 16
// bytes that key the hash of random keys, locale what read_locale reads.
PyObject* lines_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    PyObject* key_list;
    PyObject* tab_arg;
    int terminator;
    int last_resort = 0;
    PyObject* hash_arg = Py_None;
    PyObject* locale_arg = Py_None;
    static const char* names[] = {"keys",     "tab",    "terminator", "last_resort",
                                  "hash_key", "locale", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOi|iOO:_Lines", const_cast<char**>(names),
                                     &key_list, &tab_arg, &terminator, &last_resort,
                                     &hash_arg, &locale_arg)) {
      return nullptr;
    }
    key::HashKey hash_key{};
    if (hash_arg != Py_None) {
      if (!PyBytes_Check(hash_arg) || PyBytes_GET_SIZE(hash_arg) != 16) {
        return raise_message(PyExc_ValueError, "hash_key must be 16 bytes");
      }
      hash_key = key::hash_key(bytes_of(hash_arg).first<16>());
    }
    if (last_resort < -1 || last_resort > 1) {
      return raise_message(PyExc_ValueError, "last_resort must be 0, 1 or -1");
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
    const lines::LastResort resort = last_resort == 0   ? lines::LastResort::kNone
                                     : last_resort > 0 ? lines::LastResort::kBytes
                                                       : lines::LastResort::kReversedBytes;
    std::shared_ptr<const lines::Locale> locale;
    if (!read_locale(locale_arg, locale)) return nullptr;
    auto made = std::make_unique<lines::LineKeys>(std::move(keys), tab, resort, hash_key,
                                                  std::move(locale));
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
    {"_marked", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_marked)),
     METH_FASTCALL, "_marked(chunk, keys, whole) -> bytes: the records shown as --debug shows "
     "them, with what their keys compare marked under each"},
    {"texts_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_texts_key)),
     METH_FASTCALL, "texts_key(texts) -> bytes: the key of whole key texts, one per key"},
    {"add_texts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lines_add_texts)),
     METH_FASTCALL,
     "add_texts(sorter, texts, records) -> int: add each record keyed by its key texts"},
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

Bytes record_key(const lines::LineKeys& keys, Bytes record, key::Buffer& buffer,
                 std::size_t* tail) {
  if (tail != nullptr) *tail = 0;
  if (keys.whole_record()) return record;
  buffer.clear();
  const std::size_t resort = keys.key_of(record, buffer);
  if (tail != nullptr) *tail = resort;
  return buffer;
}

LinesView lines_view(PyObject* o) {
  Ref type = lines_type();
  if (!type) return {nullptr, std::byte{0}};
  if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(type.get()))) {
    PyErr_SetString(PyExc_TypeError, "_LineMerge needs a _Lines");
    return {nullptr, std::byte{0}};
  }
  return {as_lines(o)->keys, as_lines(o)->terminator};
}

}  // namespace quillmere::python
