// Placeholders for the reading operations until they are built.
#include "jam/jam_message_base.h"

namespace drayline {

void JamMessageBase::RewriteMessage() {}
uint8_t JamMessageBase::GetChar() { return 0; }
bool JamMessageBase::EndOfText() { return true; }
std::string JamMessageBase::GetTextLine(uint16_t) { return {}; }
std::string JamMessageBase::GetFrom() { return from_name_; }
std::string JamMessageBase::GetTo() { return to_name_; }
std::string JamMessageBase::GetSubject() { return subject_; }
uint16_t JamMessageBase::GetCost() { return 0; }
std::string JamMessageBase::GetDate() { return date_text_; }
std::string JamMessageBase::GetTime() { return time_text_; }
int32_t JamMessageBase::GetReplyTo() { return 0; }
int32_t JamMessageBase::GetFirstReply() { return 0; }
int32_t JamMessageBase::GetNextReply() { return 0; }
int32_t JamMessageBase::GetMsgNum() { return 0; }
int32_t JamMessageBase::GetTextLength() { return 0; }
void JamMessageBase::GetOrig(NetAddress&) {}
void JamMessageBase::GetDest(NetAddress&) {}
bool JamMessageBase::IsLocal() { return false; }
bool JamMessageBase::IsCrash() { return false; }
bool JamMessageBase::IsKillSent() { return false; }
bool JamMessageBase::IsSent() { return false; }
bool JamMessageBase::IsFileAttach() { return false; }
bool JamMessageBase::IsReceiptRequest() { return false; }
bool JamMessageBase::IsConfirmRequest() { return false; }
bool JamMessageBase::IsReceipt() { return false; }
bool JamMessageBase::IsFileRequest() { return false; }
bool JamMessageBase::IsReceived() { return false; }
bool JamMessageBase::IsPrivate() { return false; }
bool JamMessageBase::IsDeleted() { return false; }
bool JamMessageBase::IsEchoed() { return true; }
int32_t JamMessageBase::GetMsgLoc() { return 0; }
void JamMessageBase::SetMsgLoc(int32_t) {}
void JamMessageBase::ReadHeader() {}
void JamMessageBase::BeginTextRead() {}
void JamMessageBase::SeekFirst(int32_t) {}
void JamMessageBase::SeekNext() {}
void JamMessageBase::SeekPrior() {}
bool JamMessageBase::SeekFound() { return false; }
void JamMessageBase::SeekFirstForUser(std::string_view, std::string_view) {}
void JamMessageBase::SeekNextForUser() {}
bool JamMessageBase::ForUserFound() { return false; }
int32_t JamMessageBase::GetHighMsgNum() { return 0; }
uint16_t JamMessageBase::GetAuxNumber() { return 0; }
void JamMessageBase::RewriteHeader() {}
void JamMessageBase::DeleteMessage() {}
int32_t JamMessageBase::NumberOfMessages() { return 0; }
int32_t JamMessageBase::GetLastRead(int32_t) { return 0; }
void JamMessageBase::SetLastRead(int32_t, int32_t) {}
int32_t JamMessageBase::GetTextPosition() { return 0; }
void JamMessageBase::SetTextPosition(int32_t) {}

}  // namespace drayline
