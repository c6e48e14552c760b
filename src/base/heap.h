// The two steps of a binary min-heap that the final merge drives by hand: sifting
// the first element down after it was replaced, and sifting the last one up
// after it was appended.
//
// Not std::push_heap and friends because a merge's common step is "refill
// the head just handed out and put it back": replace the first element and
// sift it down once, with no pop and push. The heap is any contiguous range
// (element 0 first, the children of i at 2i + 1 and 2i + 2) that the caller
// owns, grows and shrinks. `before(a, b)` says whether a comes before b; the
// merge makes it strict by breaking ties inside it (by source), so the
// order it hands out is fully determined.
//
// Both steps only move elements within the range, and need T's moves and
// `before` not to throw: a throw halfway would leave a moved-from hole.

#pragma once

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

namespace quillmere {

// Moves the first element down to its place, so that every element comes
// before neither of its children again. The element is held aside and the
// hole walks down, so each level costs one move rather than a swap; at each
// level the child that comes first rises.
// REQUIRES: apart from the first element, the range is a heap.
template <class T, class Before>
void sift_down(std::span<T> heap, const Before& before) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T>);
  const std::size_t n = heap.size();
  if (n < 2) return;
  T moving = std::move(heap[0]);
  std::size_t hole = 0;
  for (;;) {
    std::size_t child = 2 * hole + 1;
    if (child >= n) break;
    if (child + 1 < n && before(heap[child + 1], heap[child])) ++child;
    if (!before(heap[child], moving)) break;
    heap[hole] = std::move(heap[child]);
    hole = child;
  }
  heap[hole] = std::move(moving);
}

// Moves the last element up to its place, by the same hole walk upwards.
// REQUIRES: apart from the last element, the range is a heap.
template <class T, class Before>
void sift_up(std::span<T> heap, const Before& before) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T>);
  if (heap.size() < 2) return;
  std::size_t hole = heap.size() - 1;
  T moving = std::move(heap[hole]);
  while (hole > 0) {
    const std::size_t parent = (hole - 1) / 2;
    if (!before(moving, heap[parent])) break;
    heap[hole] = std::move(heap[parent]);
    hole = parent;
  }
  heap[hole] = std::move(moving);
}

}  // namespace quillmere
