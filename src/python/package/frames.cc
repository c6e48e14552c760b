// DataFrames sorted across processes.

#include "python/package/frames.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <new>
#include <iterator>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "base/byte_order.h"
#include "base/tournament.h"
#include "key/column_keys.h"
#include "key/key.h"
#include "key/order.h"
#include "python/errors.h"
#include "python/package/pieces.h"
#include "python/records.h"
#include "python/ref.h"

namespace quillmere::python {
namespace {

// A buffer exported by an object, released when this goes.
class View {
 public:
  explicit View(Py_buffer view) noexcept : view_(view) {}
  ~View() { PyBuffer_Release(&view_); }
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  const std::byte* data() const noexcept { return static_cast<const std::byte*>(view_.buf); }
  std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_;
};

// The buffers of one call, kept until it returns.
class Views {
 public:
  // A view of `o`'s bytes, or nullptr with an exception set.
  const View* open(PyObject* o, const char* what) {
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_C_CONTIGUOUS) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be a contiguous buffer", what);
      return nullptr;
    }
    auto held = std::unique_ptr<View>(new (std::nothrow) View(view));
    if (!held) {
      PyBuffer_Release(&view);
      throw std::bad_alloc();
    }
    views_.push_back(std::move(held));  // may throw, and then releases the view
    return views_.back().get();
  }

 private:
  std::vector<std::unique_ptr<View>> views_;
};

Ref bytes_from(const void* data, std::size_t size) {
  return Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data),
                                              static_cast<Py_ssize_t>(size)));
}

// Little-endian u64s, as offsets, orders and positions travel.
Ref offsets_bytes(const std::vector<std::uint64_t>& offsets) {
  Ref out = Ref::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(8 * offsets.size())));
  if (!out) return out;
  auto* to = reinterpret_cast<std::byte*>(PyBytes_AS_STRING(out.get()));
  for (std::size_t i = 0; i < offsets.size(); ++i) store_le(to + 8 * i, offsets[i]);
  return out;
}

// Keys as an arena and its offsets, checked to stay inside it.
struct KeysView {
  const std::byte* bytes;
  const std::byte* offsets;
  std::size_t rows;

  std::uint64_t at(std::size_t row) const noexcept {
    return load_le<std::uint64_t>(offsets + 8 * row);
  }
  key::Bytes key(std::size_t row) const noexcept { return {bytes + at(row), bytes + at(row + 1)}; }
};

std::optional<KeysView> read_keys(Views& views, PyObject* keys, PyObject* offsets) {
  const View* k = views.open(keys, "keys");
  const View* o = k != nullptr ? views.open(offsets, "offsets") : nullptr;
  if (o == nullptr) return std::nullopt;
  if (o->size() < 8 || o->size() % 8 != 0) {
    PyErr_SetString(PyExc_ValueError, "offsets must hold at least one 8-byte offset");
    return std::nullopt;
  }
  const KeysView view{k->data(), o->data(), o->size() / 8 - 1};
  std::uint64_t last = view.at(0);
  bool rising = true;
  for (std::size_t row = 1; rising && row <= view.rows; ++row) {
    const std::uint64_t next = view.at(row);
    rising = next >= last;
    last = next;
  }
  if (rising && last <= k->size()) return view;
  PyErr_SetString(PyExc_ValueError, "offsets must rise and stay within the keys");
  return std::nullopt;
}

// Pre-encoded fields of an object column: each present value keyed as a
// Sorter keys it.
struct Encoded {
  std::vector<std::byte> data;
  std::vector<std::uint64_t> offsets{0};
};

bool encode_objects(PyObject* values, const std::uint8_t* missing, std::size_t rows,
                    Encoded& out) {
  Ref list = Ref::steal(PySequence_Fast(values, "an object column's values must be a sequence"));
  if (!list) return false;
  if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list.get())) < rows) {
    PyErr_SetString(PyExc_ValueError, "an object column holds fewer values than rows");
    return false;
  }
  key::Buffer buffer;
  out.offsets.reserve(rows + 1);
  for (std::size_t row = 0; row < rows; ++row) {
    if (missing == nullptr || missing[row] == 0) {
      buffer.clear();
      PyObject* value = PySequence_Fast_GET_ITEM(list.get(), static_cast<Py_ssize_t>(row));
      if (!append_sort_key(value, buffer)) return false;
      out.data.insert(out.data.end(), buffer.data(), buffer.data() + buffer.size());
    }
    out.offsets.push_back(out.data.size());
  }
  return true;
}

bool width_of(PyObject* o, unsigned& width) {
  const long w = PyLong_AsLong(o);
  if (w == -1 && PyErr_Occurred()) return false;
  if (w != 1 && w != 2 && w != 4 && w != 8) {
    PyErr_SetString(PyExc_ValueError, "a column's width must be 1, 2, 4 or 8");
    return false;
  }
  width = static_cast<unsigned>(w);
  return true;
}

// Checks that an Arrow binary column's offsets (already `c.offsets`) rise and
// stay within its data.
bool check_binary(const key::KeyColumn& c, const View& offsets, const View& data,
                  const View* validity, std::size_t rows) {
  const std::size_t slots = c.first + rows + 1;
  if (offsets.size() / c.width < slots ||
      (validity != nullptr && validity->size() < (c.first + rows + 7) / 8)) {
    PyErr_SetString(PyExc_ValueError, "a binary column's buffers hold fewer rows than asked");
    return false;
  }
  std::uint64_t last = 0;
  for (std::size_t slot = c.first; slot < slots; ++slot) {
    const std::uint64_t at = key::binary_offset(c, slot);
    if (at > data.size() || (slot > c.first && at < last)) {
      PyErr_SetString(PyExc_ValueError, "a binary column's offsets must rise within its data");
      return false;
    }
    last = at;
  }
  return true;
}

// One column's tuple as a KeyColumn over buffers held by `views` (and, for
// objects, their encodings held by `encoded`).
bool read_column(PyObject* tuple, std::size_t rows, Views& views, std::deque<Encoded>& encoded,
                 key::KeyColumn& c) {
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) != 10 ||
      !PyUnicode_Check(PyTuple_GET_ITEM(tuple, 0))) {
    PyErr_SetString(PyExc_TypeError, "a key column must be a tuple of 10, its kind first");
    return false;
  }
  auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(tuple, i); };
  const int descending = PyObject_IsTrue(item(2));
  const int missing_last = PyObject_IsTrue(item(3));
  if (descending < 0 || missing_last < 0) return false;
  c.descending = descending != 0;
  c.missing_last = missing_last != 0;
  if (item(7) != Py_None) {
    const View* missing = views.open(item(7), "missing");
    if (missing == nullptr) return false;
    if (missing->size() < rows) {
      PyErr_SetString(PyExc_ValueError, "a column's missing flags hold fewer rows than asked");
      return false;
    }
    c.missing = reinterpret_cast<const std::uint8_t*>(missing->data());
  }
  const char* kind = PyUnicode_AsUTF8(item(0));
  if (kind == nullptr) return false;
  const std::string_view k(kind);
  if (k == "o") {
    Encoded& e = encoded.emplace_back();
    if (!encode_objects(item(4), c.missing, rows, e)) return false;
    c.kind = key::KeyColumn::Kind::kEncoded;
    c.offsets = reinterpret_cast<const std::byte*>(e.offsets.data());
    c.data = e.data.data();
    return true;
  }
  if (!width_of(item(1), c.width)) return false;
  if (k == "i" || k == "u" || k == "f") {
    c.kind = k == "i"   ? key::KeyColumn::Kind::kSigned
             : k == "u" ? key::KeyColumn::Kind::kUnsigned
                        : key::KeyColumn::Kind::kFloat;
    if (c.kind == key::KeyColumn::Kind::kFloat && c.width != 4 && c.width != 8) {
      PyErr_SetString(PyExc_ValueError, "a float column's width must be 4 or 8");
      return false;
    }
    const View* values = views.open(item(4), "values");
    if (values == nullptr) return false;
    if (values->size() / c.width < rows) {
      PyErr_SetString(PyExc_ValueError, "a column's values hold fewer rows than asked");
      return false;
    }
    c.values = values->data();
    return true;
  }
  if (k == "b") {
    c.kind = key::KeyColumn::Kind::kBinary;
    if (c.width != 4 && c.width != 8) {
      PyErr_SetString(PyExc_ValueError, "a binary column's offsets must be 4 or 8 bytes wide");
      return false;
    }
    const Py_ssize_t first = PyLong_AsSsize_t(item(9));
    if (first < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "an offset must not be negative");
      return false;
    }
    c.first = static_cast<std::size_t>(first);
    const View* offsets = views.open(item(5), "offsets");
    const View* data = offsets != nullptr ? views.open(item(6), "data") : nullptr;
    if (data == nullptr) return false;
    const View* validity = nullptr;
    if (item(8) != Py_None && (validity = views.open(item(8), "validity")) == nullptr) {
      return false;
    }
    c.offsets = offsets->data();
    if (!check_binary(c, *offsets, *data, validity, rows)) return false;
    c.data = data->data();
    c.validity =
        validity != nullptr ? reinterpret_cast<const std::uint8_t*>(validity->data()) : nullptr;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "unknown key column kind %R", item(0));
  return false;
}

// Parts of a parallel sort hold at least this many rows.
constexpr std::size_t kLeastPart = 1 << 15;
// Runs of equal prefixes up to this long are sorted by insertion.
constexpr std::size_t kShortRun = 16;

using Ranked = std::pair<std::uint64_t, std::uint64_t>;  // (key prefix, row)

// Sorts by prefix, stably, a byte at a time from the last, skipping bytes
// that every prefix shares.
void radix_sort(std::span<Ranked> ranked, std::vector<Ranked>& spare) {
  spare.resize(ranked.size());
  std::span<Ranked> from = ranked;
  std::span<Ranked> to(spare);
  for (unsigned shift = 0; shift < 64; shift += 8) {
    std::size_t counts[256] = {};
    for (const Ranked& r : from) ++counts[(r.first >> shift) & 0xFF];
    if (std::ranges::find(counts, from.size()) != std::end(counts)) continue;
    std::size_t at = 0;
    for (std::size_t& count : counts) at += std::exchange(count, at);
    for (const Ranked& r : from) to[counts[(r.first >> shift) & 0xFF]++] = r;
    std::swap(from, to);
  }
  if (from.data() != ranked.data()) std::ranges::copy(from, ranked.begin());
}

// The rows in order of their keys, equal keys in order of their rows: first
// by each key's 8-byte prefix (parts of consecutive rows on `threads`
// threads, merged keeping the earlier part first on equal prefixes), then,
// within each run of equal prefixes, by the rest of the keys, stably.
std::vector<std::uint64_t> sort_rows(const KeysView& keys, long threads) {
  const std::size_t rows = keys.rows;
  std::vector<Ranked> ranked(rows);
  for (std::size_t row = 0; row < rows; ++row) ranked[row] = {key::prefix(keys.key(row)), row};
  const std::size_t parts =
      std::clamp<std::size_t>(rows / kLeastPart, 1, static_cast<std::size_t>(std::max(threads, 1L)));
  auto bound = [&](std::size_t part) {
    return ranked.begin() + static_cast<std::ptrdiff_t>(rows * part / parts);
  };
  auto sort_part = [&](std::size_t part) {
    std::vector<Ranked> spare;
    radix_sort(std::span<Ranked>(bound(part), bound(part + 1)), spare);
  };
  {
    std::vector<std::jthread> helpers;
    for (std::size_t part = 1; part < parts; ++part) helpers.emplace_back(sort_part, part);
    sort_part(0);
  }
  auto by_prefix = [](const Ranked& a, const Ranked& b) { return a.first < b.first; };
  for (std::size_t width = 1; width < parts; width *= 2) {
    for (std::size_t part = 0; part + width < parts; part += 2 * width) {
      std::inplace_merge(bound(part), bound(part + width),
                         bound(std::min(parts, part + 2 * width)), by_prefix);
    }
  }
  std::vector<std::uint64_t> order(rows);
  for (std::size_t i = 0; i < rows; ++i) order[i] = ranked[i].second;
  for (std::size_t first = 0; first < rows;) {
    std::size_t last = first + 1;
    while (last < rows && ranked[last].first == ranked[first].first) ++last;
    auto less = [&](std::uint64_t a, std::uint64_t b) {
      return key::compare_after_prefix(keys.key(a), keys.key(b)) < 0;
    };
    const auto begin = order.begin() + static_cast<std::ptrdiff_t>(first);
    const auto end = order.begin() + static_cast<std::ptrdiff_t>(last);
    if (last - first > kShortRun) {
      std::stable_sort(begin, end, less);
    } else {
      // Short runs, the most common, by insertion: stable, and allocating nothing.
      for (auto at = begin + 1; at < end; ++at) {
        const std::uint64_t row = *at;
        auto to = at;
        for (; to > begin && less(row, *(to - 1)); --to) *to = *(to - 1);
        *to = row;
      }
    }
    first = last;
  }
  return order;
}

}  // namespace

PyObject* row_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (!check_arguments(nargs, 2, "_row_keys")) return nullptr;
    const Py_ssize_t rows = PyLong_AsSsize_t(args[1]);
    if (rows < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "rows must not be negative");
      return nullptr;
    }
    Ref list = Ref::steal(PySequence_Fast(args[0], "columns must be a sequence"));
    if (!list) return nullptr;
    Views views;
    std::deque<Encoded> encoded;
    std::vector<key::KeyColumn> columns(
        static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list.get())));
    for (std::size_t i = 0; i < columns.size(); ++i) {
      PyObject* column = PySequence_Fast_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i));
      if (!read_column(column, static_cast<std::size_t>(rows), views, encoded, columns[i])) {
        return nullptr;
      }
    }
    key::RowKeys keys;
    {
      Detached detached;
      append_row_keys(columns, static_cast<std::size_t>(rows), keys);
    }
    Ref bytes = bytes_from(keys.bytes.data(), keys.bytes.size());
    Ref offsets = bytes ? offsets_bytes(keys.offsets) : Ref();
    if (!offsets) return nullptr;
    return PyTuple_Pack(2, bytes.get(), offsets.get());
  });
}

PyObject* split_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (!check_arguments(nargs, 3, "_split_rows")) return nullptr;
    Views views;
    const std::optional<KeysView> keys = read_keys(views, args[0], args[1]);
    if (!keys) return nullptr;
    const long threads = PyLong_AsLong(args[2]);
    if (threads == -1 && PyErr_Occurred()) return nullptr;
    const std::size_t rows = keys->rows;
    std::vector<std::uint64_t> order;
    key::RowKeys sorted;
    {
      Detached detached;
      order = sort_rows(*keys, threads);
      sorted.bytes.reserve(keys->at(rows) - keys->at(0));
      sorted.offsets.reserve(rows + 1);
      for (const std::uint64_t row : order) {
        const key::Bytes key = keys->key(row);
        sorted.bytes.insert(sorted.bytes.end(), key.begin(), key.end());
        sorted.offsets.push_back(sorted.bytes.size());
      }
    }
    Ref order_bytes = offsets_bytes(order);
    Ref key_bytes = order_bytes ? bytes_from(sorted.bytes.data(), sorted.bytes.size()) : Ref();
    Ref offsets = key_bytes ? offsets_bytes(sorted.offsets) : Ref();
    if (!offsets) return nullptr;
    return PyTuple_Pack(3, order_bytes.get(), key_bytes.get(), offsets.get());
  });
}

PyObject* cuts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (!check_arguments(nargs, 5, "_cuts")) return nullptr;
    Views views;
    const std::optional<KeysView> keys = read_keys(views, args[0], args[1]);
    if (!keys) return nullptr;
    const View* positions = views.open(args[2], "positions");
    if (positions == nullptr) return nullptr;
    if (positions->size() / 8 < keys->rows) {
      PyErr_SetString(PyExc_ValueError, "positions must hold one 8-byte number a row");
      return nullptr;
    }
    const long long index = PyLong_AsLongLong(args[3]);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    std::vector<Place> bounds;
    std::vector<Ref> bound_keys;
    if (!read_bounds(args[4], bounds, bound_keys)) return nullptr;
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
    if (!out) return nullptr;
    for (std::size_t b = 0; b < bounds.size(); ++b) {
      // Rows are in order of their places, so the bound cuts them once.
      std::size_t low = 0;
      std::size_t high = keys->rows;
      while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        const auto position = load_le<std::uint64_t>(positions->data() + 8 * mid);
        const Place place{keys->key(mid), index, static_cast<long long>(position)};
        if (before(place, bounds[b])) low = mid + 1;
        else high = mid;
      }
      PyObject* cut = PyLong_FromSize_t(low);
      if (cut == nullptr) return nullptr;
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(b), cut);
    }
    return out.release();
  });
}

PyObject* merge_runs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return boundary([&]() -> PyObject* {
    if (!check_arguments(nargs, 1, "_merge_runs")) return nullptr;
    Ref list = Ref::steal(PySequence_Fast(args[0], "runs must be a sequence"));
    if (!list) return nullptr;
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(list.get()));
    Views views;
    std::vector<KeysView> blocks;
    std::vector<std::size_t> starts;
    std::vector<std::size_t> cursor;
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* block = PySequence_Fast_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i));
      if (!PyTuple_Check(block) || PyTuple_GET_SIZE(block) != 3) {
        PyErr_SetString(PyExc_TypeError, "a run must be a (keys, offsets, start) tuple");
        return nullptr;
      }
      const std::optional<KeysView> keys =
          read_keys(views, PyTuple_GET_ITEM(block, 0), PyTuple_GET_ITEM(block, 1));
      if (!keys) return nullptr;
      const Py_ssize_t start = PyLong_AsSsize_t(PyTuple_GET_ITEM(block, 2));
      if (start == -1 && PyErr_Occurred()) return nullptr;
      if (start < 0 || static_cast<std::size_t>(start) > keys->rows) {
        PyErr_SetString(PyExc_ValueError, "a run's start must be within its rows");
        return nullptr;
      }
      blocks.push_back(*keys);
      starts.push_back(static_cast<std::size_t>(start));
    }
    cursor = starts;
    // Where each run's rows start among all runs' rows laid one after another.
    std::vector<std::uint64_t> base(count, 0);
    for (std::size_t b = 1; b < count; ++b) {
      base[b] = base[b - 1] + (blocks[b - 1].rows - starts[b - 1]);
    }
    std::vector<std::uint64_t> merged;
    {
      Detached detached;
      merged.reserve(count == 0 ? 0 : base.back() + (blocks.back().rows - starts.back()));
      auto done = [&](std::size_t b) { return cursor[b] == blocks[b].rows; };
      // Each run's current key's prefix, which decides most comparisons;
      // one used up has the largest, so only a tie asks which are used up.
      std::vector<std::uint64_t> head(count, 0);
      auto load_head = [&](std::size_t b) {
        head[b] = done(b) ? ~std::uint64_t{0} : key::prefix(blocks[b].key(cursor[b]));
      };
      for (std::size_t b = 0; b < count; ++b) load_head(b);
      // Ties go to the earlier run: runs come in input order.
      auto less = [&](std::size_t a, std::size_t b) {
        if (head[a] != head[b]) return head[a] < head[b];
        if (done(a) || done(b)) return !done(a);
        const int c =
            key::compare_after_prefix(blocks[a].key(cursor[a]), blocks[b].key(cursor[b]));
        return c != 0 ? c < 0 : a < b;
      };
      LoserTree tree;
      tree.build(count, less);
      while (count > 0) {
        const std::size_t w = tree.winner();
        if (done(w)) break;
        merged.push_back(base[w] + (cursor[w] - starts[w]));
        ++cursor[w];
        load_head(w);
        tree.replay(less);
      }
    }
    return offsets_bytes(merged).release();
  });
}

}  // namespace quillmere::python
