// _LineMerge ("_quillmere._LineMerge"), private to the package:
//
//   merge = _LineMerge(lines, count)
//   merge.feed(i, block)      # input i's next block of whole records; b"" at its end
//   merge.take(limit) -> (chunk, wanted)
//
// take() merges until the chunk holds `limit` bytes or an input has run out
// of records; `wanted` is then that input, which must be fed before the next
// take(), -1 when more is to come, or -2 when every input has ended. Equal
// keys come from the earlier input first. Every input is wanted at the start.

#include "python/package/line_merge.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "base/heap.h"
#include "key/key.h"
#include "key/line_keys.h"
#include "key/order.h"
#include "python/bytes_view.h"
#include "python/errors.h"
#include "python/package/lines.h"
#include "python/ref.h"
#include "python/type_cache.h"

namespace quillmere::python {
namespace {

using Bytes = std::span<const std::byte>;

// One input: the block it was last fed and the record the merge is at.
struct Cursor {
  Ref block;         // a bytes object of whole records
  std::size_t next;  // where the record after `record` starts in the block
  Bytes record;      // with its terminator
  Bytes key;         // the record's key: in `buffer`, or the record itself
  key::Buffer buffer;
};

struct State {
  Ref lines;  // the _Lines whose keys order the records; keeps `keys` alive
  const lines::LineKeys* keys;
  std::byte terminator;
  std::vector<Cursor> cursors;
  std::vector<std::size_t> heap;  // inputs that hold a record, least at the front
  std::vector<std::size_t> wanted;  // inputs to be fed, in order
};

struct PyLineMerge {
  PyObject_HEAD
  State* state;  // guarded by the object's critical section
};

State& state_of(PyObject* o) { return *reinterpret_cast<PyLineMerge*>(o)->state; }

// Orders the heap: input a's record comes before input b's when its key is
// less, or equal and a is the earlier input.
struct Before {
  const State& s;
  bool operator()(std::size_t a, std::size_t b) const noexcept {
    const int c = key::compare(s.cursors[a].key, s.cursors[b].key);
    return c != 0 ? c < 0 : a < b;
  }
};

// Moves input i to its block's next record and keys it; false when the
// block has none left.
bool advance(State& s, std::size_t i) {
  Cursor& c = s.cursors[i];
  const Bytes block = bytes_of(c.block.get());
  if (c.next >= block.size()) return false;
  const std::byte* at = block.data() + c.next;
  const auto* end = static_cast<const std::byte*>(
      std::memchr(at, std::to_integer<int>(s.terminator), block.size() - c.next));
  c.record = Bytes(at, end + 1);
  c.next = static_cast<std::size_t>(end + 1 - block.data());
  c.key = record_key(*s.keys, Bytes(at, end), c.buffer);
  return true;
}

// _LineMerge(lines, count)
PyObject* merge_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    PyObject* lines;
    Py_ssize_t count;
    static const char* names[] = {"lines", "count", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On:_LineMerge", const_cast<char**>(names),
                                     &lines, &count)) {
      return nullptr;
    }
    const LinesView view = lines_view(lines);
    if (view.keys == nullptr) return nullptr;
    if (count < 0) return raise_message(PyExc_ValueError, "count must not be negative");
    auto state = std::make_unique<State>();
    state->lines = Ref::borrow(lines);
    state->keys = view.keys;
    state->terminator = view.terminator;
    state->cursors.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < state->cursors.size(); ++i) state->wanted.push_back(i);
    std::reverse(state->wanted.begin(), state->wanted.end());  // taken from the back
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    reinterpret_cast<PyLineMerge*>(obj)->state = state.release();
    return obj;
  });
}

// feed(i, block): input i's next block (b"" once it has ended).
PyObject* merge_feed(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return with_state(obj, [&]() -> PyObject* {
    State& s = state_of(obj);
    if (nargs != 2) return raise_message(PyExc_TypeError, "feed takes 2 arguments");
    const Py_ssize_t i = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
    if (i == -1 && PyErr_Occurred()) return nullptr;
    if (i < 0 || s.wanted.empty() || static_cast<std::size_t>(i) != s.wanted.back()) {
      return raise_message(PyExc_ValueError, "feed the input that take() asked for");
    }
    if (!PyBytes_Check(args[1])) return raise_message(PyExc_TypeError, "a block must be bytes");
    const Bytes block = bytes_of(args[1]);
    if (!block.empty() && block.back() != s.terminator) {
      return raise_message(PyExc_ValueError, "a block must end with a record's terminator");
    }
    const auto input = static_cast<std::size_t>(i);
    s.wanted.pop_back();
    if (block.empty()) Py_RETURN_NONE;  // that input has ended
    Cursor& c = s.cursors[input];
    c.block = Ref::borrow(args[1]);
    c.next = 0;
    advance(s, input);
    s.heap.push_back(input);
    sift_up(std::span(s.heap), Before{s});
    Py_RETURN_NONE;
  });
}

// take(limit) -> (chunk, wanted)
PyObject* merge_take(PyObject* obj, PyObject* const* args, Py_ssize_t nargs) {
  return with_state(obj, [&]() -> PyObject* {
    State& s = state_of(obj);
    if (nargs != 1) return raise_message(PyExc_TypeError, "take takes 1 argument");
    const Py_ssize_t limit = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
    if (limit == -1 && PyErr_Occurred()) return nullptr;
    std::vector<std::byte> chunk;
    // Until every input has its first record, none can be handed out.
    while (s.wanted.empty() && !s.heap.empty() &&
           chunk.size() < static_cast<std::size_t>(std::max<Py_ssize_t>(limit, 1))) {
      // The head's next record takes its place, sifted down once; an input
      // whose block is done leaves the heap until it is fed again.
      const std::size_t top = s.heap.front();
      const Bytes record = s.cursors[top].record;
      chunk.insert(chunk.end(), record.begin(), record.end());
      if (!advance(s, top)) {
        s.cursors[top].block = Ref();
        s.wanted.push_back(top);
        s.heap.front() = s.heap.back();
        s.heap.pop_back();
      }
      sift_down(std::span(s.heap), Before{s});
    }
    const Py_ssize_t wanted = !s.wanted.empty() ? static_cast<Py_ssize_t>(s.wanted.back())
                              : s.heap.empty()  ? -2
                                                : -1;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.data()),
                                                     static_cast<Py_ssize_t>(chunk.size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(On)", bytes.get(), wanted);
  });
}

void merge_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  delete reinterpret_cast<PyLineMerge*>(obj)->state;
  type->tp_free(obj);
  Py_DECREF(type);
}

PyMethodDef merge_methods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_feed)),
     METH_FASTCALL, "feed(i, block): input i's next block of whole records, b'' at its end"},
    {"take", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_take)),
     METH_FASTCALL,
     "take(limit) -> (chunk, wanted): merged records, and the input to feed next (-1: none, "
     "-2: all ended)"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot merge_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(merge_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(merge_dealloc)},
    {Py_tp_methods, merge_methods},
    {Py_tp_doc, const_cast<char*>("A merge of sorted text inputs, keyed as _Lines keys them.")},
    {0, nullptr},
};

PyType_Spec merge_spec = {
    .name = "_quillmere._LineMerge",
    .basicsize = sizeof(PyLineMerge),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = merge_slots,
};

}  // namespace

Ref line_merge_type() { return cached_type("_quillmere._LineMerge", &merge_spec); }

}  // namespace quillmere::python
