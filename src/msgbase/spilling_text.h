// SpillingText: the composed text of a message, kept in memory up to a
// limit and beyond it in an unnamed scratch file.
//
// The scratch file is made with Env::OpenTemporary: no other process can
// open or plant it, and it vanishes with its descriptor whatever becomes of
// the store. Its first failure fails the text: later bytes are dropped and
// status() answers that failure until Clear, so that a store never takes a
// text with bytes missing. Bytes beyond the format's capacity are dropped,
// or fail the text likewise (ComposeRules).

#ifndef DRAYLINE_MSGBASE_SPILLING_TEXT_H_
#define DRAYLINE_MSGBASE_SPILLING_TEXT_H_

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "msgbase/storage_engine.h"
#include "support/env.h"

namespace drayline {

class SpillingText final : public ComposedText {
 public:
  // env makes the scratch file and must outlive this object.
  SpillingText(Env* env, const ComposeRules& rules);

  void Append(uint8_t c);
  // Forgets the text, its scratch file and its failure.
  void Clear();
  const Status& status() const { return status_; }

  uint64_t Size() const override { return spilled_ + buffer_.size(); }
  Status ReadAt(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  Status Spill();

  Env* env_;
  ComposeRules rules_;
  std::vector<uint8_t> buffer_;  // the bytes from spilled_ on
  uint64_t spilled_ = 0;         // bytes [0, spilled_) are in spill_
  std::unique_ptr<File> spill_;
  Status status_;
};

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_SPILLING_TEXT_H_
