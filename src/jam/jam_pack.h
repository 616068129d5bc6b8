// Packing, purging and relinking a JAM base in place, in steps under the
// lock (see drayline/maintenance.h for what each leaves behind).
//
// A scan without the lock finds every live message (index record in use,
// header where it points) and walks the header file for the headers of
// deleted ones. Each step then takes the lock, reads afresh what it is
// about to move or rewrite, skips what another program changed since the
// scan (a message deleted or rewritten meanwhile: its old bytes are no
// longer used), and commits one Change that leaves a sound base.
//
// Packing moves, in this order: texts down the ".jdt" (each header's
// TxtOffset follows in the same step), headers down the ".jhr" (the index
// records follow; reply links to removed messages are mended on the way),
// with renumber the index records down the ".jdx" (each header's
// MessageNumber and links follow), and last the last-read records. A file
// is cut to its packed length in steps of its own, only while nothing was
// stored past the end the scan saw.
//
// Memory: 14 bytes a live message and a bit an index record; a step's
// buffers (kept from step to step) hold about four times its bytes, what
// it reads, writes and keeps for its journal.

#ifndef DRAYLINE_JAM_JAM_PACK_H_
#define DRAYLINE_JAM_JAM_PACK_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "drayline/maintenance.h"
#include "msgbase/maintenance_internal.h"
#include "support/env.h"

namespace drayline::jam {

Status PackJam(Env* env, std::string_view path, const PackOptions& options,
               const StepLimits& limits, MaintenanceReport* report);

// Every live message oldest first, as a purge selects from them (the
// stored date is DateProcessed).
Status ListJamForPurge(Env* env, std::string_view path, std::vector<PurgeCandidate>* out);
// Deletes the messages with these numbers (as a delete does: the header's
// deleted bit, the index record unused, ActiveMsgs), in steps; a message
// already gone is passed over. *deleted counts those deleted.
Status DeleteJamMessages(Env* env, std::string_view path, const std::vector<uint32_t>& numbers,
                         const StepLimits& limits, const ChangeOptions& change,
                         int64_t* deleted);

// LinkBase of a JAM base (jam_links.cc).
Status LinkJam(Env* env, std::string_view path, const LinkOptions& options,
               const StepLimits& limits, MaintenanceReport* report);

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_PACK_H_
