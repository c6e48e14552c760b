// Sorted output, read through _SortedIterator.

#include "python/iterator.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "python/adding.h"
#include "python/args.h"
#include "python/compat.h"
#include "python/docs.h"
#include "python/errors.h"
#include "python/finish.h"
#include "python/interrupt.h"
#include "python/outcome.h"
#include "python/pickle/decoder.h"
#include "python/ref.h"
#include "python/sorter_object.h"
#include "python/type_cache.h"

namespace quillmere::python {
namespace {

constexpr std::size_t kChunkRecords = 4096;
constexpr std::size_t kChunkBytes = 1 << 20;  // filling stops once this much is held

struct PySortedIterator {
  PyObject_HEAD
  std::shared_ptr<Lock> lock;  // a share of the sorter's
  PyObject* decode;            // nullptr for encoded()
  bool own_pickle;             // decode is the interpreter's own pickle.loads
};

PySortedIterator* as_iterator(PyObject* o) { return reinterpret_cast<PySortedIterator*>(o); }

bool drained(const State& state) {
  const auto* reading = std::get_if<Reading>(&state);
  return reading != nullptr && reading->next == reading->ends.size();
}

// Takes the next chunk of payloads from the merge when the current one is
// used up. At the merge's end the state becomes Done; on a failure it
// becomes Stopped (dropping the merge removes what was spilled) and the
// error is returned. Runs detached.
std::optional<Error> refill_if_drained(State& state) {
  if (!drained(state)) return std::nullopt;
  Reading& reading = std::get<Reading>(state);
  reading.buffer.clear();
  reading.ends.clear();
  reading.next = 0;
  try {
    while (reading.buffer.size() < kChunkBytes && reading.ends.size() < kChunkRecords) {
      Result<std::optional<Merged::Record>> record = reading.merged.next_record();
      if (!record) {
        Error error = std::move(record.error());
        state = State(Stopped{});
        return error;
      }
      if (!*record) break;
      const std::span<const std::byte> payload = (*record)->payload;
      reading.buffer.insert(reading.buffer.end(), payload.begin(), payload.end());
      reading.ends.push_back(reading.buffer.size());
    }
  } catch (const std::bad_alloc&) {
    // Records taken from the merge are lost with the chunk.
    state = State(Stopped{});
    return Error::io(IoKind::OutOfMemory);
  }
  if (reading.ends.empty()) state = State(Done{});
  return std::nullopt;
}

// What the state has to hand out next.
struct Value {
  enum class Kind { kPayload, kNone, kClosed } kind;
  std::span<const std::byte> payload;
};

Value next_value(State& state) {
  if (std::holds_alternative<Closed>(state)) return {Value::Kind::kClosed, {}};
  auto* reading = std::get_if<Reading>(&state);
  if (reading == nullptr || reading->next == reading->ends.size()) return {Value::Kind::kNone, {}};
  const std::size_t begin = reading->next == 0 ? 0 : reading->ends[reading->next - 1];
  const std::size_t end = reading->ends[reading->next++];
  return {Value::Kind::kPayload, {reading->buffer.data() + begin, end - begin}};
}

Ref make_bytes(std::span<const std::byte> payload) {
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                              static_cast<Py_ssize_t>(payload.size())));
}

// The next payload with the lock already held and the thread attached: it
// goes straight from the chunk into an item, when `own_pickle` and the
// pickle subset reads it (then *decoded is set), else into a bytes object.
// Nothing (with or without an exception set) at the end or on failure.
Ref take_attached(State& state, bool own_pickle, bool* decoded) {
  if (drained(state)) {
    if (PyErr_CheckSignals() < 0) {
      Detached detached;
      state = State(Stopped{});  // removes what was spilled
      return {};
    }
    std::optional<Error> error;
    {
      Detached detached;
      error = refill_if_drained(state);
    }
    if (error) {
      raise(std::move(*error));
      return {};
    }
  }
  Value value = next_value(state);
  if (value.kind == Value::Kind::kClosed) raise_refusal(Refusal::kClosed);
  if (value.kind != Value::Kind::kPayload) return {};
  if (own_pickle) {
    if (PyObject* item = pickle::loads(value.payload)) {
      *decoded = true;
      return Ref::steal(item);
    }
  }
  return make_bytes(value.payload);
}

// Takes the next payload under the lock, detached, and copies it into
// `copy`, for take_detached; `copy` stays empty at the end.
Outcome copy_next(Lock& lock, StopCheck& check, std::optional<std::vector<std::byte>>& copy) {
  std::optional<Guard> guard = lock.acquire();
  if (!guard) return Refusal::kReentrant;
  State& state = guard->state();
  if (drained(state) && check.should_stop()) {
    state = State(Stopped{});  // removes what was spilled
    return Error::io(IoKind::Interrupted);
  }
  if (std::optional<Error> error = refill_if_drained(state)) return std::move(*error);
  Value value = next_value(state);
  if (value.kind == Value::Kind::kClosed) return Refusal::kClosed;
  if (value.kind == Value::Kind::kPayload) copy.emplace(value.payload.begin(), value.payload.end());
  return Outcome();
}

// The next payload when the lock was busy: wait for it detached, and copy
// the payload out before letting the lock go.
Ref take_detached(Lock& lock) {
  InterruptCheck check;  // outlives the detached stretch
  std::optional<std::vector<std::byte>> copy;
  Outcome outcome;
  {
    Detached detached;
    outcome = copy_next(lock, check, copy);
  }
  if (!outcome.ok()) {
    std::move(outcome).raise(check);
    return {};
  }
  return copy ? make_bytes(*copy) : Ref();
}

// After decode raised: the sort cannot go on, so what was spilled goes.
void stop_after_failed_decode(Lock& lock) {
  Detached detached;
  std::optional<Guard> guard = lock.acquire();  // none if this thread holds it
  if (guard && std::holds_alternative<Reading>(guard->state())) {
    guard->state() = State(Stopped{});
  }
}

PyObject* iterator_next(PyObject* obj) {
  return boundary([&]() -> PyObject* {
    PySortedIterator* self = as_iterator(obj);
    Lock& lock = *self->lock;
    Ref bytes;
    bool decoded = false;
    bool subset_tried = false;  // take_attached offers the payload to the subset itself
    if (std::optional<Guard> guard = lock.try_acquire()) {
      bytes = take_attached(guard->state(), self->own_pickle, &decoded);
      subset_tried = true;
    } else {
      bytes = take_detached(lock);
    }
    if (!bytes || decoded || self->decode == nullptr) return bytes.release();
    if (self->own_pickle && !subset_tried) {
      const std::span<const std::byte> payload(
          reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(bytes.get())),
          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
      if (PyObject* item = pickle::loads(payload)) return item;
    }
    Ref item = Ref::steal(PyObject_CallOneArg(self->decode, bytes.get()));
    if (!item) stop_after_failed_decode(lock);
    return item.release();
  });
}

int iterator_traverse(PyObject* obj, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(obj));
  Py_VISIT(as_iterator(obj)->decode);
  return 0;
}

void iterator_dealloc(PyObject* obj) {
  PySortedIterator* self = as_iterator(obj);
  PyTypeObject* type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  release(self->lock);
  std::destroy_at(&self->lock);
  Py_XDECREF(self->decode);
  type->tp_free(obj);
  Py_DECREF(type);
}

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {Py_tp_doc, const_cast<char*>(kIteratorDoc)},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    .name = "quillmere._SortedIterator",
    .basicsize = sizeof(PySortedIterator),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = iterator_slots,
};

// The items of a large list sit at scattered places in memory, and encoding
// one mostly waits for it to arrive. Looking ahead in the list (without
// taking anything from its iterator) lets the memory fetch the item some
// turns ahead, and the parts of a tuple or list item half as many turns
// ahead, once the item itself has come. Only hints: a list changed meanwhile
// costs nothing but a wasted fetch.
void prefetch_ahead(PyObject* list, Py_ssize_t at) {
  constexpr Py_ssize_t kItemsAhead = 16;
  constexpr Py_ssize_t kPartsAhead = kItemsAhead / 2;
  constexpr Py_ssize_t kMostParts = 4;
  // The list holds its items alive while its critical section is held.
  Py_BEGIN_CRITICAL_SECTION(list);
  const Py_ssize_t size = PyList_GET_SIZE(list);
  if (at + kItemsAhead < size) __builtin_prefetch(PyList_GET_ITEM(list, at + kItemsAhead));
  if (at + kPartsAhead < size) {
    PyObject* item = PyList_GET_ITEM(list, at + kPartsAhead);
    if (PyTuple_CheckExact(item)) {
      const Py_ssize_t parts = std::min(PyTuple_GET_SIZE(item), kMostParts);
      for (Py_ssize_t i = 0; i < parts; ++i) {
        // A part's header and first bytes of content (a str's characters,
        // an int's digits) often straddle two cache lines.
        const auto* part = reinterpret_cast<const char*>(PyTuple_GET_ITEM(item, i));
        __builtin_prefetch(part);
        __builtin_prefetch(part + 56);
      }
    }
  }
  Py_END_CRITICAL_SECTION();
}

// Adds every item of an iterable; the first failure ends it, with the items
// before it added.
bool add_all(PySorter* self, PyObject* items) {
  if (!check_adding(self)) return false;
  ItemEncoder encoder = item_encoder(self);  // its buffers serve every item
  Ref iterator = Ref::steal(PyObject_GetIter(items));
  if (!iterator) return false;
  PyObject* const list = PyList_CheckExact(items) ? items : nullptr;
  for (Py_ssize_t at = 0;; ++at) {
    if (list != nullptr) prefetch_ahead(list, at);
    PyObject* next = nullptr;
    const int got = next_item(iterator.get(), &next);
    if (got <= 0) return got == 0;
    Ref item = Ref::steal(next);
    if (!push_item(self, item.get(), encoder)) return false;
  }
}

// Ends adding and returns an iterator over the sorted output.
PyObject* read(PySorter* self, PyObject* decode) {
  // The type first: once finish() has run, the sorter is read.
  Ref type = cached_type("_quillmere._SortedIterator", &iterator_spec);
  if (!type) return nullptr;
  Ref decoding = Ref::borrow(decode);
  if (!finish(self, nullptr)) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  PyObject* obj = tp->tp_alloc(tp, 0);
  if (obj == nullptr) return nullptr;
  PySortedIterator* it = as_iterator(obj);
  new (&it->lock) std::shared_ptr<Lock>(self->lock);
  it->own_pickle = decode != nullptr && self->own_pickle;
  it->decode = decoding.release();
  return obj;
}

constexpr const char* kSortParams[] = {"items"};
constexpr Signature kSortSignature{.function = "Sorter.sort",
                                   .names = kSortParams,
                                   .positional_only = 1,
                                   .max_positional = 1,
                                   .required = 0};

}  // namespace

PyObject* sorter_sort(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    PySorter* self = reinterpret_cast<PySorter*>(obj);
    PyObject* items = nullptr;
    if (!bind(kSortSignature, args, nargs, kwnames, &items)) return nullptr;
    if (items != nullptr && items != Py_None && !add_all(self, items)) return nullptr;
    return read(self, self->decode);
  });
}

PyObject* sorter_encoded(PyObject* obj, PyObject*) {
  return boundary([&]() -> PyObject* { return read(reinterpret_cast<PySorter*>(obj), nullptr); });
}

}  // namespace quillmere::python
