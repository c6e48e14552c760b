// A tree of losers: the k-way merge's other structure beside the heap. Each
// inner node keeps the player that lost the match played there, and the
// overall winner is kept apart. Once the winner's value changes, one match
// per level on its way up, against the loser kept there, finds the new
// winner: about log2(k) comparisons a step, where a heap's sift-down makes
// two a level.
//
// Players are 0 .. k-1 and `less(a, b)` says whether player a comes before
// player b as they stand now; it must be a strict order in which a player
// that is used up comes after every other (the caller's business, like
// breaking ties). The tree holds only indices, so a player's value lives with
// the caller and may change between steps.

#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quillmere {

class LoserTree {
 public:
  // Plays every match from scratch. Throws std::bad_alloc.
  template <class Less>
  void build(std::size_t players, const Less& less) {
    k_ = players;
    losers_.assign(players == 0 ? 1 : players, 0);
    if (players <= 1) return;
    // Leaf i sits at k + i and node p's children at 2p and 2p + 1, so any k
    // makes a tree; winners_ is only needed while building.
    std::vector<std::uint32_t> winners(players);
    auto winner_at = [&](std::size_t node) {
      return node >= players ? static_cast<std::uint32_t>(node - players) : winners[node];
    };
    for (std::size_t p = players - 1; p >= 1; --p) {
      std::uint32_t a = winner_at(2 * p);
      std::uint32_t b = winner_at(2 * p + 1);
      if (less(b, a)) std::swap(a, b);
      winners[p] = a;
      losers_[p] = b;
    }
    losers_[0] = winners[1];
  }

  std::size_t winner() const noexcept { return losers_[0]; }

  // Finds the winner again after the last winner's value changed.
  template <class Less>
  void replay(const Less& less) noexcept {
    std::uint32_t candidate = losers_[0];
    for (std::size_t p = (k_ + candidate) / 2; p >= 1; p /= 2) {
      if (less(losers_[p], candidate)) std::swap(losers_[p], candidate);
    }
    losers_[0] = candidate;
  }

 private:
  std::size_t k_ = 0;
  std::vector<std::uint32_t> losers_;  // [0] the winner, [p] the loser at node p
};

}  // namespace quillmere
