// EngineMessageBase: the 93 operations of MessageBase, written once over a
// storage engine (storage_engine.h).
//
// The object keeps what the interface itself holds, whatever the format:
// the header being composed or last loaded (HeaderFields), the composed
// text, the line state (LineOpen) and the last status. Everything stored
// goes through the engine, and every way the formats differ comes from the
// engine's FormatRules: which header fields exist, how long they are, how
// lines wrap, how much text a message takes. Operations the formats do not
// replace keep MessageBase's defaults (AddText, AddTextLine, AddLine,
// GetVisibleLine, GetAuxNumber, GetHighActiveMsgNum).
//
// Done closes the engine's files and forgets the composed text; afterwards
// OpenBase, CreateBase and WriteMessage fail. The object owns its engine.

#ifndef DRAYLINE_MSGBASE_ENGINE_MESSAGE_BASE_H_
#define DRAYLINE_MSGBASE_ENGINE_MESSAGE_BASE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "drayline/message.h"
#include "drayline/message_base.h"
#include "msgbase/header_fields.h"
#include "msgbase/spilling_text.h"
#include "msgbase/storage_engine.h"
#include "support/env.h"

namespace drayline {

class EngineMessageBase final : public MessageBase {
 public:
  // env makes the spill file of long texts and must outlive the object.
  EngineMessageBase(std::unique_ptr<StorageEngine> engine, Env* env);
  ~EngineMessageBase() override;

  // ---- The base (engine_message_base.cc) ----
  void Done() override;
  void SetPath(std::string_view path) override;
  bool OpenBase() override;
  void CloseBase() override;
  bool CreateBase(uint16_t max_msgs, uint16_t keep_days) override;
  bool BaseExists() override;
  bool LockBase() override;
  bool UnlockBase() override;
  int32_t NumberOfMessages() override;
  int32_t GetLastRead(int32_t user) override;
  void SetLastRead(int32_t user, int32_t num) override;
  Status LastStatus() const override { return last_; }
  void SetDateStyle(DateStyle style) override;
  void SetChangeOptions(const ChangeOptions& options) override {
    engine_->SetChangeOptions(options);
  }

  // ---- Composing and storing (engine_compose.cc) ----
  void ResetText() override;
  void RewriteMessage() override;
  void SetDest(const NetAddress& addr) override { header_.dest = addr; }
  void SetOrig(const NetAddress& addr) override { header_.orig = addr; }
  void SetFrom(std::string_view name) override;
  void SetTo(std::string_view name) override;
  void SetSubject(std::string_view subject) override;
  void SetCost(uint16_t cost) override;
  void SetReplyTo(int32_t num) override { header_.reply_to = num; }
  void SetFirstReply(int32_t num) override { header_.first_reply = num; }
  void SetDate(std::string_view date) override;
  void SetTime(std::string_view time) override;
  // The attribute flags: each setter and test names its AttributeBit.
  void SetLocal(bool on) override { SetFlag(AttributeBit::kLocal, on); }
  void SetReceived(bool on) override { SetFlag(AttributeBit::kReceived, on); }
  void SetPrivate(bool on) override { SetFlag(AttributeBit::kPrivate, on); }
  void SetCrash(bool on) override { SetFlag(AttributeBit::kCrash, on); }
  void SetHold(bool on) override { SetFlag(AttributeBit::kHold, on); }
  void SetKillSent(bool on) override { SetFlag(AttributeBit::kKillSent, on); }
  void SetSent(bool on) override { SetFlag(AttributeBit::kSent, on); }
  void SetFileAttach(bool on) override {
    SetFlag(AttributeBit::kFileAttach, on);
  }
  void SetReceiptRequest(bool on) override {
    SetFlag(AttributeBit::kReceiptRequest, on);
  }
  void SetConfirmRequest(bool on) override {
    SetFlag(AttributeBit::kConfirmRequest, on);
  }
  void SetIsReceipt(bool on) override { SetFlag(AttributeBit::kIsReceipt, on); }
  void SetFileRequest(bool on) override {
    SetFlag(AttributeBit::kFileRequest, on);
  }
  void AddChar(uint8_t c) override;
  uint16_t WriteMessage() override;
  void SetNextReply(int32_t num) override;
  void StartNewMessage() override;
  void SetMailType(MailType kind) override;
  void RewriteHeader() override;
  void DeleteMessage() override;
  void SetEchoed(bool on) override;

  // ---- Reading (engine_read.cc) ----
  uint8_t GetChar() override;
  bool EndOfText() override { return engine_->Text().EndOfText(); }
  std::string GetTextLine(uint16_t max_len) override;
  // Appends the rest of the text, as GetChar would give it byte by byte
  // (and noting a failed read as it would), to *out.
  void AppendText(std::string* out) {
    if (Status read = engine_->Text().AppendRest(out); !read.ok()) Note(read);
  }
  // Appends the control lines BeginTextRead loaded with the text (none
  // where the format keeps them in the header) to *out.
  void AppendControl(std::string* out) const { out->append(engine_->Text().Control()); }
  std::string GetFrom() override { return header_.from; }
  std::string GetTo() override { return header_.to; }
  std::string GetSubject() override { return header_.subject; }
  uint16_t GetCost() override { return rules_.held.cost ? header_.cost : 0; }
  std::string GetDate() override {
    MakeTexts();
    return header_.date_text;
  }
  std::string GetTime() override {
    MakeTexts();
    return header_.time_text;
  }
  int32_t GetReplyTo() override { return header_.reply_to; }
  int32_t GetFirstReply() override { return header_.first_reply; }
  int32_t GetNextReply() override;
  int32_t GetMsgNum() override { return engine_->MsgNum(); }
  int32_t GetTextLength() override { return header_.text_length; }
  void GetOrig(NetAddress& addr) override { addr = header_.orig; }
  void GetDest(NetAddress& addr) override { addr = header_.dest; }
  bool IsLocal() override { return Flag(AttributeBit::kLocal); }
  bool IsCrash() override { return Flag(AttributeBit::kCrash); }
  bool IsKillSent() override { return Flag(AttributeBit::kKillSent); }
  bool IsSent() override { return Flag(AttributeBit::kSent); }
  bool IsFileAttach() override { return Flag(AttributeBit::kFileAttach); }
  bool IsReceiptRequest() override {
    return Flag(AttributeBit::kReceiptRequest);
  }
  bool IsConfirmRequest() override {
    return Flag(AttributeBit::kConfirmRequest);
  }
  bool IsReceipt() override { return Flag(AttributeBit::kIsReceipt); }
  bool IsFileRequest() override { return Flag(AttributeBit::kFileRequest); }
  bool IsReceived() override { return Flag(AttributeBit::kReceived); }
  bool IsPrivate() override { return Flag(AttributeBit::kPrivate); }
  bool IsDeleted() override { return header_.deleted; }
  bool IsEchoed() override;
  int32_t GetMsgLoc() override { return engine_->MsgLoc(); }
  void SetMsgLoc(int32_t loc) override;
  void ReadHeader() override;
  void BeginTextRead() override;
  void SeekFirst(int32_t num) override;
  void SeekNext() override;
  void SeekPrior() override;
  bool SeekFound() override { return engine_->SeekFound(); }
  void SeekFirstForUser(std::string_view name, std::string_view alias) override;
  void SeekNextForUser() override;
  bool ForUserFound() override { return engine_->ForUserFound(); }
  int32_t GetHighMsgNum() override { return engine_->HighMsgNum(); }
  int32_t GetMsgDisplayNum() override { return engine_->DisplayNum(); }
  int32_t GetTextPosition() override { return engine_->Text().Position(); }
  void SetTextPosition(int32_t pos) override {
    engine_->Text().SetPosition(pos);
  }

  // ---- For the message facade (message.cc) ----
  // The header composed or last loaded, its texts and local dates made.
  const HeaderFields& Header();
  // Views the header at the cursor (noted as a step): without loading it
  // where the engine views headers, else loaded and viewed.
  Status ViewHeader(HeaderView* out, HeaderDates dates);
  // Loads the header at the cursor when a view left it unloaded, so that
  // the text read next is its message's.
  void LoadViewed() {
    if (viewed_unloaded_) ReadHeader();
  }
  // The status of the last step, success included (LastStatus keeps a
  // format's failure over later successes; a program walking a base wants
  // each step's own result).
  const Status& StepStatus() const { return step_; }
  // Composes a message given whole: header as given and text exactly as
  // given (no line end is added to it). WriteMessage stores it.
  void ComposeWhole(const HeaderFields& header, std::string_view text);

 private:
  // Records a step's status: StepStatus always, LastStatus as the format
  // keeps it (FormatRules::failures_persist). Inline: nearly every step
  // succeeds after another that succeeded, and then nothing changes.
  void Note(const Status& status) {
    if (status.ok() && step_.ok() && (last_.ok() || rules_.failures_persist)) {
      return;
    }
    NoteChange(status);
  }
  void NoteChange(const Status& status);
  // Records a failure of the text source's reads (JAM's text window).
  void NoteTextRead();
  void SetFlag(AttributeBit bit, bool on);
  // Has the engine make the loaded header's date and time texts (or its
  // local dates) when they are still to be made: a list reads neither.
  void MakeTexts() {
    if (header_.texts_pending) {
      engine_->MakeTexts(&header_);
      header_.texts_pending = false;
    }
  }
  void MakeDates();
  bool Flag(AttributeBit bit) const;

  std::unique_ptr<StorageEngine> engine_;
  const FormatRules rules_;
  HeaderFields header_;
  SpillingText text_;
  Status last_;
  Status step_;
  bool viewed_unloaded_ = false;  // the cursor's header was viewed, not loaded
  bool done_ = false;
};

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_ENGINE_MESSAGE_BASE_H_
