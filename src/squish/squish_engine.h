// The Squish storage engine, for the message-base layer (src/msgbase).

#ifndef DRAYLINE_SQUISH_SQUISH_ENGINE_H_
#define DRAYLINE_SQUISH_SQUISH_ENGINE_H_

#include <memory>

#include "msgbase/storage_engine.h"
#include "support/env.h"

namespace drayline {

// A Squish engine over env's files (nullptr: Env::Default()); env must
// outlive it. nullptr when its buffers cannot be had.
std::unique_ptr<StorageEngine> NewSquishEngine(Env* env);

}  // namespace drayline

#endif  // DRAYLINE_SQUISH_SQUISH_ENGINE_H_
