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

#include "base/error.h"
#include "merge/merged.h"
#include "sorter/sorter.h"

namespace quillmere {

// Builds the final merge, which takes over the private directory. `stop` is
// asked while the spill is waited for, before each pass and every 65536
// records of a pass; its "stop" fails with an Interrupted error. On failure
// the sorter has lost items: drop it, which removes everything spilled.
[[nodiscard]] Result<Merged> finish_sort(Sorter& sorter, StopCheck& stop);

}  // namespace quillmere
