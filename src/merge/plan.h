// Finishing a sort: the one way from what adding left behind to the merge
// that reads it back in order.
//
// Takes the records the core sorter handed over when adding ended (no spill
// is in flight by then), merges adjacent runs in passes until at most
// max_open remain, sorts the half still held, and builds the final merge
// over the runs and that half. Runs stay in order of addition
// throughout (a pass replaces a window of adjacent runs by its output, in
// their place), and the merge breaks ties by source, so items with equal
// keys come out in the order they were added, through any number of passes.

#pragma once

#include "base/error.h"
#include "merge/merged.h"
#include "sorter/sorter.h"

namespace quillmere {

// Builds the final merge, which takes over the sorted held half and the
// private directory. Merge outputs are named from the records' own run
// counter, and merged inputs are deleted as soon as their output is
// complete. `stop` is asked before each pass and every 65536 records of a
// pass; its "stop" fails with an Interrupted error. What the merge does not
// take (the pool share, the run list, and on failure the directory with
// every run in it) is dropped as this returns, so the pool ends with
// finishing and a failure leaves no file behind.
[[nodiscard]] Result<Merged> finish_sort(AddedRecords added, StopCheck& stop);

}  // namespace quillmere
