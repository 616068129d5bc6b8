// The JAM storage engine: a base in the JAM format under the message-base
// layer (msgbase/storage_engine.h).
//
// The engine is a handful of parts, each with one job: the base's files,
// base header and lock (jam_base_files.h), the index window (jam_index.h),
// the header reader (jam_header_reader.h) and the raw header of the
// message loaded or composed (jam_header.h), the cursor and mail search
// (jam_cursor.h), the text source (jam_text_source.h), the stores
// (jam_store.h) and the last-read file (jam_last_read.h).

#ifndef DRAYLINE_JAM_JAM_ENGINE_H_
#define DRAYLINE_JAM_JAM_ENGINE_H_

#include <memory>

#include "msgbase/storage_engine.h"
#include "support/env.h"

namespace drayline {

// A JAM engine on env (nullptr: Env::Default()), which must outlive it.
// Give it a path and open or create the base. Never nullptr.
std::unique_ptr<StorageEngine> NewJamEngine(Env* env);

}  // namespace drayline

#endif  // DRAYLINE_JAM_JAM_ENGINE_H_
