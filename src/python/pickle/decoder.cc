// The decoder of the pickle subset: runs the opcodes the encoder writes,
// with pickle.loads's meaning.

#include "python/pickle/decoder.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "base/byte_order.h"
#include "python/pickle/opcodes.h"
#include "python/pickle/small.h"
#include "python/ref.h"

namespace quillmere::python::pickle {
namespace {

// Runs the opcodes the encoder writes, with pickle.loads's meaning, on a
// stack of its own. Any other opcode, any inconsistency and any failure
// declines, and the caller runs the real pickle.loads, whose result or
// exception is the one to give.
class Decoder {
 public:
  explicit Decoder(std::span<const std::byte> in) : in_(in) {}
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // A new reference, or nullptr (and no exception) to decline.
  PyObject* run();

 private:
  bool take(std::size_t n, const std::uint8_t** data) {
    if (in_.size() - pos_ < n) return false;
    *data = reinterpret_cast<const std::uint8_t*>(in_.data() + pos_);
    pos_ += n;
    return true;
  }
  bool take_le(int width, std::uint64_t* value) {
    const std::uint8_t* p;
    if (!take(static_cast<std::size_t>(width), &p)) return false;
    const auto* at = reinterpret_cast<const std::byte*>(p);
    switch (width) {
      case 1: *value = p[0]; break;
      case 2: *value = load_le<std::uint16_t>(at); break;
      case 4: *value = load_le<std::uint32_t>(at); break;
      default: *value = load_le<std::uint64_t>(at); break;
    }
    return true;
  }
  bool push(PyObject* obj) {  // steals obj
    if (obj == nullptr) return false;
    stack_.push_back(Ref::steal(obj));
    return true;
  }
  // How many items are above the last mark: pickle.loads lets no opcode
  // but the one that closes a mark reach below it.
  std::size_t above_fence() const {
    return stack_.size() - (marks_.empty() ? 0 : marks_.back());
  }
  // The start of the items above the last mark, which is dropped.
  bool pop_mark(std::size_t* start) {
    if (marks_.empty()) return false;
    *start = marks_.back();
    marks_.pop_back();
    return true;
  }
  bool step(std::uint8_t code);
  bool push_sized(std::uint8_t code, int width);
  bool push_long(int width);
  bool tuple_from(std::size_t start);
  bool append_from(std::size_t start);
  bool set_items_from(std::size_t start);
  bool get(std::uint64_t index);

  std::span<const std::byte> in_;
  std::size_t pos_ = 0;
  Small<Ref, 8> stack_;
  Small<std::size_t, 4> marks_;  // stack sizes at each MARK
  Small<Ref, 8> memo_;
};

PyObject* Decoder::run() {
  const std::uint8_t* p;
  if (!take(2, &p) || p[0] != kProto || p[1] != kProtocol) return nullptr;
  if (pos_ < in_.size() && std::to_integer<std::uint8_t>(in_[pos_]) == kFrame) {
    std::uint64_t length;
    ++pos_;
    if (!take_le(8, &length) || length != in_.size() - pos_) return nullptr;
  }
  while (take(1, &p)) {
    if (*p == kStop) {
      if (pos_ != in_.size() || stack_.size() != 1 || !marks_.empty()) return nullptr;
      return stack_.back().release();
    }
    if (!step(*p)) return nullptr;
  }
  return nullptr;  // no STOP
}

bool Decoder::step(std::uint8_t code) {
  switch (code) {
    case kNone: return push(Py_NewRef(Py_None));
    case kNewTrue: return push(Py_NewRef(Py_True));
    case kNewFalse: return push(Py_NewRef(Py_False));
    case kBinInt1: case kBinInt2: case kBinInt: {
      std::uint64_t v;
      if (!take_le(code == kBinInt1 ? 1 : code == kBinInt2 ? 2 : 4, &v)) return false;
      const long value = code == kBinInt ? static_cast<std::int32_t>(v) : static_cast<long>(v);
      return push(PyLong_FromLong(value));
    }
    case kLong1: return push_long(1);
    case kLong4: return push_long(4);
    case kBinFloat: {
      const std::uint8_t* p;
      if (!take(8, &p)) return false;
      const auto bits = load_be<std::uint64_t>(reinterpret_cast<const std::byte*>(p));
      return push(PyFloat_FromDouble(std::bit_cast<double>(bits)));
    }
    case kShortBinBytes: case kShortBinUnicode: return push_sized(code, 1);
    case kBinBytes: case kBinUnicode: return push_sized(code, 4);
    case kEmptyTuple: return push(PyTuple_New(0));
    case kTuple1: case kTuple2: case kTuple3: {
      const std::size_t n = code - kTuple1 + 1u;
      return above_fence() >= n && tuple_from(stack_.size() - n);
    }
    case kMark:
      marks_.push_back(stack_.size());
      return true;
    case kTuple: {
      std::size_t start;
      return pop_mark(&start) && tuple_from(start);
    }
    case kEmptyList: return push(PyList_New(0));
    case kAppend: return above_fence() >= 2 && append_from(stack_.size() - 1);
    case kAppends: {
      std::size_t start;
      return pop_mark(&start) && start > stack_.size() - above_fence() && append_from(start);
    }
    case kEmptyDict: return push(PyDict_New());
    case kSetItem: return above_fence() >= 3 && set_items_from(stack_.size() - 2);
    case kSetItems: {
      std::size_t start;
      return pop_mark(&start) && start > stack_.size() - above_fence() && set_items_from(start);
    }
    case kMemoize:
      if (above_fence() == 0) return false;
      memo_.push_back(Ref::borrow(stack_.back().get()));
      return true;
    case kBinGet: case kLongBinGet: {
      std::uint64_t index;
      return take_le(code == kBinGet ? 1 : 4, &index) && get(index);
    }
    default:
      return false;
  }
}

bool Decoder::push_sized(std::uint8_t code, int width) {
  std::uint64_t n;
  const std::uint8_t* data;
  if (!take_le(width, &n) || !take(n, &data)) return false;
  const auto* text = reinterpret_cast<const char*>(data);
  const auto size = static_cast<Py_ssize_t>(n);
  if (code == kShortBinBytes || code == kBinBytes) {
    // A new object each time, as pickle.loads makes it: one byte given here
    // would be the interpreter's shared object for it, and two equal bytes
    // the pickle keeps apart would come back as one.
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, size);
    if (bytes != nullptr && size > 0) std::memcpy(PyBytes_AS_STRING(bytes), text, n);
    return push(bytes);
  }
  return push(PyUnicode_DecodeUTF8(text, size, "surrogatepass"));
}

bool Decoder::push_long(int width) {
  std::uint64_t n;
  const std::uint8_t* data;
  if (!take_le(width, &n) || !take(n, &data)) return false;
  if (n == 0) return push(PyLong_FromLong(0));
  return push(PyLong_FromNativeBytes(data, n, Py_ASNATIVEBYTES_LITTLE_ENDIAN));
}

bool Decoder::tuple_from(std::size_t start) {
  if (start > stack_.size()) return false;
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(stack_.size() - start));
  if (tuple == nullptr) return false;
  for (std::size_t i = start; i < stack_.size(); ++i) {
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i - start), stack_[i].release());
  }
  stack_.resize(start);
  return push(tuple);
}

bool Decoder::append_from(std::size_t start) {
  if (start == 0 || start > stack_.size()) return false;
  PyObject* list = stack_[start - 1].get();
  if (!PyList_CheckExact(list)) return false;
  for (std::size_t i = start; i < stack_.size(); ++i) {
    if (PyList_Append(list, stack_[i].get()) < 0) return false;
  }
  stack_.resize(start);
  return true;
}

bool Decoder::set_items_from(std::size_t start) {
  if (start == 0 || start > stack_.size() || (stack_.size() - start) % 2 != 0) return false;
  PyObject* dict = stack_[start - 1].get();
  if (!PyDict_CheckExact(dict)) return false;
  for (std::size_t i = start; i < stack_.size(); i += 2) {
    if (PyDict_SetItem(dict, stack_[i].get(), stack_[i + 1].get()) < 0) return false;
  }
  stack_.resize(start);
  return true;
}

bool Decoder::get(std::uint64_t index) {
  if (index >= memo_.size()) return false;
  return push(Py_NewRef(memo_[index].get()));
}

}  // namespace

PyObject* loads(std::span<const std::byte> payload) {
  PyObject* item = nullptr;
  try {
    item = Decoder(payload).run();
  } catch (const std::bad_alloc&) {
  }
  // Declining clears whatever a failed call left: the real loads meets the
  // same payload and raises its own exception.
  if (item == nullptr) PyErr_Clear();
  return item;
}

}  // namespace quillmere::python::pickle
