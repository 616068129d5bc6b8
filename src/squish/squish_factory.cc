#include "drayline/message_base.h"

namespace drayline {

// The Squish format is not built yet: no base can be constructed.
std::unique_ptr<MessageBase> NewSquishMessageBase(Env* /*env*/) {
  return nullptr;
}

}  // namespace drayline
