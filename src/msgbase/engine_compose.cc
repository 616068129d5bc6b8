// EngineMessageBase: composing a message, storing it, and changing the
// stored message at the cursor.

#include "msgbase/engine_message_base.h"
#include "support/strings.h"

namespace drayline {

namespace {

constexpr uint8_t kCr = 13;
constexpr uint8_t kLf = 10;

}  // namespace

void EngineMessageBase::StartNewMessage() {
  // The mail type is a setting of the composer: it stays for the next
  // message (a format that holds none ignores it anyway).
  const MailType kind = header_.mail_type;
  header_ = engine_->NewHeader();
  if (rules_.held.mail_type) header_.mail_type = kind;
  text_.Clear();
}

void EngineMessageBase::ComposeWhole(const HeaderFields& header,
                                     std::string_view text) {
  header_ = header;
  // The texts are cut as their setters cut them; the engine stores only
  // the fields and attribute bits its format holds.
  SetFrom(header.from);
  SetTo(header.to);
  SetSubject(header.subject);
  SetDate(header.date_text);
  SetTime(header.time_text);
  text_.Clear();
  for (char c : text) text_.Append(static_cast<uint8_t>(c));
  LineOpen = false;  // stored as given: no line end is added
}

void EngineMessageBase::SetFrom(std::string_view name) {
  header_.from = Fit(name, rules_.limits.from);
}

void EngineMessageBase::SetTo(std::string_view name) {
  header_.to = Fit(name, rules_.limits.to);
}

void EngineMessageBase::SetSubject(std::string_view subject) {
  header_.subject = Fit(subject, rules_.limits.subject);
}

void EngineMessageBase::SetDate(std::string_view date) {
  MakeTexts();  // the time text stays the stored one
  header_.date_text = Fit(date, rules_.limits.date);
  header_.texts_stored = false;
}

void EngineMessageBase::SetTime(std::string_view time) {
  MakeTexts();
  header_.time_text = Fit(time, rules_.limits.time);
  header_.texts_stored = false;
}

void EngineMessageBase::SetCost(uint16_t cost) {
  if (rules_.held.cost) header_.cost = cost;
}

void EngineMessageBase::SetNextReply(int32_t num) {
  if (rules_.held.next_reply) header_.next_reply = num;
}

void EngineMessageBase::SetMailType(MailType kind) {
  if (rules_.held.mail_type) header_.mail_type = kind;
}

void EngineMessageBase::SetEchoed(bool on) {
  if (rules_.held.echoed) header_.echoed = on;
}

void EngineMessageBase::AddChar(uint8_t c) {
  if (rules_.compose.closes_open_line) {
    if (c == kCr) {
      LineOpen = false;
    } else if (c != kLf) {
      LineOpen = true;
    }
  }
  const bool failed = !text_.status().ok();
  text_.Append(c);
  // The spill file's failure is reported when it happens; the store that
  // follows fails with it.
  if (!failed && !text_.status().ok()) Note(text_.status());
}

void EngineMessageBase::ResetText() {
  text_.Clear();
  engine_->Text().SetPosition(0);
}

uint16_t EngineMessageBase::WriteMessage() {
  if (done_) {
    Note(Status::FromIo(io::kNotOpen, "the base object is done"));
    return step_.io_result();
  }
  if (rules_.compose.closes_open_line && LineOpen) {
    AddChar(kCr);
    AddChar(kLf);
  }
  if (!text_.status().ok()) {
    Note(text_.status());
    return step_.io_result();
  }
  uint16_t code = 0;
  Note(engine_->Append(Header(), text_, &code));
  // A text that was not stored stays composed, for another attempt.
  if (step_.ok()) text_.Clear();
  return code;
}

void EngineMessageBase::RewriteMessage() {
  Header();  // its texts and dates made before the engine writes them
  Note(text_.status().ok() ? engine_->RewriteMessage(&header_, text_)
                           : text_.status());
  text_.Clear();
}

void EngineMessageBase::RewriteHeader() {
  Note(engine_->RewriteHeader(Header()));
}

void EngineMessageBase::DeleteMessage() {
  // A message loaded with its deleted mark (JAM keeps the header, and a
  // damaged base may still index it) is not there to delete.
  if (header_.deleted) {
    Note(Status::NoSuchMessage("the message loaded is deleted already"));
    return;
  }
  Note(engine_->DeleteLoaded(&header_));
}

}  // namespace drayline
