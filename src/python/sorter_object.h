// The data of one Python Sorter object ("quillmere.Sorter") and what every
// part of the layer shares about it: its refusals, and the release of its
// state by the last holder.
// The type itself, its slots and its constructor are in sorter_type.h.
//
// All fields are set by the constructor; afterwards only `added` and
// `status` change, and both are atomics, so they may be read without the
// lock. Everything else that changes lives in the State behind `lock`.

#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "python/lock.h"
#include "python/ref.h"

namespace quillmere::python {

// Values of PySorter::status.
inline constexpr std::uint32_t kStatusOpen = 0;    // adding allowed
inline constexpr std::uint32_t kStatusRead = 1;    // reading has begun
inline constexpr std::uint32_t kStatusClosed = 2;  // close() ran

struct PySorter {
  PyObject_HEAD
  bool has_codec;               // encode is the codec's, not pickle.dumps
  bool own_pickle;              // encode and decode are the interpreter's own pickle
  PyObject* encode;             // the codec's bound encode, or pickle.dumps
  std::shared_ptr<Lock> lock;   // shared with every iterator of this sorter
  PyObject* decode;             // the codec's bound decode, or pickle.loads
  std::atomic<std::uint64_t> added;  // successful adds; only a count (relaxed)
  PyObject* key;                // the key function, or nullptr for none
  std::atomic<std::uint32_t> status;  // kStatus*, sequentially consistent
};

// Where the interpreter keeps its Sorter type (see type_cache.h).
inline constexpr const char kSorterTypeKey[] = "_quillmere.Sorter";

// Whether o is a Sorter. Reads the type only if it was made, which it was
// if any Sorter exists.
bool is_sorter(PyObject* o);

// Why the state refuses an operation.
enum class Refusal : std::uint8_t {
  kClosed,        // ValueError "I/O operation on a closed sorter"
  kStopped,       // RuntimeError "the sorter stopped when reading it failed or was interrupted"
  kAddAfterRead,  // RuntimeError "cannot add to a sorter once it has been read"
  kReadTwice,     // RuntimeError "a sorter can be read only once"
  kReentrant,     // RuntimeError "reentrant call": the lock's holder asked for it again
};

// Raises the exception of a refusal. Returns false, for `return`.
bool raise_refusal(Refusal refusal);

// Why a state other than Adding refuses to take items.
Refusal refusal_to_add(const State& state);

// Drops the heavy contents of the state when `lock` is the last handle to
// it: the state becomes Closed and the core sorter or merge is dropped with
// the thread detached (in place while the interpreter finalizes). Other
// holders keep the state as it is.
void release(std::shared_ptr<Lock>& lock) noexcept;

}  // namespace quillmere::python
