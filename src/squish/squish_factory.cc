#include <new>

#include "drayline/message_base.h"
#include "squish/squish_message_base.h"

namespace drayline {

std::unique_ptr<MessageBase> NewSquishMessageBase(Env* env) {
  std::unique_ptr<SquishMessageBase> base(new (std::nothrow)
                                              SquishMessageBase(env));
  if (base == nullptr || !base->Constructed()) return nullptr;
  return base;
}

}  // namespace drayline
