// Base objects on a chosen file layer, for tests and tools inside this
// library that inject faults or a clock through an Env. Programs use the
// factories of drayline/message_base.h, which run on the process's file
// system.
//
// env must outlive the objects made; nullptr stands for Env::Default().
// A factory answers nullptr only when the format's buffers cannot be had.

#ifndef DRAYLINE_MSGBASE_FACTORY_H_
#define DRAYLINE_MSGBASE_FACTORY_H_

#include <memory>
#include <string_view>

#include "drayline/message_base.h"
#include "drayline/status.h"
#include "support/env.h"

namespace drayline {

std::unique_ptr<MessageBase> NewJamMessageBase(Env* env);
std::unique_ptr<MessageBase> NewSquishMessageBase(Env* env);
std::unique_ptr<MessageBase> NewMessageBase(BaseFormat format, Env* env);

// The format of the base at path (without extension), from the files
// there: the JAM header file or the Squish data file. kNotFound when
// neither is there, kInvalidArgument when both are.
Status DetectBaseFormat(Env* env, std::string_view path, BaseFormat* format);

// OpenMessageBase of drayline/message_base.h on env; *format (when not
// null) receives the format found.
std::unique_ptr<MessageBase> OpenMessageBase(std::string_view path,
                                             Status* status, Env* env,
                                             BaseFormat* format = nullptr);

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_FACTORY_H_
