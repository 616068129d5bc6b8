// The posting command (post/posting_command.h) on a chosen file layer and
// with a chosen maker of base objects, so that tests can inject faults,
// set the clock and record what the command asks of a base.

#ifndef DRAYLINE_POST_POSTING_RUN_H_
#define DRAYLINE_POST_POSTING_RUN_H_

#include <functional>
#include <memory>
#include <span>
#include <string>

#include "drayline/message_base.h"
#include "post/posting_command.h"
#include "support/env.h"

namespace drayline {

// Makes the base object for a record's format on env; nullptr when that
// format's object cannot be constructed.
using BaseFactory =
    std::function<std::unique_ptr<MessageBase>(BaseFormat format, Env* env)>;

// The library's base objects (NewMessageBase of msgbase/factory.h).
std::unique_ptr<MessageBase> NewMessageBaseForFormat(BaseFormat format,
                                                     Env* env);

// One run, as RunPostingCommand(args, progress), with every file step, the
// clock, the base and the output on env (nullptr: the process's).
int RunPostingCommand(std::span<const std::string> args, Env* env,
                      const BaseFactory& factory = NewMessageBaseForFormat,
                      PostingProgress* progress = nullptr);

}  // namespace drayline

#endif  // DRAYLINE_POST_POSTING_RUN_H_
