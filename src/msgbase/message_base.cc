#include "drayline/message_base.h"

namespace drayline {

MessageBase::~MessageBase() = default;

void MessageBase::AddText(std::string_view s) {
  for (char c : s.substr(0, 255)) AddChar(static_cast<uint8_t>(c));
}

void MessageBase::AddTextLine(std::string_view s) {
  AddText(s);
  AddChar(13);
}

void MessageBase::AddLine(std::string_view s) { AddTextLine(s); }

std::string MessageBase::GetVisibleLine(uint16_t max_len) {
  std::string s = GetTextLine(max_len);
  while (!s.empty() && s[0] == 1 && !EndOfText()) s = GetTextLine(max_len);
  return s;
}

int32_t MessageBase::GetHighActiveMsgNum() {
  SeekFirst(GetHighMsgNum());
  if (!SeekFound()) SeekPrior();
  if (!SeekFound()) return 0;
  // A format may answer GetMsgNum from the header last loaded.
  ReadHeader();
  return GetMsgNum();
}

}  // namespace drayline
