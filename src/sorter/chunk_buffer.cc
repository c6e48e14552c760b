// Memory for the halves: malloc for small blocks, a mapping of its own for
// each large one.

#include "sorter/chunk_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace quillmere::chunk_memory {
namespace {

// Below this a block comes from malloc: mappings cost a system call and
// round up to whole pages.
constexpr std::size_t kMapThreshold = 256 * 1024;

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t mapped_length(std::size_t bytes) {
  const std::size_t page = page_size();
  return (bytes + page - 1) / page * page;
}

bool is_mapped(std::size_t bytes) { return bytes >= kMapThreshold; }

// Sorting and merging a half read its records in an order unrelated to
// where they lie, so nearly every read would miss the TLB with small pages
// (a page walk, dearer still in a virtual machine). Huge pages, where the
// system gives them, need only a few hundred TLB entries for a whole half. They add
// nothing to what is counted: the whole mapping is counted already.
void prefer_huge_pages(void* p, std::size_t bytes) noexcept {
  static_cast<void>(madvise(p, mapped_length(bytes), MADV_HUGEPAGE));  // a hint only
}

void* map(std::size_t bytes) {
  void* p = mmap(nullptr, mapped_length(bytes), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  prefer_huge_pages(p, bytes);
  return p;
}

}  // namespace

void* allocate(std::size_t bytes) {
  if (is_mapped(bytes)) return map(bytes);
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* reallocate(void* p, std::size_t old_bytes, std::size_t used, std::size_t new_bytes) {
  if (is_mapped(old_bytes) && is_mapped(new_bytes)) {
    // The kernel moves the pages, not their contents, and returns what a
    // shrink gives up at once.
    void* q = mremap(p, mapped_length(old_bytes), mapped_length(new_bytes), MREMAP_MAYMOVE);
    if (q == MAP_FAILED) throw std::bad_alloc();
    prefer_huge_pages(q, new_bytes);
    return q;
  }
  if (!is_mapped(old_bytes) && !is_mapped(new_bytes)) {
    void* q = std::realloc(p, new_bytes);
    if (q == nullptr) throw std::bad_alloc();
    return q;
  }
  void* q = allocate(new_bytes);
  std::memcpy(q, p, std::min(used, new_bytes));
  release(p, old_bytes);
  return q;
}

void release(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
  if (is_mapped(bytes)) {
    munmap(p, mapped_length(bytes));
  } else {
    std::free(p);
  }
}

}  // namespace quillmere::chunk_memory
