// EngineMessageBase: the cursor, loading a message and reading its text.

#include "msgbase/engine_message_base.h"
#include "msgbase/line_reader.h"
#include "support/strings.h"

namespace drayline {

namespace {

// An operation's own copy of a string argument is a short string.
std::string_view Short(std::string_view s) {
  return s.substr(0, kShortStringMax);
}

}  // namespace

void EngineMessageBase::SeekFirst(int32_t num) {
  Note(engine_->SeekFirst(num));
}

void EngineMessageBase::SeekNext() { Note(engine_->SeekNext()); }

void EngineMessageBase::SeekPrior() { Note(engine_->SeekPrior()); }

void EngineMessageBase::SetMsgLoc(int32_t loc) {
  Note(engine_->SetMsgLoc(loc));
}

void EngineMessageBase::SeekFirstForUser(std::string_view name,
                                         std::string_view alias) {
  // The match is loaded with the header the search read of it.
  Note(engine_->SeekFirstForUser(Short(name), Short(alias), &header_));
}

void EngineMessageBase::SeekNextForUser() {
  Note(engine_->SeekNextForUser(&header_));
}

void EngineMessageBase::ReadHeader() {
  LineOpen = false;
  viewed_unloaded_ = false;
  Note(engine_->ReadHeader(&header_));
}

Status EngineMessageBase::ViewHeader(HeaderView* out, HeaderDates dates) {
  if (engine_->ViewsHeaders()) {
    const Status s = engine_->ViewHeader(out, dates);
    Note(s);
    viewed_unloaded_ = true;
    return s;
  }
  ReadHeader();
  if (!step_.ok()) return step_;
  MakeTexts();
  if (dates == HeaderDates::kRead) MakeDates();
  const HeaderFields& h = header_;
  out->number = GetMsgNum();
  out->from = h.from;
  out->to = h.to;
  out->subject = h.subject;
  out->date_text = h.date_text;
  out->time_text = h.time_text;
  out->written = dates == HeaderDates::kRead ? h.written : LocalDateTime();
  out->processed = dates == HeaderDates::kRead ? h.processed : LocalDateTime();
  out->attributes = h.attributes;
  out->deleted = IsDeleted();
  out->text_length = h.text_length;
  // The control lines are not in the fields a full read makes.
  out->charset_control = {};
  out->controls_viewed = false;
  return step_;
}

void EngineMessageBase::BeginTextRead() {
  LineOpen = false;
  Note(engine_->BeginText());
}

uint8_t EngineMessageBase::GetChar() {
  // NoteTextRead's check made here on the one source: this runs per byte.
  TextSource& text = engine_->Text();
  const uint8_t c = text.GetChar();
  if (Status read = text.ReadStatus(); !read.ok()) Note(read);
  return c;
}

std::string EngineMessageBase::GetTextLine(uint16_t max_len) {
  std::string line =
      ReadTextLine(engine_->Text(), rules_.lines, max_len, &LineOpen);
  NoteTextRead();
  return line;
}

int32_t EngineMessageBase::GetNextReply() {
  return rules_.held.next_reply ? header_.next_reply : 0;
}

bool EngineMessageBase::IsEchoed() {
  // A format without the flag passes every message on.
  return rules_.held.echoed ? header_.echoed : true;
}

}  // namespace drayline
