// RepairSquish: brings a damaged Squish base back to one that keeps every
// rule SquishChecker checks (what is kept and dropped: drayline/repair.h).
//
// Under the lock on byte 0 of the ".sqd", the data, index and last-read
// files are read whole. The frames are found by walking the data file from
// the control record: a frame is taken where the frame id starts a header
// whose FrameLength ends at the next frame id (or the file's end); a
// FrameLength that does not is replaced by the distance to the next frame
// id, and bytes without a frame id become a free frame (merged into the
// frame before when too short for one). Where no frame id follows, the
// file is cut. Should the control record's HeaderLength or FrameHeaderSize
// be wrong, the walk with the usual sizes is tried too and the one reading
// more messages wins. The chains, the index and the control record are
// then rebuilt and written as one change, only where their bytes differ.

#ifndef DRAYLINE_SQUISH_SQUISH_REPAIR_H_
#define DRAYLINE_SQUISH_SQUISH_REPAIR_H_

#include <string_view>

#include "drayline/repair.h"
#include "drayline/status.h"
#include "msgbase/repair_internal.h"
#include "support/env.h"

namespace drayline::squish {

// Repairs the Squish base at path (without extension). before runs once
// the lock is held, before anything is written; its failure ends the
// repair. Appends to report's kept, dropped, renumbered and fixed lines
// and sets report->changed. A failed step undoes every write and answers
// why.
Status RepairSquish(Env* env, std::string_view path, const ChangeOptions& options,
                    const BeforeRepair& before, RepairReport* report);

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_REPAIR_H_
