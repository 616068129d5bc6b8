#include "post/command_output.h"

namespace drayline {

void CommandOutput::Flush() {
  if (!ok_ || pending_.empty()) return;
  ok_ = env_->WriteStandardOutput(pending_) == io::kOk;
  pending_.clear();
}

}  // namespace drayline
