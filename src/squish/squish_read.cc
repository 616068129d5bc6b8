// Reading, scanning, deleting and last-read pointers of a Squish base.
//
// Placeholders: every operation here answers as the interface's default
// until the reading side is built.

#include "squish/squish_message_base.h"

namespace drayline {

void SquishMessageBase::ResetText() { text_pos_ = 0; }
void SquishMessageBase::RewriteMessage() {}
uint8_t SquishMessageBase::GetChar() { return 0; }
bool SquishMessageBase::EndOfText() { return true; }
std::string SquishMessageBase::GetTextLine(uint16_t /*max_len*/) { return {}; }
std::string SquishMessageBase::GetFrom() { return {}; }
std::string SquishMessageBase::GetTo() { return {}; }
std::string SquishMessageBase::GetSubject() { return {}; }
std::string SquishMessageBase::GetDate() { return {}; }
std::string SquishMessageBase::GetTime() { return {}; }
int32_t SquishMessageBase::GetReplyTo() { return 0; }
int32_t SquishMessageBase::GetFirstReply() { return 0; }
int32_t SquishMessageBase::GetMsgNum() { return -1; }
int32_t SquishMessageBase::GetTextLength() { return 0; }
void SquishMessageBase::GetOrig(NetAddress& /*addr*/) {}
void SquishMessageBase::GetDest(NetAddress& /*addr*/) {}
bool SquishMessageBase::IsLocal() { return false; }
bool SquishMessageBase::IsCrash() { return false; }
bool SquishMessageBase::IsKillSent() { return false; }
bool SquishMessageBase::IsSent() { return false; }
bool SquishMessageBase::IsFileAttach() { return false; }
bool SquishMessageBase::IsReceiptRequest() { return false; }
bool SquishMessageBase::IsConfirmRequest() { return false; }
bool SquishMessageBase::IsReceipt() { return false; }
bool SquishMessageBase::IsFileRequest() { return false; }
bool SquishMessageBase::IsReceived() { return false; }
bool SquishMessageBase::IsPrivate() { return false; }
bool SquishMessageBase::IsDeleted() { return false; }
bool SquishMessageBase::IsEchoed() { return false; }
int32_t SquishMessageBase::GetMsgLoc() { return GetMsgNum(); }
void SquishMessageBase::SetMsgLoc(int32_t /*loc*/) {}
void SquishMessageBase::ReadHeader() {}
void SquishMessageBase::BeginTextRead() {}
void SquishMessageBase::SeekFirst(int32_t /*num*/) {}
void SquishMessageBase::SeekNext() {}
void SquishMessageBase::SeekPrior() {}
bool SquishMessageBase::SeekFound() { return false; }
void SquishMessageBase::SeekFirstForUser(std::string_view /*name*/,
                                         std::string_view /*alias*/) {}
void SquishMessageBase::SeekNextForUser() {}
bool SquishMessageBase::ForUserFound() { return false; }
int32_t SquishMessageBase::GetHighMsgNum() { return 0; }
uint16_t SquishMessageBase::GetAuxNumber() { return 0; }
void SquishMessageBase::RewriteHeader() {}
void SquishMessageBase::DeleteMessage() {}
int32_t SquishMessageBase::NumberOfMessages() { return 0; }
int32_t SquishMessageBase::GetLastRead(int32_t /*user*/) { return 0; }
void SquishMessageBase::SetLastRead(int32_t /*user*/, int32_t /*num*/) {}
int32_t SquishMessageBase::GetMsgDisplayNum() { return cursor_index_; }
int32_t SquishMessageBase::GetTextPosition() { return text_pos_; }
void SquishMessageBase::SetTextPosition(int32_t /*pos*/) {}

IoResult SquishMessageBase::ReadMsgTextAt(int64_t /*offset*/) { return 0; }
int32_t SquishMessageBase::GetIndexOffset() { return -1; }
int32_t SquishMessageBase::GetIndexHash() { return 0; }
int32_t SquishMessageBase::GetHighestUid() { return 0; }

}  // namespace drayline
