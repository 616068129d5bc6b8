// SquishEngine: the base's files, the lock and the changes.

#include "squish/squish_engine.h"

#include <new>

#include "squish/squish_header.h"
#include "squish/squish_storage.h"
#include "support/clock.h"

namespace drayline {

std::unique_ptr<StorageEngine> NewSquishEngine(Env* env) {
  std::unique_ptr<squish::SquishEngine> engine(
      new (std::nothrow) squish::SquishEngine(env));
  if (engine == nullptr || !engine->Allocate()) return nullptr;
  return engine;
}

namespace squish {

namespace {

// A change that could not take the lock answers 5, as a post always has;
// the status still says why.
Status LockFailure(const Status& s) {
  return Status(s.code(), io::kAccessDenied, s.text());
}

}  // namespace

SquishEngine::SquishEngine(Env* env)
    : env_(env != nullptr ? env : Env::Default()),
      files_(env_),
      frames_(files_),
      reader_(files_) {}

SquishEngine::~SquishEngine() { Close(); }

bool SquishEngine::Allocate() { return text_.Allocate() && free_.Allocate(); }

FormatRules SquishEngine::Rules() const {
  FormatRules rules;
  rules.limits.from = rules.limits.to = kNameChars;
  rules.limits.subject = kSubjectChars;
  rules.limits.date = rules.limits.time = kDateTextChars;
  rules.lines.nul_ends_line = true;
  // The text buffer of 16000 bytes, NUL included: the excess is dropped,
  // and the whole text is kept in memory as it always was.
  rules.compose.capacity = kTextBufferSize;
  rules.compose.overflow_fails = false;
  rules.compose.in_memory = kTextBufferSize;
  rules.held.cost = false;
  rules.held.next_reply = false;
  rules.held.mail_type = false;
  // The code of the last failed file step is never cleared.
  rules.failures_persist = true;
  return rules;
}

void SquishEngine::SetPath(std::string_view path) { files_.SetPath(path); }

bool SquishEngine::Exists() { return files_.DataExists(); }

Status SquishEngine::Open() {
  Status s = files_.OpenIndex();
  if (!s.ok()) return s;
  s = files_.OpenData();
  // Loaded whatever the data file said; a failure here shows at the first
  // walk or change, which read the index again.
  index_.Read(files_.index(), files_.Name(kIndexExt));
  return s;
}

void SquishEngine::Close() {
  // Closing the file gives up its lock; what the span changed and did not
  // save is undone first.
  span_.reset();
  reader_.Drop();
  files_.CloseData();
  files_.CloseIndex();
}

Status SquishEngine::Create(uint16_t max_msgs, uint16_t keep_days) {
  return files_.Create(max_msgs, keep_days);
}

void SquishEngine::Refresh() {
  // A failure leaves the control record unsound or the index unwritable,
  // which the change then reports.
  reader_.Drop();
  files_.ReadControl();
  index_.Read(files_.index(), files_.Name(kIndexExt));
  free_.Forget();
}

Status SquishEngine::Lock() {
  if (Locked()) return Status::Ok();
  File* data = files_.data();
  if (data == nullptr) {
    return Status(StatusCode::kNotOpen, io::kNotOpen,
                  files_.Name(kDataExt) + " is not open");
  }
  Status s = Change::Begin(env_, *data, files_.change_setup(), &span_);
  if (!s.ok()) return s;
  // Another program may have changed the base before the lock was ours.
  Refresh();
  lock_mark_ = TakeMark(Parts());
  return Status::Ok();
}

Status SquishEngine::Unlock() {
  if (!Locked()) return Status::Ok();
  std::unique_ptr<Change> span = std::move(span_);
  Status s;
  if (files_.control().sound()) s = SquishChange(Parts(), *span).WriteBase();
  // An index or control record that cannot be written (or that refuses
  // to be) takes every change of the span back with it.
  if (!s.ok()) span->Undo();
  const Status committed = s.ok() ? span->Commit() : Status::Ok();
  if (s.ok()) s = committed;
  span.reset();  // releases the lock after an undo
  if (!s.ok()) {
    BaseParts parts = Parts();
    RestoreMark(lock_mark_, parts);
  }
  return s;
}

Status SquishEngine::RunChange(const Op& op) {
  File* data = files_.data();
  if (data == nullptr) {
    return LockFailure(Status(StatusCode::kNotOpen, io::kNotOpen,
                              files_.Name(kDataExt) + " is not open"));
  }
  std::unique_ptr<Change> own;
  if (!Locked()) {
    Status s = Change::Begin(env_, *data, files_.change_setup(), &own);
    if (!s.ok()) return LockFailure(s);
    Refresh();
  }
  Change& change = Locked() ? *span_ : *own;
  BaseParts parts = Parts();
  const Mark mark = TakeMark(parts);
  const Change::Point point = change.Mark();
  SquishChange steps(parts, change);
  bool write_base = false;
  Status s = op(steps, &write_base);
  if (s.ok() && write_base && own != nullptr) s = steps.WriteBase();
  if (s.ok()) return own != nullptr ? own->Commit() : s;
  // own's destructor undoes and releases the lock; a span goes on.
  if (own == nullptr) change.UndoTo(point);
  RestoreMark(mark, parts);
  return s;
}

HeaderFields SquishEngine::NewHeader() {
  // A composed header is never written over the message read before.
  loaded_.whole = false;
  return HeaderFields{};
}

Status SquishEngine::Append(const HeaderFields& header,
                            const ComposedText& text, uint16_t* code) {
  std::span<const uint8_t> bytes;
  Status s = text_.Compose(text, &bytes);
  const SquishMessageHeader stored =
      NewMessageHeader(header, CurrentLocalDateTime(env_));
  if (s.ok()) {
    s = RunChange([&](SquishChange& steps, bool* write_base) {
      *write_base = true;
      return steps.Store(stored, bytes);
    });
  }
  if (s.ok()) cursor_ = static_cast<uint16_t>(Counted());
  *code = s.ok() ? 0 : s.io_result();
  return s;
}

Status SquishEngine::RewriteHeader(const HeaderFields& header) {
  // Only a header that was loaded whole is ever written back.
  if (!loaded_.whole) return Status::Ok();
  SquishMessageHeader changed = loaded_.header;
  // The fields as loaded, to tell which names the layer changed.
  HeaderFields loaded;
  FieldsOfHeader(loaded_.header, loaded_.text_length, &loaded);
  ApplyChangedFields(loaded, header, &changed);
  // Without a caller's span the one changed index entry is written at
  // once, and the index and the control record are left as they are.
  const bool write_entry = !Locked();
  Status s = RunChange([&](SquishChange& steps, bool*) {
    return steps.RewriteHeader(loaded_.uid, changed, write_entry);
  });
  if (s.ok()) loaded_.header = changed;
  return s;
}

Status SquishEngine::RewriteMessage(HeaderFields* header,
                                    const ComposedText& /*text*/) {
  return RewriteHeader(*header);
}

Status SquishEngine::DeleteLoaded(HeaderFields* /*header*/) {
  if (loaded_.frame == 0) return Status::Ok();  // no message was loaded
  // Under the lock the message is found again by its unique number and its
  // frame checked afresh before the chains are relinked.
  return RunChange([&](SquishChange& steps, bool* write_base) {
    return steps.DeleteUid(loaded_.uid, write_base);
  });
}

}  // namespace squish
}  // namespace drayline
