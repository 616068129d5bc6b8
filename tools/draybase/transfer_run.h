// The work import and convert share: the messages of a feed stored into a
// base, in the base's format, as new messages with their links and
// last-read pointers moved to the new numbers.

#ifndef DRAYBASE_TRANSFER_RUN_H_
#define DRAYBASE_TRANSFER_RUN_H_

#include <string>
#include <vector>

#include "draybase/transfer_json.h"
#include "drayline/transfer.h"

namespace draybase {

// Messages to store, walked twice: once to learn their numbers and what
// the target format cannot hold, once to store them.
class MessageFeed {
 public:
  virtual ~MessageFeed() = default;
  // (Re)starts from the first message; false with error() set on failure.
  virtual bool Start() = 0;
  // The next message; false at the end, or on a failure (error() set).
  virtual bool Next(drayline::ExportedMessage* m) = 0;
  virtual const std::string& error() const = 0;
  // The format of the messages' base, its settings, and (after a whole
  // pass) its last-read pointers.
  virtual drayline::BaseFormat format() const = 0;
  virtual drayline::BaseSettings settings() const = 0;
  virtual const std::vector<drayline::LastReadValue>& last_reads() const = 0;
};

// Stores feed into the base at dst (created in opts.to, else the feed's
// format, when missing). With any loss, nothing is stored unless
// opts.lossy. Prints the losses on standard error and a summary (--json:
// an object) on standard output; answers the exit status.
int RunTransfer(std::string_view command, const std::string& dst, MessageFeed& feed,
                const TransferOptions& opts);

}  // namespace draybase

#endif  // DRAYBASE_TRANSFER_RUN_H_
