// The k-way merge: one Head per source with a record waiting, the smallest
// handed out as `current_`'s, the others' Slots in a binary min-heap driven
// by the steps of base/heap.h.
//
// Not std::priority_queue because the common step is "refill the head just
// handed out and put it back", which wants replace-top and one sift-down,
// and often not even that: when the refilled head still comes first it
// stays current and the heap is not touched, so a stretch of records from
// one source costs one comparison each.

#include "merge/merged.h"

#include <cassert>
#include <filesystem>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "base/heap.h"
#include "key/order.h"

namespace quillmere {
namespace {

using Bytes = std::vector<std::byte>;

// Names the run in an error from its reader, in the words a user sees for a
// damaged, truncated or unreadable run. A truncation reads the same wherever
// the cut fell, so the reader's own text is dropped.
Error reword_unguarded(const std::filesystem::path& path, Error error) {
  if (!error.is_io()) return error;
  switch (error.kind()) {
    case IoKind::InvalidData: {
      std::string message = path.native() + " is corrupt: " + error.text();
      return std::move(error).with_message(std::move(message));
    }
    case IoKind::UnexpectedEof:
      return std::move(error).with_message(path.native() + " ended before its last record");
    default:
      return std::move(error).with_path(path);
  }
}

// Building the message needs memory; when there is none, say so instead.
Error reword(const std::filesystem::path& path, Error error) {
  try {
    return reword_unguarded(path, std::move(error));
  } catch (const std::bad_alloc&) {
    return Error::io(IoKind::OutOfMemory);
  }
}

}  // namespace

Source Source::run(RunReader reader) { return Source(std::move(reader)); }

Source Source::held(Chunk chunk) { return Source(Held{std::move(chunk), 0}); }

Result<bool> Source::read(std::span<const std::byte>& key, std::span<const std::byte>& payload,
                          Bytes& key_buffer, Bytes& payload_buffer) {
  if (Held* held = std::get_if<Held>(&v_)) {
    if (held->position == held->chunk.entries.size()) return false;
    const Entry& entry = held->chunk.entries[held->position++];
    const std::byte* bytes = held->chunk.data.data() + entry.offset;
    key = {bytes, entry.key_len};
    payload = {bytes + entry.key_len, entry.payload_len};
    return true;
  }
  RunReader& reader = std::get<RunReader>(v_);
  if (reader.count() == 0) return false;
  if (reader.view_record(key, payload)) return true;
  // The reader reports a buffer that cannot grow as OutOfMemory itself.
  Result<> r = reader.read_field(key_buffer);
  if (r) r = reader.read_field(payload_buffer);
  if (!r) return fail(reword(reader.path(), std::move(r.error())));
  reader.finish_record();
  key = key_buffer;
  payload = payload_buffer;
  return true;
}

Merged::Merged(std::vector<Source> sources, std::optional<PrivateDir> dir) noexcept
    : sources_(std::move(sources)), dir_(std::move(dir)) {}

// Written out so that a moved-from merge holds no directory: a defaulted
// move would leave `dir_` engaged around an empty path. Heads keep their
// buffers, so their views stay valid.
Merged::Merged(Merged&& other) noexcept
    : sources_(std::move(other.sources_)),
      heads_(std::move(other.heads_)),
      heap_(std::move(other.heap_)),
      current_(std::exchange(other.current_, kNone)),
      dir_(std::exchange(other.dir_, std::nullopt)),
      failed_(other.failed_) {}

Merged& Merged::operator=(Merged&& other) noexcept {
  if (this == &other) return *this;
  release();
  sources_ = std::move(other.sources_);
  heads_ = std::move(other.heads_);
  heap_ = std::move(other.heap_);
  current_ = std::exchange(other.current_, kNone);
  dir_ = std::exchange(other.dir_, std::nullopt);
  failed_ = other.failed_;
  return *this;
}

// Closing the files before the directory goes keeps the order the same as
// at the end of a merge, though either order would work on Linux.
Merged::~Merged() { release(); }

Result<Merged> Merged::create(std::vector<Source> sources, std::optional<PrivateDir> dir) {
  Merged merged(std::move(sources), std::move(dir));
  if (Result<> r = merged.read_first_records(); !r) {
    merged.release();
    return fail(std::move(r.error()));
  }
  if (merged.heap_.empty()) merged.release();
  return merged;
}

Result<> Merged::read_first_records() {
  try {
    // Made once, so that nothing later allocates but a spanning record.
    heads_.resize(sources_.size());
    heap_.reserve(sources_.size());
  } catch (const std::bad_alloc&) {
    return fail(Error::io(IoKind::OutOfMemory));
  }
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    Head& head = heads_[i];
    Result<bool> more =
        sources_[i].read(head.key, head.payload, head.key_buffer, head.payload_buffer);
    if (!more) return fail(std::move(more.error()));
    if (*more) push(slot_of(head.key, i));
  }
  return {};
}

Result<std::optional<Merged::Record>> Merged::next_record() {
  if (failed_) return fail(Error::lost());
  if (current_ == kNone) return pop();
  Head& head = heads_[current_];
  Result<bool> more =
      sources_[current_].read(head.key, head.payload, head.key_buffer, head.payload_buffer);
  if (!more) {
    release();
    failed_ = true;
    return fail(std::move(more.error()));
  }
  if (!*more) {
    current_ = kNone;
    return pop();
  }
  const Slot refilled = slot_of(head.key, current_);
  // The refilled head stays current unless the heap's first comes before it;
  // sources differ, so "before" is strict and a tie goes to the lower index.
  if (!heap_.empty() && comes_before(heap_.front(), refilled)) {
    current_ = heap_.front().source;
    heap_.front() = refilled;
    restore_heap();
  }
  return view();
}

Result<std::optional<Merged::Record>> Merged::pop() {
  if (heap_.empty()) {
    release();
    return std::nullopt;
  }
  current_ = heap_.front().source;
  heap_.front() = heap_.back();
  heap_.pop_back();
  restore_heap();
  return view();
}

Merged::Record Merged::view() const noexcept {
  const Head& head = heads_[current_];
  // The merge's invariant: what is handed out comes before all that waits.
  assert(heap_.empty() || comes_before(slot_of(head.key, current_), heap_.front()));
  return Record{head.key, head.payload};
}

Merged::Slot Merged::slot_of(std::span<const std::byte> key, std::size_t source) noexcept {
  return Slot{key::prefix(key), key::next_word(key), static_cast<std::uint32_t>(key.size()),
              source};
}

bool Merged::comes_before(const Slot& a, const Slot& b) const noexcept {
  // Most comparisons end here, without touching the keys' bytes; keys of
  // up to 12 bytes, equal ones included, never need them.
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  if (a.next != b.next) return a.next < b.next;
  if (a.key_len <= kSlotBytes && b.key_len <= kSlotBytes) {
    if (a.key_len != b.key_len) return a.key_len < b.key_len;
  } else if (const int c = key::compare_after_prefix(heads_[a.source].key, heads_[b.source].key);
             c != 0) {
    return c < 0;
  }
  return a.source < b.source;
}

void Merged::push(Slot slot) noexcept {
  assert(heap_.size() < heap_.capacity());
  heap_.push_back(slot);
  sift_up(std::span(heap_), [this](const Slot& a, const Slot& b) { return comes_before(a, b); });
}

void Merged::restore_heap() noexcept {
  sift_down(std::span(heap_),
            [this](const Slot& a, const Slot& b) { return comes_before(a, b); });
}

void Merged::release() noexcept {
  current_ = kNone;
  heap_ = std::vector<Slot>();
  heads_ = std::vector<Head>();
  sources_ = std::vector<Source>();  // closes every run file
  dir_.reset();                      // removes the directory with everything in it
}

}  // namespace quillmere
