// Placeholder definitions; replaced by the message-writing code.
#include "squish/squish_message_base.h"

namespace drayline {

void SquishMessageBase::SetDest(const NetAddress&) {}
void SquishMessageBase::SetOrig(const NetAddress&) {}
void SquishMessageBase::SetFrom(std::string_view) {}
void SquishMessageBase::SetTo(std::string_view) {}
void SquishMessageBase::SetSubject(std::string_view) {}
void SquishMessageBase::SetReplyTo(int32_t) {}
void SquishMessageBase::SetFirstReply(int32_t) {}
void SquishMessageBase::SetDate(std::string_view) {}
void SquishMessageBase::SetTime(std::string_view) {}
void SquishMessageBase::SetLocal(bool) {}
void SquishMessageBase::SetReceived(bool) {}
void SquishMessageBase::SetPrivate(bool) {}
void SquishMessageBase::SetCrash(bool) {}
void SquishMessageBase::SetHold(bool) {}
void SquishMessageBase::SetKillSent(bool) {}
void SquishMessageBase::SetSent(bool) {}
void SquishMessageBase::SetFileAttach(bool) {}
void SquishMessageBase::SetReceiptRequest(bool) {}
void SquishMessageBase::SetConfirmRequest(bool) {}
void SquishMessageBase::SetIsReceipt(bool) {}
void SquishMessageBase::SetFileRequest(bool) {}
void SquishMessageBase::AddText(std::string_view) {}
void SquishMessageBase::AddChar(uint8_t) {}
void SquishMessageBase::AddTextLine(std::string_view) {}
uint16_t SquishMessageBase::WriteMessage() { return 5; }
void SquishMessageBase::StartNewMessage() {}
void SquishMessageBase::SetMailType(MailType) {}
void SquishMessageBase::SetEchoed(bool) {}
IoResult SquishMessageBase::ReadCurrentFrameHeader(int64_t) { return 0; }
IoResult SquishMessageBase::ReadFrameHeader(SquishFrameHeader&, int64_t) { return 0; }
IoResult SquishMessageBase::WriteCurrentFrameHeader(int64_t) { return 0; }
IoResult SquishMessageBase::WriteFrameHeader(const SquishFrameHeader&, int64_t) { return 0; }
IoResult SquishMessageBase::ReadMsgHeaderAt(int64_t) { return 0; }
IoResult SquishMessageBase::WriteMsgHeaderAt(int64_t) { return 0; }
IoResult SquishMessageBase::WriteMsgTextAt(int64_t) { return 0; }
IoResult SquishMessageBase::DeleteByUid(int32_t) { return 0; }
void SquishMessageBase::SetAttribute(bool, uint32_t) {}

}  // namespace drayline
