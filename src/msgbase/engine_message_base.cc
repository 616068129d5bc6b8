// EngineMessageBase: the base's life, its lock, last-read pointers, and the
// status every step leaves.

#include "msgbase/engine_message_base.h"

#include <utility>

namespace drayline {

namespace {

Status Finished() {
  return Status::FromIo(io::kNotOpen, "the base object is done");
}

}  // namespace

EngineMessageBase::EngineMessageBase(std::unique_ptr<StorageEngine> engine,
                                     Env* env)
    : engine_(std::move(engine)),
      rules_(engine_->Rules()),
      text_(env, rules_.compose) {}

EngineMessageBase::~EngineMessageBase() { Done(); }

void EngineMessageBase::NoteChange(const Status& status) {
  if (!status.ok()) {
    step_ = status;
    last_ = status;
    return;
  }
  step_ = Status();
  if (!rules_.failures_persist) last_ = Status();
}

void EngineMessageBase::NoteTextRead() {
  // Only failures: a text read that succeeds is no step of its own.
  Status read = engine_->Text().ReadStatus();
  if (!read.ok()) Note(read);
}

void EngineMessageBase::SetDateStyle(DateStyle style) {
  engine_->SetDateStyle(static_cast<uint8_t>(style));
  // Texts made from the stored date are made again in the new style.
  if (header_.texts_stored) header_.texts_pending = true;
}

void EngineMessageBase::MakeDates() {
  if (header_.dates_pending) {
    engine_->MakeDates(&header_);
    header_.dates_pending = false;
  }
}

const HeaderFields& EngineMessageBase::Header() {
  MakeTexts();
  MakeDates();
  return header_;
}

void EngineMessageBase::SetFlag(AttributeBit bit, bool on) {
  if (rules_.held.attributes & HeaderFields::Mask(bit)) header_.Set(bit, on);
}

bool EngineMessageBase::Flag(AttributeBit bit) const {
  return (rules_.held.attributes & HeaderFields::Mask(bit)) && header_.Has(bit);
}

void EngineMessageBase::Done() {
  if (done_) return;
  done_ = true;
  engine_->Close();
  text_.Clear();
}

void EngineMessageBase::SetPath(std::string_view path) {
  engine_->SetPath(path);
}

bool EngineMessageBase::OpenBase() {
  Note(done_ ? Finished() : engine_->Open());
  return step_.ok();
}

void EngineMessageBase::CloseBase() { engine_->Close(); }

bool EngineMessageBase::CreateBase(uint16_t max_msgs, uint16_t keep_days) {
  Note(done_ ? Finished() : engine_->Create(max_msgs, keep_days));
  return step_.ok();
}

bool EngineMessageBase::BaseExists() { return engine_->Exists(); }

bool EngineMessageBase::LockBase() {
  Note(engine_->Lock());
  return step_.ok();
}

bool EngineMessageBase::UnlockBase() {
  Note(engine_->Unlock());
  return step_.ok();
}

int32_t EngineMessageBase::NumberOfMessages() {
  return engine_->MessageCount();
}

int32_t EngineMessageBase::GetLastRead(int32_t user) {
  int32_t num = 0;
  Note(engine_->GetLastRead(user, &num));
  return num;
}

void EngineMessageBase::SetLastRead(int32_t user, int32_t num) {
  Note(engine_->SetLastRead(user, num));
}

}  // namespace drayline
