#include "drayline/message_base.h"

namespace drayline {

std::unique_ptr<MessageBase> NewJamMessageBase(Env* /*env*/) { return nullptr; }

}  // namespace drayline
