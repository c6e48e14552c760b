// The pickle subset: an encoder that writes what CPython's own pickler
// writes for protocol 5, and a decoder for the opcodes it uses.
//
// The pickler's rules that matter here: after PROTO 5 the rest is one frame
// (FRAME and an 8-byte length) when it holds at least 4 bytes, else no
// frame; str, bytes, tuples, lists and dicts are memoized (MEMOIZE, then
// BINGET or LONG_BINGET when the same object comes again), None, bools,
// ints, floats and the empty tuple are not; list items go in batches of
// 1000 between MARK and APPENDS (one item alone with APPEND), and dict
// items likewise with SETITEMS (one with SETITEM).

#include "python/pickle_subset.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>

#include "python/ref.h"

namespace quillmere::python::pickle {
namespace {

// Opcodes, named as the pickle module names them.
enum Op : std::uint8_t {
  kMark = '(',
  kStop = '.',
  kPop = '0',
  kPopMark = '1',
  kBinFloat = 'G',
  kBinInt = 'J',
  kBinInt1 = 'K',
  kBinInt2 = 'M',
  kNone = 'N',
  kBinUnicode = 'X',
  kAppend = 'a',
  kAppends = 'e',
  kBinGet = 'h',
  kLongBinGet = 'j',
  kSetItem = 's',
  kTuple = 't',
  kSetItems = 'u',
  kEmptyDict = '}',
  kEmptyList = ']',
  kEmptyTuple = ')',
  kBinBytes = 'B',
  kShortBinBytes = 'C',
  kProto = 0x80,
  kTuple1 = 0x85,
  kTuple2 = 0x86,
  kTuple3 = 0x87,
  kNewTrue = 0x88,
  kNewFalse = 0x89,
  kLong1 = 0x8a,
  kLong4 = 0x8b,
  kShortBinUnicode = 0x8c,
  kMemoize = 0x94,
  kFrame = 0x95,
};

constexpr std::uint8_t kProtocol = 5;
constexpr std::size_t kFrameTarget = 64 * 1024;  // the pickler starts a new frame here
constexpr std::size_t kFrameMin = 4;             // shorter contents get no frame
constexpr std::size_t kHeader = 2 + 1 + 8;       // PROTO 5, FRAME, its length
constexpr std::size_t kBatch = 1000;
constexpr std::size_t kMemoScan = 16;            // memos this small are searched in order
// How the pickler of this interpreter cuts items into batches. Up to 3.14
// only a list or dict of one item is written without MARK, and a dict whose
// size is a multiple of the batch ends with an empty batch; from 3.15 any
// batch of one item goes without MARK, and no batch is empty.
constexpr bool kBatchesOfOneAlone = PY_VERSION_HEX >= 0x030F0000;

// Little-endian fields, as pickle writes them.
template <class T>
void store_le(std::byte* at, T value) noexcept {
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  std::memcpy(at, &value, sizeof value);
}
template <class T>
T load_le(const std::byte* at) noexcept {
  T value;
  std::memcpy(&value, at, sizeof value);
  if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
  return value;
}

// A sequence whose first N elements live inside it, so that the few that
// a typical item needs cost no allocation.
template <class T, std::size_t N>
class Small {
 public:
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](std::size_t i) noexcept { return i < N ? inline_[i] : more_[i - N]; }
  const T& operator[](std::size_t i) const noexcept { return i < N ? inline_[i] : more_[i - N]; }
  T& back() noexcept { return (*this)[size_ - 1]; }
  const T& back() const noexcept { return (*this)[size_ - 1]; }
  void push_back(T value) {
    if (size_ < N) {
      inline_[size_] = std::move(value);
    } else {
      more_.push_back(std::move(value));
    }
    ++size_;
  }
  void pop_back() noexcept { resize(size_ - 1); }
  // Drops the elements from n on. REQUIRES: n <= size().
  void resize(std::size_t n) noexcept {
    for (std::size_t i = n; i < std::min(size_, N); ++i) inline_[i] = T();
    if (size_ > N) more_.resize(n > N ? n - N : 0);
    size_ = n;
  }

 private:
  std::array<T, N> inline_{};
  std::vector<T> more_;
  std::size_t size_ = 0;
};

// ---- encoding ----

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
    store_le(reinterpret_cast<std::byte*>(small), static_cast<std::int64_t>(value));
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
  std::uint64_t bits = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(obj));
  if constexpr (std::endian::native == std::endian::little) bits = std::byteswap(bits);
  op(kBinFloat);
  bytes(&bits, 8);  // big-endian
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

// ---- decoding ----

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
      std::uint64_t bits;
      if (!take_le(8, &bits)) return false;
      bits = std::byteswap(bits);  // the field is big-endian
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
  if (code == kShortBinBytes || code == kBinBytes) return push(PyBytes_FromStringAndSize(text, size));
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

namespace quillmere::python::pickle {

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
