// The message-base interface that the board's programs use, whatever the
// storage format of the base.
//
//   std::unique_ptr<MessageBase> base = NewJamMessageBase();   // or Squish
//   base->SetPath("msgs/general");
//   if (!base->OpenBase() && base->CreateBase(500, 30)) base->OpenBase();
//   base->StartNewMessage(); ... base->WriteMessage(); base->CloseBase();
//
// Failures are results, never exceptions: OpenBase, CreateBase, LockBase and
// UnlockBase answer false, WriteMessage a non-zero code; LastStatus() says
// which failure it was, also for the operations that answer nothing. Strings
// are byte strings; a setter keeps at most its field's length (and never
// more than 255 characters). A base object is used by one thread.
//
// The 93 operations are virtual, in this order; the defaults here are what a
// format keeps unless it replaces the operation.

#ifndef DRAYLINE_MESSAGE_BASE_H_
#define DRAYLINE_MESSAGE_BASE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "drayline/change_options.h"
#include "drayline/status.h"

namespace drayline {

// A network address: zone:net/node.point.
struct NetAddress {
  uint16_t zone = 0;
  uint16_t net = 0;
  uint16_t node = 0;
  uint16_t point = 0;
  bool operator==(const NetAddress&) const = default;
};

// Kind of a composed message. Stored as a 32-bit value; values other than
// these three are carried as they are.
enum class MailType : int32_t { Local = 0, Echo = 1, Net = 2 };

// The styles of a date text made from a stored number (SetDateStyle):
// MM/DD/YY, DD/MM/YY, YY/DD/MM; kNone makes no text.
enum class DateStyle : uint8_t {
  kNone = 0,
  kMonthDayYear = 1,
  kDayMonthYear = 2,
  kYearDayMonth = 3
};

class MessageBase {
 public:
  MessageBase() = default;
  MessageBase(const MessageBase&) = delete;
  MessageBase& operator=(const MessageBase&) = delete;
  // Each format's destructor calls its own Done.
  virtual ~MessageBase() = 0;

  virtual void ResetText() {}                                  // 1
  virtual void RewriteMessage() {}                             // 2
  // Releases the buffers and closes the files. May be called more than
  // once; the object may not be used for messages afterwards.
  virtual void Done() {}                                       // 3
  virtual void SetPath(std::string_view /*path*/) {}           // 4
  virtual bool OpenBase() { return false; }                    // 5
  virtual void CloseBase() {}                                  // 6
  virtual bool CreateBase(uint16_t /*max_msgs*/,
                          uint16_t /*keep_days*/) {            // 7
    return false;
  }
  virtual bool BaseExists() { return false; }                  // 8
  virtual bool LockBase() { return false; }                    // 9
  virtual bool UnlockBase() { return false; }                  // 10
  virtual void SetDest(const NetAddress& /*addr*/) {}          // 11
  virtual void SetOrig(const NetAddress& /*addr*/) {}          // 12
  virtual void SetFrom(std::string_view /*name*/) {}           // 13
  virtual void SetTo(std::string_view /*name*/) {}             // 14
  virtual void SetSubject(std::string_view /*subject*/) {}     // 15
  virtual void SetCost(uint16_t /*cost*/) {}                   // 16
  virtual void SetReplyTo(int32_t /*num*/) {}                  // 17
  virtual void SetFirstReply(int32_t /*num*/) {}               // 18
  virtual void SetDate(std::string_view /*date*/) {}           // 19
  virtual void SetTime(std::string_view /*time*/) {}           // 20
  virtual void SetLocal(bool /*on*/) {}                        // 21
  virtual void SetReceived(bool /*on*/) {}                     // 22
  virtual void SetPrivate(bool /*on*/) {}                      // 23
  virtual void SetCrash(bool /*on*/) {}                        // 24
  virtual void SetHold(bool /*on*/) {}                         // 25
  virtual void SetKillSent(bool /*on*/) {}                     // 26
  virtual void SetSent(bool /*on*/) {}                         // 27
  virtual void SetFileAttach(bool /*on*/) {}                   // 28
  virtual void SetReceiptRequest(bool /*on*/) {}               // 29
  virtual void SetConfirmRequest(bool /*on*/) {}               // 30
  virtual void SetIsReceipt(bool /*on*/) {}                    // 31
  virtual void SetFileRequest(bool /*on*/) {}                  // 32
  // Appends each character of s, through AddChar.
  virtual void AddText(std::string_view s);                    // 33
  virtual void AddChar(uint8_t /*c*/) {}                       // 34
  // AddText(s), then a CR (13); no line feed.
  virtual void AddTextLine(std::string_view s);                // 35
  virtual void AddLine(std::string_view s);                    // 36
  // Stores the composed message; 0 on success, else the failing code.
  virtual uint16_t WriteMessage() { return 0; }                // 37
  virtual uint8_t GetChar() { return 0; }                      // 38
  virtual bool EndOfText() { return false; }                   // 39
  virtual std::string GetTextLine(uint16_t /*max_len*/) {      // 40
    return {};
  }
  // The next line that is not a control line (first character 1).
  virtual std::string GetVisibleLine(uint16_t max_len);        // 41
  virtual std::string GetFrom() { return {}; }                 // 42
  virtual std::string GetTo() { return {}; }                   // 43
  virtual std::string GetSubject() { return {}; }              // 44
  virtual uint16_t GetCost() { return 0; }                     // 45
  virtual std::string GetDate() { return {}; }                 // 46
  virtual std::string GetTime() { return {}; }                 // 47
  virtual int32_t GetReplyTo() { return 0; }                   // 48
  virtual int32_t GetFirstReply() { return 0; }                // 49
  virtual int32_t GetNextReply() { return 0; }                 // 50
  virtual void SetNextReply(int32_t /*num*/) {}                // 51
  virtual int32_t GetMsgNum() { return 0; }                    // 52
  virtual int32_t GetTextLength() { return 0; }                // 53
  virtual void GetOrig(NetAddress& /*addr*/) {}                // 54
  virtual void GetDest(NetAddress& /*addr*/) {}                // 55
  virtual bool IsLocal() { return false; }                     // 56
  virtual bool IsCrash() { return false; }                     // 57
  virtual bool IsKillSent() { return false; }                  // 58
  virtual bool IsSent() { return false; }                      // 59
  virtual bool IsFileAttach() { return false; }                // 60
  virtual bool IsReceiptRequest() { return false; }            // 61
  virtual bool IsConfirmRequest() { return false; }            // 62
  virtual bool IsReceipt() { return false; }                   // 63
  virtual bool IsFileRequest() { return false; }               // 64
  virtual bool IsReceived() { return false; }                 // 65
  virtual bool IsPrivate() { return false; }                   // 66
  virtual bool IsDeleted() { return false; }                   // 67
  virtual bool IsEchoed() { return false; }                    // 68
  virtual int32_t GetMsgLoc() { return 0; }                    // 69
  virtual void SetMsgLoc(int32_t /*loc*/) {}                   // 70
  virtual void ReadHeader() {}                                 // 71
  virtual void BeginTextRead() {}                              // 72
  virtual void StartNewMessage() {}                            // 73
  virtual void SeekFirst(int32_t /*num*/) {}                   // 74
  virtual void SeekNext() {}                                   // 75
  virtual void SeekPrior() {}                                  // 76
  virtual bool SeekFound() { return false; }                   // 77
  virtual void SeekFirstForUser(std::string_view /*name*/,
                                std::string_view /*alias*/) {} // 78
  virtual void SeekNextForUser() {}                            // 79
  virtual bool ForUserFound() { return false; }                // 80
  virtual int32_t GetHighMsgNum() { return 0; }                // 81
  virtual void SetMailType(MailType /*kind*/) {}               // 82
  virtual uint16_t GetAuxNumber() { return 0; }                // 83
  virtual void RewriteHeader() {}                              // 84
  virtual void DeleteMessage() {}                              // 85
  virtual void SetEchoed(bool /*on*/) {}                       // 86
  virtual int32_t NumberOfMessages() { return 0; }             // 87
  virtual int32_t GetLastRead(int32_t /*user*/) { return 0; }  // 88
  virtual void SetLastRead(int32_t /*user*/, int32_t /*num*/) {}  // 89
  virtual int32_t GetMsgDisplayNum() { return GetMsgNum(); }   // 90
  virtual int32_t GetTextPosition() { return 0; }              // 91
  virtual void SetTextPosition(int32_t /*pos*/) {}             // 92
  // The number of the last message that exists, 0 if none; leaves the
  // cursor where the search put it, with that message's header loaded.
  virtual int32_t GetHighActiveMsgNum();                       // 93

  // What the last step that reports a status gave: success, or the
  // failure and its words. A base of the Squish format keeps its last
  // failure until the next one; a JAM base reports every step's result.
  // The default has no steps and answers success.
  virtual Status LastStatus() const { return Status(); }

  // How the base writes a date text where its format stores the date as a
  // number: GetDate of a Squish message, and the date text a new JAM
  // message starts with (from the clock). kNone, the default, gives "".
  // The style belongs to this object alone; the default ignores it.
  virtual void SetDateStyle(DateStyle /*style*/) {}

  // How every later change to the base records and flushes itself, and who
  // is told when each begins and ends (drayline/change_options.h). The
  // default ignores them.
  virtual void SetChangeOptions(const ChangeOptions& /*options*/) {}

 protected:
  // Text line state shared by the formats' text operations.
  bool LineOpen = false;
};

// The storage formats of a base.
enum class BaseFormat : uint8_t { kJam, kSquish };

// A base object of each format, on the process's file system. Give it a
// path (SetPath) and open or create it.
std::unique_ptr<MessageBase> NewJamMessageBase();
std::unique_ptr<MessageBase> NewSquishMessageBase();
std::unique_ptr<MessageBase> NewMessageBase(BaseFormat format);

// Opens the base at path (without extension) in the format whose files
// are there (".jhr": JAM, ".sqd": Squish). nullptr when neither or both
// formats' files are there or the base cannot be opened; *status (when
// not null) says which.
std::unique_ptr<MessageBase> OpenMessageBase(std::string_view path,
                                             Status* status);

}  // namespace drayline

#endif  // DRAYLINE_MESSAGE_BASE_H_
