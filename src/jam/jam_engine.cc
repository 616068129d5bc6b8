// The JAM engine: puts the parts of the format together behind the
// StorageEngine contract. Each operation is one part's work, or a short
// sequence of them; the rules of the files live in the parts.

#include "jam/jam_engine.h"

#include <climits>
#include <memory>
#include <string>

#include "jam/jam_base_files.h"
#include "jam/jam_cursor.h"
#include "jam/jam_header.h"
#include "jam/jam_header_reader.h"
#include "jam/jam_index.h"
#include "jam/jam_last_read.h"
#include "jam/jam_store.h"
#include "jam/jam_subfields.h"
#include "jam/jam_text_source.h"
#include "support/clock.h"
#include "support/strings.h"

namespace drayline {

namespace {

using namespace jam;

FormatRules JamRules() {
  FormatRules rules;
  rules.limits = FieldLimits{kFromMax, kToMax, kSubjectMax, kDateMax, kTimeMax};
  // The text's last byte belongs to the line that reaches it; a NUL is
  // filler, not an end.
  rules.lines.keep_last_byte = true;
  rules.lines.nul_ends_line = false;
  // Texts up to the 32-bit positions of the text window; a longer one
  // fails the store rather than being stored cut. An open last line is
  // ended with CR LF.
  rules.compose.capacity = INT32_MAX;
  rules.compose.overflow_fails = true;
  rules.compose.in_memory = kComposeChunk;
  rules.compose.closes_open_line = true;
  rules.held.attributes = KeptAttributes();
  rules.held.echoed = false;  // IsEchoed is always true
  rules.failures_persist = false;
  return rules;
}

class JamEngine final : public StorageEngine {
 public:
  explicit JamEngine(Env* env)
      : files_(env),
        cursor_(files_, index_, reader_, header_),
        text_(files_),
        last_read_(files_),
        store_(files_, index_, reader_, text_) {}

  FormatRules Rules() const override { return JamRules(); }

  // ---- The base ----
  void SetPath(std::string_view path) override { files_.SetPath(path); }
  Status Open() override;
  void Close() override;
  Status Create(uint16_t /*max_msgs*/, uint16_t /*keep_days*/) override {
    // A JAM base has no message limit: both arguments are unused.
    reader_.Drop();
    return files_.Create();
  }
  bool Exists() override { return files_.Exists(); }
  Status Lock() override;
  Status Unlock() override;

  // ---- Composing and storing ----
  HeaderFields NewHeader() override;
  Status Append(const HeaderFields& header, const ComposedText& text,
                uint16_t* code) override {
    return store_.Append(header_, header, text, code);
  }
  Status RewriteHeader(const HeaderFields& header) override {
    return store_.RewriteHeader(header_, cursor_.Record(), header);
  }
  Status RewriteMessage(HeaderFields* header, const ComposedText& text) override {
    const Status s = store_.RewriteMessage(header_, cursor_.Record(), *header, text);
    if (s.ok()) header->text_length = static_cast<int32_t>(header_.Field(kMhTxtLen));
    return s;
  }
  Status DeleteLoaded(HeaderFields* header) override;

  // ---- Cursor and search ----
  Status SeekFirst(int32_t num) override;
  Status SeekNext() override;
  Status SeekPrior() override;
  bool SeekFound() override { return cursor_.Found(); }
  Status SeekFirstForUser(std::string_view name, std::string_view alias,
                          HeaderFields* header) override;
  Status SeekNextForUser(HeaderFields* header) override;
  bool ForUserFound() override { return cursor_.Found(); }
  // The number in the header last loaded (or composed).
  int32_t MsgNum() override { return static_cast<int32_t>(header_.MessageNumber()); }
  int32_t DisplayNum() override { return MsgNum(); }
  int32_t HighMsgNum() override { return cursor_.HighMsgNum(); }
  int32_t MessageCount() override {
    return static_cast<int32_t>(files_.BaseField(kBhActiveMsgs));
  }
  int32_t MsgLoc() override { return MsgNum(); }
  Status SetMsgLoc(int32_t loc) override;

  // ---- Reading ----
  Status ReadHeader(HeaderFields* header) override;
  bool ViewsHeaders() const override { return true; }
  Status ViewHeader(HeaderView* out, HeaderDates dates) override;
  void MakeTexts(HeaderFields* header) override { header_.MakeTexts(header); }
  void MakeDates(HeaderFields* header) override { header_.MakeDates(header); }
  void SetDateStyle(uint8_t style) override { date_style_ = style; }
  void SetChangeOptions(const ChangeOptions& options) override {
    files_.SetChangeOptions(options);
  }
  Status BeginText() override;
  TextSource& Text() override { return text_; }

  // ---- Last-read pointers ----
  Status GetLastRead(int32_t user, int32_t* num) override;
  Status SetLastRead(int32_t user, int32_t num) override { return last_read_.Set(user, num); }

 private:
  // The live index record at the cursor, and its number.
  Status LocateLive(IndexRecord* entry, int64_t* record);

  JamBaseFiles files_;
  JamIndex index_;
  JamHeaderReader reader_;
  JamHeader header_;  // the header loaded or composed
  std::unique_ptr<JamHeader> viewed_;  // the header last viewed, once one is
  char viewed_texts_[JamHeader::kViewTextsSize] = {};
  JamCursor cursor_;
  JamTextSource text_;
  JamLastRead last_read_;
  JamStore store_;
  uint8_t date_style_ = kNoDateStyle;  // of a new message's date text
};

Status JamEngine::Open() {
  reader_.Drop();
  index_.Drop();
  text_.DropWindow();
  return files_.Open();
}

void JamEngine::Close() {
  reader_.Drop();
  files_.Close();
}

Status JamEngine::Lock() {
  // Headers read under the lock come from the file.
  if (!files_.lock_held()) reader_.Drop();
  return files_.Lock();
}

Status JamEngine::Unlock() {
  const Status s = files_.Unlock();
  reader_.Drop();
  return s;
}

HeaderFields JamEngine::NewHeader() {
  header_.StartNew();
  HeaderFields fields;
  // One reading of the clock for both texts. Without a date style the
  // date text is empty and a poster sets its own.
  const PackedDateTime now = CurrentPackedDateTime(files_.env());
  fields.date_text = Fit(DateString(now, date_style_), kDateMax);
  fields.time_text = Fit(TimeString(now, false), kTimeMax);
  return fields;
}

Status JamEngine::DeleteLoaded(HeaderFields* header) {
  const Status s = store_.Delete(header_, cursor_.Record());
  if (s.ok() && header_.deleted()) header->deleted = true;
  return s;
}

Status JamEngine::SeekFirst(int32_t num) {
  text_.DropWindow();  // a new walk reads the texts afresh
  cursor_.SeekFirst(num);
  return cursor_.last_status();
}

Status JamEngine::SeekNext() {
  cursor_.SeekNext();
  return cursor_.last_status();
}

Status JamEngine::SeekPrior() {
  cursor_.SeekPrior();
  return cursor_.last_status();
}

Status JamEngine::SeekFirstForUser(std::string_view name, std::string_view alias,
                                   HeaderFields* header) {
  text_.DropWindow();  // a new walk reads the texts afresh
  cursor_.SeekFirstForUser(name, alias, header);
  return cursor_.last_status();
}

Status JamEngine::SeekNextForUser(HeaderFields* header) {
  cursor_.SeekNextForUser(header);
  return cursor_.last_status();
}

Status JamEngine::SetMsgLoc(int32_t loc) {
  cursor_.SetMsgLoc(loc);  // nothing is read
  return Status::Ok();
}

Status JamEngine::ReadHeader(HeaderFields* header) {
  // A header without name or address subfields has none: the previous
  // message's must not show as this one's (or be stored by a rewrite).
  header->from.clear();
  header->to.clear();
  header->subject.clear();
  header->orig = NetAddress();
  header->dest = NetAddress();
  if (!cursor_.Found()) return Status::Ok();  // the previous header stays
  IndexRecord entry;
  int64_t record = 0;
  Status s = LocateLive(&entry, &record);
  if (!s.ok()) return s;
  s = reader_.Load(files_.header_file(), entry.HdrOffset, record, &header_);
  header_.ToFields(header);  // a header not read reads as all zero
  if (!s.ok()) return s;
  header_.ToDates(header);
  DecodeSubfields(header_.Subfields(), header_.Field(kMhAttribute), header);
  return s;
}

Status JamEngine::LocateLive(IndexRecord* entry, int64_t* record) {
  Status s = cursor_.Locate(entry, record);
  if (s.ok() && entry->deleted()) {
    s = Status::NoSuchMessage("index record " + std::to_string(*record) + " is deleted");
  }
  return s;
}

Status JamEngine::ViewHeader(HeaderView* out, HeaderDates dates) {
  // Read into a header of its own: the loaded one (and the layer's fields
  // made from it, which a rewrite writes back) stays as it was.
  if (!cursor_.Found()) return Status::NoSuchMessage("the cursor stands on no message");
  IndexRecord entry;
  int64_t record = 0;
  Status s = LocateLive(&entry, &record);
  if (!s.ok()) return s;
  if (viewed_ == nullptr) viewed_ = std::make_unique<JamHeader>();
  s = reader_.Load(files_.header_file(), entry.HdrOffset, record, viewed_.get());
  if (s.ok()) viewed_->View(out, dates, viewed_texts_);
  return s;
}

Status JamEngine::BeginText() {
  text_.Begin(header_.Field(kMhTxtOffset), header_.Field(kMhTxtLen));
  return Status::Ok();
}

Status JamEngine::GetLastRead(int32_t user, int32_t* num) {
  Status s;
  *num = last_read_.Get(user, &s);
  return s;
}

}  // namespace

std::unique_ptr<StorageEngine> NewJamEngine(Env* env) {
  return std::make_unique<JamEngine>(env != nullptr ? env : Env::Default());
}

}  // namespace drayline
