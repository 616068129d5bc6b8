// The message facade of drayline/message.h, over the message-base layer.
//
// Base objects come only from this library's factories, so the MessageBase
// behind a Base is always an EngineMessageBase; the facade reads the header
// fields the 93 operations do not show (the dates as fields, the replies)
// from it.

#include "drayline/message.h"

#include <string>
#include <utility>

#include "msgbase/engine_message_base.h"
#include "msgbase/factory.h"
#include "support/clock.h"

namespace drayline {

namespace {

EngineMessageBase* Layer(MessageBase* base) {
  return dynamic_cast<EngineMessageBase*>(base);
}

Status NotThisLibrarys() {
  return Status::InvalidArgument("the base was not made by this library");
}

Status NoMessage(int32_t number) {
  return Status::NoSuchMessage("number " + std::to_string(number));
}

// Loads the header at the cursor into *out (text not yet).
Status LoadHeader(EngineMessageBase& base, Message* out) {
  base.ReadHeader();
  if (!base.StepStatus().ok()) return base.StepStatus();
  const HeaderFields& h = base.Header();
  out->number = base.GetMsgNum();
  out->from = h.from;
  out->to = h.to;
  out->subject = h.subject;
  out->written = h.written;
  out->processed = h.processed;
  out->date_text = h.date_text;
  out->time_text = h.time_text;
  out->attributes = h.attributes;
  out->deleted = base.IsDeleted();
  out->orig = h.orig;
  out->dest = h.dest;
  out->reply_to = h.reply_to;
  out->reply_first = h.first_reply;
  out->reply_next = base.GetNextReply();
  out->replies = h.replies;
  out->text_length = h.text_length;
  return Status();
}

Status LoadText(EngineMessageBase& base, Message* out) {
  base.BeginTextRead();
  out->text.clear();
  if (!base.StepStatus().ok()) return base.StepStatus();
  base.AppendText(&out->text);
  return base.StepStatus();  // a read of the text that failed
}

// Puts the cursor on message number and loads its header.
Status Find(EngineMessageBase& base, int32_t number, Message* out) {
  base.SeekFirst(number);
  if (!base.StepStatus().ok()) return base.StepStatus();
  if (!base.SeekFound()) return NoMessage(number);
  Status s = LoadHeader(base, out);
  if (s.ok() && out->number != number) return NoMessage(number);
  return s;
}

LocalDateTime Now() {
  const DateTimeRecord now = CurrentLocalDateTime(Env::Default());
  return {now.Year, now.Month, now.Day, now.Hour, now.Minute, now.Second};
}

HeaderFields HeaderOf(const Message& m, HeaderFields h) {
  const LocalDateTime none;
  h.from = m.from;
  h.to = m.to;
  h.subject = m.subject;
  if (!m.date_text.empty()) h.date_text = m.date_text;
  if (!m.time_text.empty()) h.time_text = m.time_text;
  h.written = m.written == none ? Now() : m.written;
  h.processed = m.processed == none ? Now() : m.processed;
  h.exact_dates = true;
  h.attributes = m.attributes;
  h.orig = m.orig;
  h.dest = m.dest;
  h.reply_to = m.reply_to;
  h.first_reply = m.reply_first;
  h.next_reply = m.reply_next;
  h.replies = m.replies;
  return h;
}

}  // namespace

void Message::Set(AttributeBit bit, bool on) {
  const uint32_t mask = uint32_t{1} << static_cast<unsigned>(bit);
  attributes = on ? (attributes | mask) : (attributes & ~mask);
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      line.push_back(text[i]);
      continue;
    }
    lines.push_back(std::move(line));
    line.clear();
    if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

bool MessageIterator::Step() {
  // The layer is looked up once: a listing calls this for every message.
  if (!started_ && Layer(base_) == nullptr) {
    status_ = NotThisLibrarys();
    return false;
  }
  auto* base = static_cast<EngineMessageBase*>(base_);
  if (started_) {
    base->SeekNext();
  } else {
    base->SeekFirst(first_);
    started_ = true;
  }
  status_ = base->StepStatus();
  return status_.ok() && base->SeekFound();
}

bool MessageIterator::Next(HeaderView* out, HeaderDates dates) {
  if (!Step()) return false;
  status_ = static_cast<EngineMessageBase*>(base_)->ViewHeader(out, dates);
  return status_.ok();
}

bool MessageIterator::Next(Message* out) {
  if (!Step()) return false;
  auto* base = static_cast<EngineMessageBase*>(base_);
  status_ = LoadHeader(*base, out);
  if (status_.ok() && parts_ == ReadParts::kWhole) {
    status_ = LoadText(*base, out);
  } else {
    out->text.clear();
  }
  return status_.ok();
}

std::unique_ptr<Base> Base::Open(std::string_view path, Status* status) {
  BaseFormat format = BaseFormat::kJam;
  std::unique_ptr<MessageBase> base =
      OpenMessageBase(path, status, nullptr, &format);
  if (base == nullptr) return nullptr;
  return std::unique_ptr<Base>(new Base(std::move(base), format));
}

std::unique_ptr<Base> Base::OpenOrCreate(std::string_view path,
                                         BaseFormat format, Status* status) {
  Status ignored;
  if (status == nullptr) status = &ignored;
  BaseFormat found = format;
  const Status there = DetectBaseFormat(nullptr, path, &found);
  if (there.ok() && found != format) {
    *status = Status::InvalidArgument("a base of the other format is at " +
                                      std::string(path));
    return nullptr;
  }
  if (!there.ok() && there.code() != StatusCode::kNotFound) {
    *status = there;
    return nullptr;
  }
  std::unique_ptr<MessageBase> base = NewMessageBase(format, nullptr);
  if (base == nullptr) {
    *status = Status::FromIo(io::kNoZeroBlock, "no memory for the base");
    return nullptr;
  }
  base->SetPath(path);
  // No limits on a base made here: every message is kept.
  if ((!there.ok() && !base->CreateBase(0, 0)) || !base->OpenBase()) {
    *status = base->LastStatus();
    return nullptr;
  }
  *status = Status();
  return std::unique_ptr<Base>(new Base(std::move(base), format));
}

Status Base::Read(int32_t number, Message* out) {
  EngineMessageBase* base = Layer(base_.get());
  if (base == nullptr) return NotThisLibrarys();
  Status s = Find(*base, number, out);
  return s.ok() ? LoadText(*base, out) : s;
}

Status Base::Store(const Message& m, int32_t* number) {
  EngineMessageBase* base = Layer(base_.get());
  if (base == nullptr) return NotThisLibrarys();
  base->StartNewMessage();
  base->ComposeWhole(HeaderOf(m, base->Header()), m.text);
  base->WriteMessage();
  if (base->StepStatus().ok() && number != nullptr) *number = base->GetMsgNum();
  return base->StepStatus();
}

Status Base::Delete(int32_t number) {
  EngineMessageBase* base = Layer(base_.get());
  if (base == nullptr) return NotThisLibrarys();
  Message found;
  Status s = Find(*base, number, &found);
  if (!s.ok()) return s;
  base->DeleteMessage();
  return base->StepStatus();
}

Status Base::ReadLoadedHeader(Message* out) {
  EngineMessageBase* base = Layer(base_.get());
  if (base == nullptr) return NotThisLibrarys();
  out->text.clear();
  return LoadHeader(*base, out);
}

Status Base::ViewLoadedHeader(HeaderView* out, HeaderDates dates) {
  EngineMessageBase* base = Layer(base_.get());
  if (base == nullptr) return NotThisLibrarys();
  return base->ViewHeader(out, dates);
}

Status Base::ReadLoadedText(std::string* out, std::string* control) {
  out->clear();
  if (control != nullptr) control->clear();
  EngineMessageBase* base = Layer(base_.get());
  if (base == nullptr) return NotThisLibrarys();
  base->LoadViewed();
  if (!base->StepStatus().ok()) return base->StepStatus();
  base->BeginTextRead();
  if (!base->StepStatus().ok()) return base->StepStatus();
  if (control != nullptr) base->AppendControl(control);
  base->AppendText(out);
  return base->StepStatus();
}

Status Base::GetLastRead(int32_t user, int32_t* number) {
  EngineMessageBase* base = Layer(base_.get());
  if (base == nullptr) return NotThisLibrarys();
  *number = base->GetLastRead(user);
  return base->StepStatus();
}

Status Base::SetLastRead(int32_t user, int32_t number) {
  EngineMessageBase* base = Layer(base_.get());
  if (base == nullptr) return NotThisLibrarys();
  base->SetLastRead(user, number);
  return base->StepStatus();
}

}  // namespace drayline
