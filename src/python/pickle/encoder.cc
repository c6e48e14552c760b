// The encoder of the pickle subset: writes what CPython's own pickler
// writes for protocol 5.
//
// The pickler's rules that matter here: after PROTO 5 the rest is one frame
// (FRAME and an 8-byte length) when it holds at least 4 bytes, else no
// frame; str, bytes, tuples, lists and dicts are memoized (MEMOIZE, then
// BINGET or LONG_BINGET when the same object comes again), None, bools,
// ints, floats and the empty tuple are not; list items go in batches of
// 1000 between MARK and APPENDS (one item alone with APPEND), and dict
// items likewise with SETITEMS (one with SETITEM).

#include "python/pickle/encoder.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>

#include "base/byte_order.h"
#include "python/pickle/opcodes.h"
#include "python/pickle/small.h"
#include "python/ref.h"

namespace quillmere::python::pickle {
namespace {

constexpr std::size_t kMemoScan = 16;  // memos this small are searched in order

// Appends pickles to a buffer. Growing the buffer or the memo may throw
// std::bad_alloc.
//
// It writes through a cursor into the whole capacity of the buffer, which
// is resized to what was written when the encoder ends.
class Encoder {
 public:
  Encoder(std::vector<std::byte>& out, std::size_t at) : out_(out) {
    out_.resize(std::max<std::size_t>(out_.capacity(), 64));
    cur_ = out_.data() + at;
    end_ = out_.data() + out_.size();
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  ~Encoder() {
    out_.resize(static_cast<std::size_t>(cur_ - out_.data()));
  }

  // Appends the pickle of obj; false when it is outside the subset.
  bool save(PyObject* obj, int depth);
  void op(std::uint8_t code) {
    room(1);
    *cur_++ = std::byte{code};
  }

 private:
  static bool decline() noexcept { return false; }
  std::size_t written() const noexcept { return static_cast<std::size_t>(cur_ - out_.data()); }
  void room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cur_) >= n) return;
    const std::size_t at = written();
    out_.resize(std::max(2 * out_.size(), at + n));
    cur_ = out_.data() + at;
    end_ = out_.data() + out_.size();
  }
  // An opcode and a little-endian field of `width` bytes.
  void op_le(std::uint8_t code, std::uint64_t value, int width) {
    room(9);
    *cur_++ = std::byte{code};
    store_le(cur_, value);  // all 8 bytes; the cursor keeps `width`
    cur_ += width;
  }
  void bytes(const void* data, std::size_t n) {
    room(n);
    if (n != 0) std::memcpy(cur_, data, n);
    cur_ += n;
  }

  bool save_int(PyObject* obj);
  void save_float(PyObject* obj);
  bool save_str(PyObject* obj);
  bool save_bytes(PyObject* obj);
  bool save_tuple(PyObject* obj, int depth);
  bool save_list(PyObject* obj, int depth);
  bool save_dict(PyObject* obj, int depth);

  // The memo index of obj, or -1.
  std::ptrdiff_t memo_find(PyObject* obj) const;
  void memo_get(std::size_t index);
  void memoize(PyObject* obj);

  std::vector<std::byte>& out_;
  std::byte* cur_;  // where the next byte goes
  std::byte* end_;  // the end of the buffer's bytes
  // The memoized objects, in memo order, held so that no address can be
  // reused by another object while the encoding lasts.
  Small<Ref, 8> memo_;
  std::unordered_map<PyObject*, std::size_t> index_;  // filled past kMemoScan entries
};

bool Encoder::save(PyObject* obj, int depth) {
  if (written() >= kHeader + kFrameTarget) return decline();  // more than one frame
  if (obj == Py_None) {
    op(kNone);
    return true;
  }
  if (obj == Py_True || obj == Py_False) {
    op(obj == Py_True ? kNewTrue : kNewFalse);
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyLong_Type) return save_int(obj);
  if (type == &PyFloat_Type) {
    save_float(obj);
    return true;
  }
  if (std::ptrdiff_t index = memo_find(obj); index >= 0) {
    memo_get(static_cast<std::size_t>(index));
    return true;
  }
  if (type == &PyBytes_Type) return save_bytes(obj);
  if (type == &PyUnicode_Type) return save_str(obj);
  if (depth >= kMaxDepth) return decline();
  if (type == &PyTuple_Type) return save_tuple(obj, depth + 1);
  if (type == &PyList_Type) return save_list(obj, depth + 1);
  if (type == &PyDict_Type) return save_dict(obj, depth + 1);
  return decline();
}

bool Encoder::save_int(PyObject* obj) {
  long value = 0;
  int overflow = 0;
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    value = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj)));
  } else {
    value = PyLong_AsLongAndOverflow(obj, &overflow);
  }
  if (overflow == 0 && value >= INT32_MIN && value <= INT32_MAX) {
    const auto v = static_cast<std::uint32_t>(value);
    if (v <= 0xff) {
      op_le(kBinInt1, v, 1);
    } else if (v <= 0xffff) {
      op_le(kBinInt2, v, 2);
    } else {
      op_le(kBinInt, v, 4);  // negatives too: four bytes of two's complement
    }
    return true;
  }
  // The fewest bytes of two's complement, little-endian: the size the C API
  // asks for may hold a spare byte of sign.
  constexpr int kFlags = Py_ASNATIVEBYTES_LITTLE_ENDIAN;
  std::uint8_t small[8];
  std::vector<std::uint8_t> large;
  std::uint8_t* digits = small;
  std::size_t n = sizeof small;
  if (overflow == 0) {
    store_le(reinterpret_cast<std::byte*>(small), static_cast<std::uint64_t>(value));
  } else {
    const Py_ssize_t asked = PyLong_AsNativeBytes(obj, nullptr, 0, kFlags);
    if (asked <= 0) {
      PyErr_Clear();
      return decline();
    }
    large.resize(static_cast<std::size_t>(asked));
    if (PyLong_AsNativeBytes(obj, large.data(), asked, kFlags) < 0) {
      PyErr_Clear();
      return decline();
    }
    digits = large.data();
    n = large.size();
  }
  while (n > 1 && ((digits[n - 1] == 0xff && (digits[n - 2] & 0x80) != 0) ||
                   (digits[n - 1] == 0x00 && (digits[n - 2] & 0x80) == 0))) {
    --n;
  }
  if (n < 256) {
    op_le(kLong1, n, 1);
  } else {
    op_le(kLong4, n, 4);
  }
  bytes(digits, n);
  return true;
}

void Encoder::save_float(PyObject* obj) {
  op(kBinFloat);
  room(8);
  store_be(cur_, std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(obj)));
  cur_ += 8;
}

bool Encoder::save_str(PyObject* obj) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {  // lone surrogates: pickle encodes them with surrogatepass
    PyErr_Clear();
    return decline();
  }
  const auto n = static_cast<std::size_t>(size);
  if (n >= kFrameTarget) return decline();  // more than one frame
  if (n <= 0xff) {
    op_le(kShortBinUnicode, n, 1);
  } else {
    op_le(kBinUnicode, n, 4);
  }
  bytes(utf8, n);
  memoize(obj);
  return true;
}

bool Encoder::save_bytes(PyObject* obj) {
  const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(obj));
  if (n >= kFrameTarget) return decline();  // more than one frame
  if (n <= 0xff) {
    op_le(kShortBinBytes, n, 1);
  } else {
    op_le(kBinBytes, n, 4);
  }
  bytes(PyBytes_AS_STRING(obj), n);
  memoize(obj);
  return true;
}

bool Encoder::save_tuple(PyObject* obj, int depth) {
  const Py_ssize_t n = PyTuple_GET_SIZE(obj);
  if (n == 0) {
    op(kEmptyTuple);
    return true;
  }
  if (n > 3) op(kMark);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!save(PyTuple_GET_ITEM(obj, i), depth)) return false;
  }
  // A tuple met again among its own items (through a list) is written by
  // the pickler with POPs and a GET; rare enough to leave to it.
  if (memo_find(obj) >= 0) return decline();
  op(n == 1 ? kTuple1 : n == 2 ? kTuple2 : n == 3 ? kTuple3 : kTuple);
  memoize(obj);
  return true;
}

bool Encoder::save_list(PyObject* obj, int depth) {
  op(kEmptyList);
  memoize(obj);
  // The items are taken while the list is locked, and held: another thread
  // may change the list meanwhile.
  std::vector<Ref> items;
  Py_BEGIN_CRITICAL_SECTION(obj);
  const Py_ssize_t n = PyList_GET_SIZE(obj);
  items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) items.push_back(Ref::borrow(PyList_GET_ITEM(obj, i)));
  Py_END_CRITICAL_SECTION();
  for (std::size_t done = 0; done < items.size();) {
    const std::size_t end = std::min(items.size(), done + kBatch);
    const bool alone = end - done == 1 && (kBatchesOfOneAlone || items.size() == 1);
    if (!alone) op(kMark);
    for (; done < end; ++done) {
      if (!save(items[done].get(), depth)) return false;
    }
    op(alone ? kAppend : kAppends);
  }
  return true;
}

bool Encoder::save_dict(PyObject* obj, int depth) {
  op(kEmptyDict);
  memoize(obj);
  std::vector<std::pair<Ref, Ref>> items;
  Py_BEGIN_CRITICAL_SECTION(obj);
  items.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    items.emplace_back(Ref::borrow(key), Ref::borrow(value));
  }
  Py_END_CRITICAL_SECTION();
  if (items.empty()) return true;
  std::size_t done = 0;
  std::size_t batch;
  do {
    const std::size_t end = std::min(items.size(), done + kBatch);
    batch = end - done;
    const bool alone = batch == 1 && (kBatchesOfOneAlone || items.size() == 1);
    if (!alone) op(kMark);
    for (; done < end; ++done) {
      if (!save(items[done].first.get(), depth) || !save(items[done].second.get(), depth)) {
        return false;
      }
    }
    op(alone ? kSetItem : kSetItems);
    // The older pickler goes on after a full batch even with no item left.
  } while (done < items.size() || (!kBatchesOfOneAlone && batch == kBatch));
  return true;
}

std::ptrdiff_t Encoder::memo_find(PyObject* obj) const {
  if (memo_.size() <= kMemoScan) {
    for (std::size_t i = 0; i < memo_.size(); ++i) {
      if (memo_[i].get() == obj) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  }
  auto it = index_.find(obj);
  return it == index_.end() ? -1 : static_cast<std::ptrdiff_t>(it->second);
}

void Encoder::memo_get(std::size_t index) {
  if (index <= 0xff) {
    op_le(kBinGet, index, 1);
  } else {
    op_le(kLongBinGet, index, 4);
  }
}

void Encoder::memoize(PyObject* obj) {
  op(kMemoize);
  memo_.push_back(Ref::borrow(obj));
  if (memo_.size() == kMemoScan + 1) {
    for (std::size_t i = 0; i < memo_.size(); ++i) index_.emplace(memo_[i].get(), i);
  } else if (memo_.size() > kMemoScan + 1) {
    index_.emplace(obj, memo_.size() - 1);
  }
}

}  // namespace

int is_interpreters_pickle(PyObject* dumps, PyObject* loads) {
  Ref accelerator = Ref::steal(PyImport_ImportModule("_pickle"));
  if (!accelerator) {
    // An interpreter built without it has only the Python pickler.
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
    PyErr_Clear();
    return 0;
  }
  Ref own_dumps = Ref::steal(PyObject_GetAttrString(accelerator.get(), "dumps"));
  if (!own_dumps) return -1;
  Ref own_loads = Ref::steal(PyObject_GetAttrString(accelerator.get(), "loads"));
  if (!own_loads) return -1;
  return dumps == own_dumps.get() && loads == own_loads.get();
}

bool dumps(PyObject* item, std::vector<std::byte>& out) {
  try {
    // PROTO 5 and room for FRAME and its length, dropped if unused.
    Encoder encoder(out, kHeader);
    if (!encoder.save(item, 0)) return false;
    encoder.op(kStop);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  out[0] = std::byte{kProto};
  out[1] = std::byte{kProtocol};
  const std::size_t content = out.size() - kHeader;
  if (content >= kFrameTarget) return false;  // the pickler would cut it in frames
  if (content < kFrameMin) {
    out.erase(out.begin() + 2, out.begin() + kHeader);
    return true;
  }
  out[2] = std::byte{kFrame};
  store_le<std::uint64_t>(out.data() + 3, content);
  return true;
}

}  // namespace quillmere::python::pickle
