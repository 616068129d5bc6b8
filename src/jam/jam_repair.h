// RepairJam: brings a damaged JAM base back to one that keeps every rule
// JamChecker checks (what is kept and dropped: drayline/repair.h).
//
// Under the lock on byte 0 of the ".jhr", the header, index and last-read
// files are read whole (the text file is only sized). Message headers are
// found by walking the header file: a header is taken where the signature
// starts a fixed part whose subfields fill SubfieldLen exactly, and the
// walk goes on after it; elsewhere it looks for the next signature. The
// index, the base header and the last-read file are then rebuilt from what
// was found and written as one change, only where their bytes differ.

#ifndef DRAYLINE_JAM_JAM_REPAIR_H_
#define DRAYLINE_JAM_JAM_REPAIR_H_

#include <string_view>

#include "drayline/repair.h"
#include "drayline/status.h"
#include "msgbase/repair_internal.h"
#include "support/env.h"

namespace drayline::jam {

// Repairs the JAM base at path (without extension). before runs once the
// lock is held, before anything is written; its failure ends the repair.
// Appends to report's kept, dropped, renumbered and fixed lines and sets
// report->changed. A failed step undoes every write and answers why.
Status RepairJam(Env* env, std::string_view path, const ChangeOptions& options,
                 const BeforeRepair& before, RepairReport* report);

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_REPAIR_H_
