// Composing a Squish message: header fields, attribute bits and text, kept
// in the object until WriteMessage stores them.

#include <algorithm>

#include "squish/squish_message_base.h"
#include "support/strings.h"

namespace drayline {

using namespace squish;

void SquishMessageBase::StartNewMessage() {
  msg_header_ = SquishMessageHeader{};
  frame_header_ = SquishFrameHeader{};
  text_pos_ = 0;
  date_text_.clear();
  time_text_.clear();
}

void SquishMessageBase::SetFrom(std::string_view name) {
  StrToCStr(Fit(name), kNameLimit, msg_header_.FromName);
}

void SquishMessageBase::SetTo(std::string_view name) {
  StrToCStr(Fit(name), kNameLimit, msg_header_.ToName);
}

void SquishMessageBase::SetSubject(std::string_view subject) {
  StrToCStr(Fit(subject), kSubjectLimit, msg_header_.Subject);
}

void SquishMessageBase::SetDate(std::string_view date) {
  date_text_ = Fit(date, 8);
}

void SquishMessageBase::SetTime(std::string_view time) {
  time_text_ = Fit(time, 8);
}

void SquishMessageBase::SetDest(const NetAddress& addr) {
  msg_header_.DestAddress = addr;
}

void SquishMessageBase::SetOrig(const NetAddress& addr) {
  msg_header_.OrigAddress = addr;
}

void SquishMessageBase::SetReplyTo(int32_t num) { msg_header_.ReplyTo = num; }

void SquishMessageBase::SetFirstReply(int32_t num) {
  msg_header_.Replies[0] = num;
}

void SquishMessageBase::SetMailType(MailType /*kind*/) {}

void SquishMessageBase::SetAttribute(bool on, uint32_t mask) {
  if (on) {
    msg_header_.Attributes |= mask;
  } else {
    msg_header_.Attributes &= ~mask;
  }
}

void SquishMessageBase::SetLocal(bool on) { SetAttribute(on, kAttrLocal); }
void SquishMessageBase::SetReceived(bool on) {
  SetAttribute(on, kAttrReceived);
}
void SquishMessageBase::SetPrivate(bool on) { SetAttribute(on, kAttrPrivate); }
void SquishMessageBase::SetCrash(bool on) { SetAttribute(on, kAttrCrash); }
void SquishMessageBase::SetHold(bool on) { SetAttribute(on, kAttrHold); }
void SquishMessageBase::SetKillSent(bool on) {
  SetAttribute(on, kAttrKillSent);
}
void SquishMessageBase::SetSent(bool on) { SetAttribute(on, kAttrSent); }
void SquishMessageBase::SetFileAttach(bool on) {
  SetAttribute(on, kAttrFileAttach);
}
void SquishMessageBase::SetReceiptRequest(bool on) {
  SetAttribute(on, kAttrReceiptRequest);
}
void SquishMessageBase::SetConfirmRequest(bool on) {
  SetAttribute(on, kAttrConfirmRequest);
}
void SquishMessageBase::SetIsReceipt(bool on) {
  SetAttribute(on, kAttrIsReceipt);
}
void SquishMessageBase::SetFileRequest(bool on) {
  SetAttribute(on, kAttrFileRequest);
}
// The stored bit says "already passed on", the opposite of the setter.
void SquishMessageBase::SetEchoed(bool on) {
  SetAttribute(!on, kAttrNotEchoed);
}

void SquishMessageBase::AddChar(uint8_t c) {
  if (text_buffer_ == nullptr || text_pos_ >= kTextBufferSize) return;
  text_buffer_[++text_pos_] = c;
}

void SquishMessageBase::AddText(std::string_view s) {
  for (char c : s.substr(0, kShortStringMax)) AddChar(static_cast<uint8_t>(c));
}

void SquishMessageBase::AddTextLine(std::string_view s) {
  AddText(s);
  AddChar(13);
}

}  // namespace drayline
