// Adding items.

#include "python/adding.h"

#include <optional>
#include <variant>

#include "python/args.h"
#include "python/bytes_view.h"
#include "python/errors.h"
#include "python/interrupt.h"
#include "python/key_encoder.h"
#include "python/pickle/encoder.h"
#include "python/ref.h"

namespace quillmere::python {
namespace {

constexpr long kPickleProtocol = 5;

// What a push under the lock came to, raised once the thread is attached.
using Outcome = std::variant<std::monostate, Refusal, Error>;

Outcome push_to_state(State& state, std::span<const std::byte> key,
                      std::span<const std::byte> payload, StopCheck& stop) {
  auto* adding = std::get_if<Adding>(&state);
  if (adding == nullptr) return refusal_to_add(state);
  Result<> pushed = adding->sorter->push(key, payload, stop);
  if (!pushed) return std::move(pushed.error());
  return {};
}

// The payload of an item: the codec's encode(item), or pickle.dumps(item, 5).
Ref encode_item(const Encoder& encoder, PyObject* item) {
  if (!encoder.is_pickle) return Ref::steal(PyObject_CallOneArg(encoder.encode, item));
  Ref protocol = Ref::steal(PyLong_FromLong(kPickleProtocol));
  if (!protocol) return {};
  PyObject* args[] = {item, protocol.get()};
  return Ref::steal(PyObject_Vectorcall(encoder.encode, args, 2, nullptr));
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

bool push(PySorter* self, std::span<const std::byte> key, std::span<const std::byte> payload) {
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
    }
  } else {
    Detached detached;
    std::optional<Guard> waited = lock.acquire();
    outcome = waited ? push_to_state(waited->state(), key, payload, check)
                     : Outcome(Refusal::kReentrant);
  }
  if (std::holds_alternative<std::monostate>(outcome)) {
    self->added.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  if (auto* refusal = std::get_if<Refusal>(&outcome)) return raise_refusal(*refusal);
  check.raise_instead(std::move(std::get<Error>(outcome)));
  return false;
}

std::optional<std::span<const std::byte>> encode_record(PyObject* key_function, PyObject* item,
                                                        const Encoder& encoder,
                                                        ItemBuffers& buffers, Ref& encoded) {
  key::Buffer& buffer = buffers.key;
  buffer.clear();
  if (key_function != nullptr) {
    Ref key = Ref::steal(PyObject_CallOneArg(key_function, item));
    if (!key || !encode_key(key.get(), buffer, 0)) return std::nullopt;
  } else if (!encode_key(item, buffer, 0)) {
    return std::nullopt;
  }
  // The payload goes from here into the half, with no bytes object between.
  if (encoder.own_pickle) {
    if (pickle::dumps(item, buffers.payload)) return std::span<const std::byte>(buffers.payload);
    if (PyErr_Occurred()) return std::nullopt;
  }
  encoded = encode_item(encoder, item);
  if (!encoded) return std::nullopt;
  if (!PyBytes_Check(encoded.get())) {
    if (Ref name = type_name(encoded.get())) {
      PyErr_Format(PyExc_TypeError, "a codec must encode an item into bytes, not %U", name.get());
    }
    return std::nullopt;
  }
  return bytes_of(encoded.get());
}

bool push_item(PySorter* self, PyObject* item, ItemBuffers& buffers) {
  const Encoder encoder{self->encode, !self->has_codec, self->own_pickle};
  Ref encoded;
  const std::optional<std::span<const std::byte>> payload =
      encode_record(self->key, item, encoder, buffers, encoded);
  return payload && push(self, buffers.key, *payload);
}

PyObject* sorter_add(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    PySorter* self = reinterpret_cast<PySorter*>(obj);
    PyObject* item;
    if (!bind(kAddSignature, args, nargs, kwnames, &item)) return nullptr;
    if (!check_adding(self)) return nullptr;
    ItemBuffers buffers;
    if (!push_item(self, item, buffers)) return nullptr;
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
    if (!push(self, buffer, bytes_of(payload))) return nullptr;
    Py_RETURN_NONE;
  });
}

}  // namespace quillmere::python
