#include "drayline/message_base.h"
#include "jam/jam_message_base.h"

namespace drayline {

std::unique_ptr<MessageBase> NewJamMessageBase(Env* env) {
  return std::make_unique<JamMessageBase>(env);
}

}  // namespace drayline
