// Whole messages of a Squish base as ExportedMessage values (drayline/
// transfer.h): a source that walks the base without the lock, a sink that
// stores each value as a new message with its control information, and
// the Squish part of a message made from the fields both formats know.

#ifndef DRAYLINE_SQUISH_SQUISH_TRANSFER_H_
#define DRAYLINE_SQUISH_SQUISH_TRANSFER_H_

#include <memory>
#include <string_view>

#include "drayline/transfer.h"
#include "support/env.h"

namespace drayline::squish {

// The messages of the base at path, in index order. nullptr with *status
// set when the base does not open.
std::unique_ptr<MessageSource> NewSquishSource(Env* env, std::string_view path,
                                               Status* status);

// A sink into the base at path, created with settings when it has no data
// file. Every store is one change with the others, held (with the lock)
// until Finish commits it; a sink destroyed before leaves the base as it
// was.
std::unique_ptr<MessageSink> NewSquishSink(Env* env, std::string_view path,
                                           const BaseSettings& settings,
                                           const ChangeOptions& change, Status* status);

// Fills m->squish from m's common fields as a store of the interface with
// exact dates would (the attribute word, the packed dates, the FTS date
// text), keeping m->squish.control; m->format becomes Squish.
void FillSquishPart(ExportedMessage* m);

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_TRANSFER_H_
