// How the package's private helpers beside the module (the command's
// _Lines, the cluster's pieces) use a Sorter: they key and encode items as
// Sorter.add does, push records that are keyed and encoded already, and
// write the sorted records out, with the Sorter's own refusals, locking and
// interruption. Everything here runs attached to the interpreter.

#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "key/key.h"
#include "python/ref.h"

namespace quillmere::python {

struct PySorter;

// `o` as a Sorter that still takes records; nullptr with TypeError
// ("CALLER needs a Sorter"), or with the sorter's refusal (closed, read,
// stopped) raised, without blocking.
PySorter* adding_sorter(PyObject* o, const char* caller);

// Pushes one record under the sorter's lock, as Sorter.add_encoded does
// once it has encoded its key: it may wait for a spill, which Ctrl-C
// interrupts, and len() counts it. Returns false with an exception set.
bool push_record(PySorter* sorter, std::span<const std::byte> key,
                 std::span<const std::byte> payload);

// Appends the key bytes of `value` as a Sorter orders it to `out`; false
// with TypeError (or what Python code run on the way raised) for a value
// that is no sort key.
bool append_sort_key(PyObject* value, key::Buffer& out);

// Appends to `out` what is written for one sorted record. Runs on the
// merging thread, detached: it must not touch the interpreter.
using RecordWriter = void (*)(std::vector<std::byte>& out, std::span<const std::byte> key,
                              std::span<const std::byte> payload);

// Ends adding and writes every record in order to `handle`, as
// Sorter.write_to does: what `writer` makes of each record, or its payload
// when there is no writer. `sorter` must be a Sorter (TypeError "CALLER
// needs a Sorter"). Returns None, or nullptr with an exception set.
PyObject* write_records(PyObject* sorter, PyObject* handle, RecordWriter writer,
                        const char* caller);

// Keys and encodes items as Sorter.add does: the key function's result, or
// the item itself, into key bytes; the item into its payload with `encode`,
// or with pickle.dumps(item, 5) when `pickled`, in C++ first when
// `own_pickle` says pickle.dumps is the interpreter's own. The key function
// and `encode` are borrowed: the caller keeps them alive.
class ItemEncoder {
 public:
  struct Record {
    std::span<const std::byte> key;
    std::span<const std::byte> payload;
  };

  ItemEncoder(PyObject* key_function, PyObject* encode, bool pickled, bool own_pickle) noexcept
      : key_function_(key_function), encode_(encode), pickled_(pickled), own_pickle_(own_pickle) {}

  // One item's record, valid until the next call; nullopt with an exception
  // set when keying or encoding fails.
  std::optional<Record> encode(PyObject* item);

 private:
  PyObject* key_function_;  // none: items are their own keys
  PyObject* encode_;
  bool pickled_;
  bool own_pickle_;
  key::Buffer key_;  // 64 bytes inside: most keys need no allocation
  std::vector<std::byte> pickled_payload_;  // reused by the C++ pickle
  Ref encoded_;  // the bytes encode returned, which the payload points into
};

}  // namespace quillmere::python
