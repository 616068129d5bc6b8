#include "msgbase/spilling_text.h"

#include <algorithm>

#include "support/file_access.h"

namespace drayline {

SpillingText::SpillingText(Env* env, const ComposeRules& rules)
    : env_(env), rules_(rules) {
  // At least one byte in memory, so that every byte has a place to go.
  rules_.in_memory = std::max<uint64_t>(rules_.in_memory, 1);
}

void SpillingText::Append(uint8_t c) {
  if (!status_.ok()) return;
  if (Size() >= rules_.capacity) {
    if (rules_.overflow_fails) {
      status_ = Status::FromIo(io::kDiskWriteError,
                               "the text is longer than a message can hold");
    }
    return;
  }
  if (buffer_.size() >= rules_.in_memory) {
    status_ = Spill();
    if (!status_.ok()) {
      spill_.reset();
      return;
    }
  }
  buffer_.push_back(c);
}

Status SpillingText::Spill() {
  if (spill_ == nullptr) {
    const IoResult code = env_->OpenTemporary("", &spill_);
    if (code != io::kOk) return Status::FromIo(code, "making the spill file");
  }
  const IoResult code = RetryWrite(*spill_, spilled_, buffer_);
  if (code != io::kOk) return Status::FromIo(code, "writing the spill file");
  spilled_ += buffer_.size();
  buffer_.clear();
  return Status();
}

void SpillingText::Clear() {
  buffer_.clear();  // keeps its storage for the next message
  spilled_ = 0;
  spill_.reset();
  status_ = Status();
}

Status SpillingText::ReadAt(uint64_t offset, std::span<uint8_t> out) const {
  if (!status_.ok()) return status_;  // a failed text has bytes missing
  if (offset > Size() || out.size() > Size() - offset) {
    return Status::InvalidArgument("a range past the end of the composed text");
  }
  if (offset < spilled_) {
    const size_t n = static_cast<size_t>(
        std::min<uint64_t>(out.size(), spilled_ - offset));
    const IoResult code = ReadExact(*spill_, offset, out.first(n));
    if (code != io::kOk) return Status::FromIo(code, "reading the spill file");
    out = out.subspan(n);
    offset += n;
  }
  const auto from = buffer_.begin() + static_cast<ptrdiff_t>(offset - spilled_);
  std::copy_n(from, out.size(), out.begin());
  return Status();
}

}  // namespace drayline
