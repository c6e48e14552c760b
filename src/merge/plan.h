// Finishing a sort: the one way from a core sorter full of items to the
// merge that reads them back in order.
//
// Waits for the spill in flight, merges adjacent runs in passes until at
// most max_open remain, sorts the half still held, and builds the final
// merge over the runs and that half. Runs stay in order of addition
// throughout (a pass replaces a window of adjacent runs by its output, in
// their place), and the merge breaks ties by source, so items with equal
// keys come out in the order they were added, through any number of passes.

#pragma once

#include <cstddef>
#include <vector>

#include "base/error.h"
#include "merge/merged.h"
#include "run/run.h"
#include "sorter/sorter.h"

namespace quillmere {

// Records a merge pass writes between two looks at its stop check.
inline constexpr std::uint64_t kRecordsBetweenChecks = 65536;

// Builds the final merge, which takes over the private directory. `stop` is
// asked while the spill is waited for, before each pass and every 65536
// records of a pass; its "stop" fails with an Interrupted error. On failure
// the sorter has lost items: drop it, which removes everything spilled.
[[nodiscard]] Result<Merged> finish_sort(Sorter& sorter, StopCheck& stop);

// One pass: merges the lightest window of adjacent runs, as many as bring
// the list down to max_open (or max_open of them when one pass cannot),
// into a new run in their place, and deletes them.
[[nodiscard]] Result<> merge_pass(Sorter& sorter, StopCheck& stop);

// The start of the window of k adjacent runs whose bytes add up to the
// least, the first of equal ones. REQUIRES: 1 <= k <= runs.size().
std::size_t lightest_window(const std::vector<Run>& runs, std::size_t k);

}  // namespace quillmere
