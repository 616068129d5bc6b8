// Whole messages of a JAM base as ExportedMessage values (drayline/
// transfer.h): a source that walks the base without the lock, a sink that
// stores each value byte for byte as a new message, and the JAM part of a
// message made from the fields both formats know.

#ifndef DRAYLINE_JAM_JAM_TRANSFER_H_
#define DRAYLINE_JAM_JAM_TRANSFER_H_

#include <memory>
#include <string_view>

#include "drayline/transfer.h"
#include "support/env.h"

namespace drayline::jam {

// The live messages of the base at path, in index order. nullptr with
// *status set when the base does not open.
std::unique_ptr<MessageSource> NewJamSource(Env* env, std::string_view path, Status* status);

// A sink into the base at path, created when it has no header file. It
// holds the base's lock until Finish (or its destruction).
std::unique_ptr<MessageSink> NewJamSink(Env* env, std::string_view path,
                                        const ChangeOptions& change, Status* status);

// Fills m->jam from m's common fields as a store of the interface would
// (its fixed fields, the composed subfields: recipient, sender, subject,
// addresses), keeping subfields of other kinds already in m->jam after
// them; m->format becomes JAM. The dates are m's written and processed.
void FillJamPart(ExportedMessage* m);

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_TRANSFER_H_
