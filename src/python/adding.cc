// Adding items.

#include "python/adding.h"

#include <optional>
#include <variant>

#include "python/args.h"
#include "python/bytes_view.h"
#include "python/errors.h"
#include "python/interrupt.h"
#include "python/key_encoder.h"
#include "python/outcome.h"
#include "python/pickle/encoder.h"
#include "python/ref.h"

namespace quillmere::python {
namespace {

constexpr long kPickleProtocol = 5;

Outcome push_to_state(State& state, std::span<const std::byte> key,
                      std::span<const std::byte> payload, StopCheck& stop) {
  auto* adding = std::get_if<Adding>(&state);
  if (adding == nullptr) return refusal_to_add(state);
  Result<> pushed = adding->sorter->push(key, payload, stop);
  if (!pushed) return std::move(pushed.error());
  return Outcome();
}

// The payload of an item: the codec's encode(item), or pickle.dumps(item, 5).
Ref encode_item(PyObject* encode, bool pickled, PyObject* item) {
  if (!pickled) return Ref::steal(PyObject_CallOneArg(encode, item));
  Ref protocol = Ref::steal(PyLong_FromLong(kPickleProtocol));
  if (!protocol) return {};
  PyObject* args[] = {item, protocol.get()};
  return Ref::steal(PyObject_Vectorcall(encode, args, 2, nullptr));
}

void refuse_payload(PyObject* payload) {
  if (payload == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bytes'");
  } else if (Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(payload)))) {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'bytes'", name.get());
  }
  add_processing_note("payload");
}

constexpr const char* kAddParams[] = {"item"};
constexpr Signature kAddSignature{.function = "Sorter.add",
                                  .names = kAddParams,
                                  .positional_only = 1,
                                  .max_positional = 1,
                                  .required = 1};
constexpr const char* kAddEncodedParams[] = {"key", "payload"};
constexpr Signature kAddEncodedSignature{.function = "Sorter.add_encoded",
                                         .names = kAddEncodedParams,
                                         .positional_only = 2,
                                         .max_positional = 2,
                                         .required = 2};

}  // namespace

bool check_adding(PySorter* self) {
  switch (self->status.load()) {
    case kStatusOpen:
      return true;
    case kStatusClosed:
      return raise_refusal(Refusal::kClosed);
    default:
      break;
  }
  // Read: the state says whether reading failed, if the lock is free to
  // look; a busy lock is most likely a reader at work.
  std::optional<Guard> guard = self->lock->try_acquire();
  if (guard && std::holds_alternative<Stopped>(guard->state())) {
    guard.reset();
    return raise_refusal(Refusal::kStopped);
  }
  guard.reset();
  return raise_refusal(Refusal::kAddAfterRead);
}

bool push_record(PySorter* self, std::span<const std::byte> key,
                 std::span<const std::byte> payload) {
  InterruptCheck check;  // outlives the detached stretches below
  Outcome outcome;
  Lock& lock = *self->lock;
  if (std::optional<Guard> guard = lock.try_acquire()) {
    auto* adding = std::get_if<Adding>(&guard->state());
    if (adding == nullptr) {
      outcome = refusal_to_add(guard->state());
    } else if (!adding->sorter->push_if_it_fits(key, payload)) {
      // Growing the half, waiting for a spill and starting one take time:
      // let others run.
      Detached detached;
      outcome = push_to_state(guard->state(), key, payload, check);
    } else if (adding->sorter->sort_due()) {
      // Adding is ahead of the spill in flight: what this thread sorts now
      // it would otherwise spend waiting for the spill thread to sort.
      Detached detached;
      adding->sorter->sort_complete_pieces();
    }
  } else {
    Detached detached;
    std::optional<Guard> waited = lock.acquire();
    outcome = waited ? push_to_state(waited->state(), key, payload, check)
                     : Outcome(Refusal::kReentrant);
  }
  if (!outcome.ok()) return std::move(outcome).raise(check);
  self->added.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool append_sort_key(PyObject* value, key::Buffer& out) { return encode_key(value, out, 0); }

std::optional<ItemEncoder::Record> ItemEncoder::encode(PyObject* item) {
  key_.clear();
  encoded_ = Ref();
  if (key_function_ != nullptr) {
    Ref key = Ref::steal(PyObject_CallOneArg(key_function_, item));
    if (!key || !encode_key(key.get(), key_, 0)) return std::nullopt;
  } else if (!encode_key(item, key_, 0)) {
    return std::nullopt;
  }
  // The payload goes from here into the half, with no bytes object between.
  if (own_pickle_) {
    if (pickle::dumps(item, pickled_payload_)) return Record{key_, pickled_payload_};
    if (PyErr_Occurred()) return std::nullopt;
  }
  encoded_ = encode_item(encode_, pickled_, item);
  if (!encoded_) return std::nullopt;
  if (!PyBytes_Check(encoded_.get())) {
    if (Ref name = type_name(encoded_.get())) {
      PyErr_Format(PyExc_TypeError, "a codec must encode an item into bytes, not %U", name.get());
    }
    return std::nullopt;
  }
  return Record{key_, bytes_of(encoded_.get())};
}

ItemEncoder item_encoder(PySorter* self) noexcept {
  return ItemEncoder(self->key, self->encode, !self->has_codec, self->own_pickle);
}

bool push_item(PySorter* self, PyObject* item, ItemEncoder& encoder) {
  const std::optional<ItemEncoder::Record> record = encoder.encode(item);
  return record && push_record(self, record->key, record->payload);
}

PySorter* adding_sorter(PyObject* o, const char* caller) {
  if (!is_sorter(o)) {
    PyErr_Format(PyExc_TypeError, "%s needs a Sorter", caller);
    return nullptr;
  }
  auto* sorter = reinterpret_cast<PySorter*>(o);
  return check_adding(sorter) ? sorter : nullptr;
}

PyObject* sorter_add(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    PySorter* self = reinterpret_cast<PySorter*>(obj);
    PyObject* item;
    if (!bind(kAddSignature, args, nargs, kwnames, &item)) return nullptr;
    if (!check_adding(self)) return nullptr;
    ItemEncoder encoder = item_encoder(self);
    if (!push_item(self, item, encoder)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* sorter_add_encoded(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    PySorter* self = reinterpret_cast<PySorter*>(obj);
    PyObject* arg[2];
    if (!bind(kAddEncodedSignature, args, nargs, kwnames, arg)) return nullptr;
    PyObject* payload = arg[1];
    if (!PyBytes_Check(payload)) {
      refuse_payload(payload);
      return nullptr;
    }
    if (!check_adding(self)) return nullptr;
    key::Buffer buffer;  // 64 bytes inside: most keys need no allocation
    if (!encode_key(arg[0], buffer, 0)) return nullptr;
    if (!push_record(self, buffer, bytes_of(payload))) return nullptr;
    Py_RETURN_NONE;
  });
}

}  // namespace quillmere::python
