// write_to and its merging thread.
//
// The merging thread owns the merge and the sending end of a channel of
// bound 2, so it runs at most two chunks ahead of the writer; the calling
// thread owns the receiving end and the join handle. No sorter lock is held
// while writing: the merge left the sorter's state inside finish().

#include "python/write_to.h"

#include <atomic>
#include <cstddef>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "base/channel.h"
#include "base/pool.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/finish.h"
#include "python/ref.h"
#include "python/records.h"
#include "python/sorter_object.h"

namespace quillmere::python {
namespace {

// A chunk is sent once it holds this much: every chunk but the last holds
// at least 1 MiB, and at most one payload more.
constexpr std::size_t kChunkBytes = 1 << 20;
// Chunks queued between the two threads.
constexpr std::size_t kChunksAhead = 2;

using OutputChunk = std::vector<std::byte>;
using ChunkResult = Result<OutputChunk>;

// Fills chunks from the merge and sends them; a failed merge sends its error
// instead of the chunk being filled. Stops early when the receiver goes.
// Each record is written by `writer`, or as its payload without one.
void merge_chunks(Merged& merged, Sender<ChunkResult>& sender, RecordWriter writer) {
  for (;;) {
    OutputChunk chunk;
    chunk.reserve(kChunkBytes);  // at its full size at once: it grows only for its last record
    for (;;) {
      Result<std::optional<Merged::Record>> record = merged.next_record();
      if (!record) {
        sender.send(fail(std::move(record.error())));
        return;
      }
      if (!*record) {
        sender.send(std::move(chunk));  // the last, possibly empty
        return;
      }
      if (writer != nullptr) {
        writer(chunk, (*record)->key, (*record)->payload);
      } else {
        chunk.insert(chunk.end(), (*record)->payload.begin(), (*record)->payload.end());
      }
      if (chunk.size() >= kChunkBytes) break;
    }
    if (!sender.send(std::move(chunk))) return;
  }
}

// The merging thread's body. Whatever ends it, the merge (with its files
// and the private directory) goes before the sender, so the writer learns
// that nothing more will come only once everything is gone.
void merging_thread(Merged merged_in, Sender<ChunkResult> sender_in, RecordWriter writer,
                    std::atomic<bool>* panicked) noexcept {
  Sender<ChunkResult> sender = std::move(sender_in);
  try {
    Merged merged = std::move(merged_in);
    try {
      merge_chunks(merged, sender, writer);
    } catch (const std::bad_alloc&) {
      sender.send(fail(Error::io(IoKind::OutOfMemory)));
    }
  } catch (...) {
    panicked->store(true);
  }
}

// Hands one chunk to write(), continuing after partial writes. Returns
// false with an exception set.
bool write_chunk(PyObject* write, std::span<const std::byte> chunk) {
  while (!chunk.empty()) {
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.data()),
                                                     static_cast<Py_ssize_t>(chunk.size())));
    if (!bytes) return false;
    Ref result = Ref::steal(PyObject_CallOneArg(write, bytes.get()));
    if (!result) return false;
    // A result that is no count (None, say) means the whole chunk was written.
    Ref count = Ref::steal(PyNumber_Index(result.get()));
    const unsigned long long written = count ? PyLong_AsUnsignedLongLong(count.get()) : 0;
    if (!count || PyErr_Occurred()) {
      PyErr_Clear();
      return true;
    }
    if (written == 0) {
      PyErr_SetString(PyExc_OSError, "the handle wrote no bytes");
      return false;
    }
    if (written >= chunk.size()) return true;
    chunk = chunk.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

// Receives chunks and writes them until the merge is done or something
// fails. Returns false with an exception set.
bool write_all(PyObject* write, Receiver<ChunkResult>& receiver) {
  for (bool first = true;; first = false) {
    if (!first && PyErr_CheckSignals() < 0) return false;
    ReceiveResult<ChunkResult> received;
    {
      Detached detached;
      received = receiver.receive(kPollInterval);
    }
    switch (received.status) {
      case ReceiveStatus::TimedOut:
        continue;  // look for signals at least every 50 ms while the merge is slow
      case ReceiveStatus::Disconnected:
        return true;  // every chunk has been written
      case ReceiveStatus::Received:
        break;
    }
    ChunkResult& value = *received.value;
    if (!value) {
      raise(std::move(value.error()));
      return false;
    }
    if (!write_chunk(write, *value)) return false;
  }
}

// A text handle would fail at its first write, once reading had begun and
// the sorted items were gone: refuse it while the sorter is untouched.
// Returns false with an exception set for a text handle or a failed check.
bool is_binary_handle(PyObject* handle) {
  Ref io = Ref::steal(PyImport_ImportModule("io"));
  if (!io) return false;
  Ref text_base = Ref::steal(PyObject_GetAttrString(io.get(), "TextIOBase"));
  if (!text_base) return false;
  const int is_text = PyObject_IsInstance(handle, text_base.get());
  if (is_text < 0) return false;
  if (is_text == 0) return true;
  if (Ref name = type_name(handle)) {
    PyErr_Format(PyExc_TypeError,
                 "write_to needs a binary handle (for example sys.stdout.buffer), not %U",
                 name.get());
  }
  return false;
}

constexpr const char* kParams[] = {"handle"};
constexpr Signature kSignature{.function = "Sorter.write_to",
                               .names = kParams,
                               .positional_only = 0,
                               .max_positional = 1,
                               .required = 1};

// write_to's work: writes each record's payload, or what `writer` makes of
// it, to `handle` in chunks of about 1 MiB. Runs inside its caller's
// boundary.
PyObject* write_sorted(PySorter* self, PyObject* handle, RecordWriter writer) {
  // First, so that an unusable handle leaves the sorter readable.
  if (!is_binary_handle(handle)) return nullptr;
  Ref write = Ref::steal(PyObject_GetAttrString(handle, "write"));
  if (!write) return nullptr;
  std::optional<Merged> merged;
  if (!finish(self, &merged)) return nullptr;

  Result<Channel<ChunkResult>::Ends> channel = Channel<ChunkResult>::make(kChunksAhead);
  if (!channel) return raise(std::move(channel.error()));
  std::optional<Receiver<ChunkResult>> receiver(std::move(channel->receiver));
  std::atomic<bool> panicked{false};
  std::thread thread;
  try {
    const OutsideSignalsBlocked blocked;
    thread = std::thread(merging_thread, std::move(*merged), std::move(channel->sender), writer,
                         &panicked);
  } catch (const std::system_error& e) {
    // The merge went with the failed thread's arguments: nothing is left.
    return raise(Error::from_errno(e.code().value()));
  }
  name_thread(thread, "quillmere-merge");

  const bool written = write_all(write.get(), *receiver);
  {
    // Dropping the receiving end stops the merging thread at its next
    // send; it then removes what was spilled and ends.
    Detached detached;
    receiver.reset();
    thread.join();
  }
  if (panicked.load()) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "the merging thread panicked");
    return nullptr;
  }
  if (!written) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyObject* sorter_write_to(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    PyObject* handle;
    if (!bind(kSignature, args, nargs, kwnames, &handle)) return nullptr;
    return write_sorted(reinterpret_cast<PySorter*>(obj), handle, nullptr);
  });
}

PyObject* write_records(PyObject* sorter, PyObject* handle, RecordWriter writer,
                        const char* caller) {
  return boundary([&]() -> PyObject* {
    if (!is_sorter(sorter)) {
      PyErr_Format(PyExc_TypeError, "%s needs a Sorter", caller);
      return nullptr;
    }
    return write_sorted(reinterpret_cast<PySorter*>(sorter), handle, writer);
  });
}

}  // namespace quillmere::python
