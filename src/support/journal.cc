#include "support/journal.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>

#include "support/coding.h"
#include "support/file_access.h"

namespace drayline {

namespace {

void PutFixed64(uint8_t* dst, uint64_t value) {
  EncodeFixed32(dst, static_cast<uint32_t>(value));
  EncodeFixed32(dst + 4, static_cast<uint32_t>(value >> 32));
}

uint64_t GetFixed64(const uint8_t* src) {
  return DecodeFixed32(src) | (uint64_t{DecodeFixed32(src + 4)} << 32);
}

Status JournalFailure(IoResult code, std::string_view why) {
  return Status(StatusCode::kWriteFailed, code == io::kOk ? io::kDiskWriteError : code,
                "cannot write the journal: " + std::string(why));
}

std::string ReasonOf(IoResult code) {
  switch (code) {
    case io::kAccessDenied:
      return "permission denied";
    case io::kSymbolicLink:
      return "it is a symbolic link";
    case io::kFileNotFound:
    case io::kPathNotFound:
      return "no such directory";
    default:
      return "I/O error " + std::to_string(code) + " (no room?)";
  }
}

// A name that stays beside the journal: no directory part, not empty.
bool PlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos;
}

// Decodes one payload into *record; false when it breaks the rules.
bool DecodePayload(std::span<const uint8_t> p, JournalRecord* record) {
  if (p.empty()) return false;
  record->kind = static_cast<JournalKind>(p[0]);
  p = p.subspan(1);
  switch (record->kind) {
    case JournalKind::kHead:
      record->bytes.assign(p.begin(), p.end());
      return true;
    case JournalKind::kName:
      if (p.size() < 2) return false;
      record->file = DecodeFixed16(p.data());
      record->bytes.assign(p.begin() + 2, p.end());
      return true;
    case JournalKind::kSize:
      if (p.size() != 10) return false;
      record->file = DecodeFixed16(p.data());
      record->value = GetFixed64(p.data() + 2);
      return record->value <= kJournalMaxOffset;
    case JournalKind::kBytes:
      if (p.size() < 10) return false;
      record->file = DecodeFixed16(p.data());
      record->value = GetFixed64(p.data() + 2);
      record->bytes.assign(p.begin() + 10, p.end());
      return record->value <= kJournalMaxOffset &&
             record->bytes.size() <= kJournalMaxOffset - record->value;
  }
  return false;
}

}  // namespace

namespace {

constexpr uint64_t kChecksumBasis = 0xcbf29ce484222325ull;
constexpr uint64_t kChecksumPrime = 0x100000001b3ull;
// A kBytes payload before its old bytes: kind, file id, offset.
constexpr size_t kBytesPrefix = 11;

// A little-endian word: one load on a little-endian machine.
inline uint64_t Word(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  } else {
    return GetFixed64(p);
  }
}

// The hash state after `words` whole words at p.
uint64_t HashWords(uint64_t h, const uint8_t* p, size_t words) {
  size_t k = 0;
  for (; k + 4 <= words; k += 4, p += 32) {
    h = (h ^ Word(p)) * kChecksumPrime;
    h = (h ^ Word(p + 8)) * kChecksumPrime;
    h = (h ^ Word(p + 16)) * kChecksumPrime;
    h = (h ^ Word(p + 24)) * kChecksumPrime;
  }
  for (; k < words; ++k, p += 8) h = (h ^ Word(p)) * kChecksumPrime;
  return h;
}

}  // namespace

// Eight bytes a step: every change seals a record holding the old bytes
// of what it overwrites (a whole base header), so the byte-at-a-time form
// was a large part of the journal's cost. Each step is a bijection of the
// state, so changing any one word changes the 64-bit state. The bytes
// after the last whole word go in one at a time.
JournalChecksummer::JournalChecksummer(size_t total) : h_(kChecksumBasis ^ total) {}

void JournalChecksummer::Feed(const uint8_t* p, size_t n, uint8_t* copy_to, uint8_t* also_to) {
  if (copy_to == nullptr) copy_to = also_to, also_to = nullptr;
  size_t i = 0;
  if (carried_ > 0) {  // complete the word an earlier part began
    for (; i < n && carried_ < 8; ++i) carry_[carried_++] = p[i];
    if (copy_to != nullptr) std::memcpy(copy_to, p, i);
    if (also_to != nullptr) std::memcpy(also_to, p, i);
    if (carried_ < 8) return;
    h_ = HashWords(h_, carry_, 1);
    carried_ = 0;
  }
  // Blocks small enough to stay in the first-level cache: copied with
  // memcpy, then hashed where they now sit in the cache.
  constexpr size_t kBlock = 4096;
  while (n - i >= 8) {
    const size_t words = std::min(n - i, kBlock) / 8;
    if (copy_to != nullptr) std::memcpy(copy_to + i, p + i, words * 8);
    if (also_to != nullptr) std::memcpy(also_to + i, p + i, words * 8);
    h_ = HashWords(h_, p + i, words);
    i += words * 8;
  }
  if (copy_to != nullptr) std::memcpy(copy_to + i, p + i, n - i);
  if (also_to != nullptr) std::memcpy(also_to + i, p + i, n - i);
  for (; i < n; ++i) carry_[carried_++] = p[i];
}

uint32_t JournalChecksummer::Done() const {
  uint64_t h = h_;
  for (size_t i = 0; i < carried_; ++i) h = (h ^ carry_[i]) * kChecksumPrime;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

uint32_t JournalChecksum(std::span<const uint8_t> bytes) {
  JournalChecksummer sum(bytes.size());
  sum.Feed(bytes.data(), bytes.size());
  return sum.Done();
}

size_t JournalEncoder::Buffer::Extend(size_t n) {
  const size_t start = size_;
  if (capacity_ - size_ < n) {
    const size_t capacity = std::max({size_ + n, 2 * capacity_, size_t{4096}});
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[capacity]);
    if (size_ > 0) std::memcpy(bytes.get(), bytes_.get(), size_);
    bytes_ = std::move(bytes);
    capacity_ = capacity;
  }
  size_ += n;
  return start;
}

size_t JournalEncoder::Open(JournalKind kind, size_t size) {
  const size_t start = buffer_.Extend(kJournalRecordHead + size);
  EncodeFixed32(buffer_.data() + start, static_cast<uint32_t>(size));
  buffer_.data()[start + kJournalRecordHead] = static_cast<uint8_t>(kind);
  return start;
}

void JournalEncoder::Seal(size_t start) {
  const uint8_t* payload = buffer_.data() + start + kJournalRecordHead;
  const size_t size = buffer_.size() - start - kJournalRecordHead;
  EncodeFixed32(buffer_.data() + start + 4, JournalChecksum(std::span(payload, size)));
}

void JournalEncoder::Head(std::span<const uint8_t> fingerprint) {
  uint8_t prefix[kJournalPrefixSize];
  std::memcpy(prefix, kJournalMagic, sizeof kJournalMagic);
  EncodeFixed32(prefix + 8, kJournalVersion);
  const size_t at = buffer_.Extend(sizeof prefix);  // before data(): it may move the bytes
  std::memcpy(buffer_.data() + at, prefix, sizeof prefix);
  const size_t start = Open(JournalKind::kHead, 1 + fingerprint.size());
  if (!fingerprint.empty()) {
    std::memcpy(buffer_.data() + start + kJournalRecordHead + 1, fingerprint.data(),
                fingerprint.size());
  }
  Seal(start);
}

void JournalEncoder::Name(uint16_t file, std::string_view name) {
  const size_t start = Open(JournalKind::kName, 3 + name.size());
  uint8_t* p = buffer_.data() + start + kJournalRecordHead + 1;
  EncodeFixed16(p, file);
  std::memcpy(p + 2, name.data(), name.size());
  Seal(start);
}

void JournalEncoder::Size(uint16_t file, uint64_t size) {
  const size_t start = Open(JournalKind::kSize, 11);
  uint8_t* p = buffer_.data() + start + kJournalRecordHead + 1;
  EncodeFixed16(p, file);
  PutFixed64(p + 2, size);
  Seal(start);
}

void JournalEncoder::Bytes(uint16_t file, uint64_t offset,
                           std::span<const uint8_t> old, uint8_t* keep) {
  const size_t start = Open(JournalKind::kBytes, kBytesPrefix + old.size());
  uint8_t* p = buffer_.data() + start + kJournalRecordHead;
  EncodeFixed16(p + 1, file);
  PutFixed64(p + 3, offset);
  // One pass over the old bytes copies them and checksums the payload.
  JournalChecksummer sum(kBytesPrefix + old.size());
  sum.Feed(p, kBytesPrefix);
  if (!old.empty()) sum.Feed(old.data(), old.size(), p + kBytesPrefix, keep);
  EncodeFixed32(buffer_.data() + start + 4, sum.Done());
}

bool ParseJournal(std::span<const uint8_t> bytes, ParsedJournal* out) {
  *out = ParsedJournal();
  if (bytes.size() < kJournalPrefixSize ||
      std::memcmp(bytes.data(), kJournalMagic, sizeof kJournalMagic) != 0 ||
      DecodeFixed32(bytes.data() + 8) != kJournalVersion) {
    return false;
  }
  bool head = false;
  for (size_t at = kJournalPrefixSize; bytes.size() - at >= kJournalRecordHead;) {
    const uint32_t length = DecodeFixed32(bytes.data() + at);
    if (length > bytes.size() - at - kJournalRecordHead) break;  // torn
    const std::span<const uint8_t> payload = bytes.subspan(at + kJournalRecordHead, length);
    if (JournalChecksum(payload) != DecodeFixed32(bytes.data() + at + 4)) break;  // torn
    at += kJournalRecordHead + length;
    JournalRecord record;
    if (!DecodePayload(payload, &record)) return false;
    if (!head) {
      if (record.kind != JournalKind::kHead) return false;
      out->fingerprint = std::move(record.bytes);
      head = true;
    } else if (record.kind == JournalKind::kName) {
      std::string name(record.bytes.begin(), record.bytes.end());
      if (record.file != out->names.size() || !PlainName(name)) return false;
      out->names.push_back(std::move(name));
    } else if (record.kind == JournalKind::kHead || record.file >= out->names.size()) {
      return false;
    } else {
      out->steps.push_back(std::move(record));
    }
  }
  return head;
}

Status ReadJournal(Env* env, const std::string& path, bool* present,
                   ParsedJournal* out) {
  *out = ParsedJournal();
  std::unique_ptr<File> file;
  IoResult code = env->Open(path, OpenMode::kReadOnly | OpenMode::kNoFollow, &file);
  *present = code != io::kFileNotFound;
  if (!*present) return Status::Ok();
  if (code != io::kOk) return OpenFailure(code, path);
  uint64_t size = 0;
  code = file->Size(&size);
  if (code == io::kOk && size > kJournalMaxSize) {
    return Status::Damaged(path + " is too large to be a journal");
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (code == io::kOk) code = ReadExact(*file, 0, bytes);
  if (code != io::kOk) return Status::FromIo(code, "reading " + path);
  if (!ParseJournal(bytes, out)) *out = ParsedJournal();
  return Status::Ok();
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string_view NameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

Status OpenFailure(IoResult code, const std::string& name) {
  if (code == io::kSymbolicLink) {
    return Status(StatusCode::kPermissionDenied, code, name + " is a symbolic link");
  }
  return Status::FromIo(code, "opening " + name);
}

// ---- Writing ----

Status JournalWriter::Flush() {
  if (pending_.empty()) return Status::Ok();
  if (file_ == nullptr) {
    bool exists = false;
    IoResult code = env_->Open(path_, OpenMode::kCreateExclusive | OpenMode::kNoFollow,
                               &file_, &exists);
    if (code != io::kOk) {
      file_.reset();
      return JournalFailure(code, exists ? path_ + " exists" : ReasonOf(code));
    }
    if (sync_) code = env_->SyncDir(DirectoryOf(path_));
    if (code != io::kOk) return JournalFailure(code, ReasonOf(code));
  }
  IoResult code = RetryWrite(*file_, size_, pending_.data());
  if (code == io::kOk && sync_) code = env_->Sync(*file_);
  if (code != io::kOk) return JournalFailure(code, ReasonOf(code));
  size_ += pending_.data().size();
  pending_.Clear();
  return Status::Ok();
}

Status JournalWriter::Remove() {
  pending_.Clear();
  if (file_ == nullptr) return Status::Ok();
  file_.reset();
  size_ = 0;
  IoResult code = env_->Remove(path_);
  if (code == io::kOk && sync_) code = env_->SyncDir(DirectoryOf(path_));
  return Status::FromIo(code, "removing " + path_);
}

// ---- Recovery ----

namespace {

// Applies the steps newest first, opening each named file once.
Status RollBack(Env* env, const std::string& dir, const ParsedJournal& journal,
                bool sync) {
  std::map<uint16_t, std::unique_ptr<File>> files;
  std::map<uint16_t, bool> missing;
  const std::string prefix = dir.empty() ? "" : dir + "/";
  for (auto it = journal.steps.rbegin(); it != journal.steps.rend(); ++it) {
    if (missing[it->file]) continue;
    std::unique_ptr<File>& file = files[it->file];
    const std::string name = prefix + journal.names[it->file];
    if (file == nullptr) {
      const IoResult code =
          env->Open(name, OpenMode::kReadWrite | OpenMode::kNoFollow, &file);
      // A file that is gone has nothing to take back.
      if (code == io::kFileNotFound) {
        missing[it->file] = true;
        continue;
      }
      if (code != io::kOk) return OpenFailure(code, name);
    }
    const IoResult code = it->kind == JournalKind::kSize
                              ? file->Truncate(it->value)
                              : RetryWrite(*file, it->value, it->bytes);
    if (code != io::kOk) return Status::FromIo(code, "rolling back " + name);
  }
  for (auto& [id, file] : files) {
    if (file == nullptr) continue;
    if (IoResult code = sync ? env->Sync(*file) : io::kOk; code != io::kOk) {
      return Status::FromIo(code, "flushing " + prefix + journal.names[id]);
    }
  }
  return Status::Ok();
}

// True when guard's first bytes are the fingerprint (a guard that no
// longer reaches as far has changed).
bool Matches(File& guard, const std::vector<uint8_t>& fingerprint) {
  std::vector<uint8_t> now(fingerprint.size());
  size_t done = 0;
  return RetryRead(guard, 0, now, &done) == io::kOk && done == now.size() &&
         now == fingerprint;
}

}  // namespace

Status RecoverJournal(Env* env, const std::string& path, File& guard, bool sync,
                      Recovery* what) {
  if (what != nullptr) *what = Recovery::kNone;
  bool present = false;
  ParsedJournal journal;
  Status s = ReadJournal(env, path, &present, &journal);
  if (!s.ok() || !present) return s;
  const bool apply = !journal.names.empty() && Matches(guard, journal.fingerprint);
  if (apply) s = RollBack(env, DirectoryOf(path), journal, sync);
  if (!s.ok()) return s;
  IoResult code = env->Remove(path);
  if (code == io::kOk && sync) code = env->SyncDir(DirectoryOf(path));
  if (code != io::kOk) return Status::FromIo(code, "removing " + path);
  if (what != nullptr) *what = apply ? Recovery::kRolledBack : Recovery::kStale;
  return Status::Ok();
}

Status RecoverIfPending(Env* env, const std::string& path, File& guard,
                        bool sync, bool* pending) {
  if (pending != nullptr) *pending = false;
  if (!env->Exists(path)) return Status::Ok();
  const IoResult lock = LockWithRetry(env, guard, 0, 1);
  Status s;
  if (lock == io::kOk) {
    s = RecoverJournal(env, path, guard, sync);
    UnlockRegion(guard, 0, 1);
  } else if (lock != io::kLockViolation) {
    s = Status::FromIo(lock, "locking to recover " + path);
  }
  if (pending != nullptr) *pending = env->Exists(path);
  return s;
}

// ---- Reading as before the change ----

namespace {

// A file named by the journal, read as the rollback would leave it.
class OverlayFile final : public File {
 public:
  OverlayFile(std::unique_ptr<File> base, const ParsedJournal& journal, uint16_t id)
      : base_(std::move(base)), journal_(journal), id_(id) {}

  IoResult Read(uint64_t offset, std::span<uint8_t> buf, size_t* done) override {
    *done = 0;
    std::fill(buf.begin(), buf.end(), 0);
    size_t got = 0;
    uint64_t size = 0;
    IoResult code = base_->Size(&size);
    if (code == io::kOk) code = base_->Read(offset, buf, &got);
    if (code != io::kOk) return code;
    // The rollback replayed over this range: newest first, a cut clears
    // what lies past it, old bytes go back over what is there.
    for (auto it = journal_.steps.rbegin(); it != journal_.steps.rend(); ++it) {
      if (it->file != id_) continue;
      if (it->kind == JournalKind::kSize) {
        size = it->value;
        if (size < offset + buf.size()) {
          const size_t from = size > offset ? static_cast<size_t>(size - offset) : 0;
          std::fill(buf.begin() + static_cast<ptrdiff_t>(from), buf.end(), 0);
        }
        continue;
      }
      const uint64_t end = it->value + it->bytes.size();
      size = std::max(size, end);
      const uint64_t lo = std::max(offset, it->value);
      const uint64_t hi = std::min<uint64_t>(offset + buf.size(), end);
      if (lo < hi) {
        std::memcpy(buf.data() + (lo - offset), it->bytes.data() + (lo - it->value),
                    static_cast<size_t>(hi - lo));
      }
    }
    *done = size > offset ? static_cast<size_t>(std::min<uint64_t>(buf.size(), size - offset))
                          : 0;
    return io::kOk;
  }
  IoResult ReadSequential(std::span<uint8_t> buf, size_t* done) override {
    return base_->ReadSequential(buf, done);
  }
  IoResult Write(uint64_t, std::span<const uint8_t>) override { return io::kAccessDenied; }
  IoResult Size(uint64_t* size) override {
    IoResult code = base_->Size(size);
    if (code != io::kOk) return code;
    for (auto it = journal_.steps.rbegin(); it != journal_.steps.rend(); ++it) {
      if (it->file != id_) continue;
      *size = it->kind == JournalKind::kSize ? it->value
                                             : std::max<uint64_t>(*size, it->value + it->bytes.size());
    }
    return io::kOk;
  }
  IoResult Truncate(uint64_t) override { return io::kAccessDenied; }
  IoResult Lock(uint64_t offset, uint64_t length) override { return base_->Lock(offset, length); }
  IoResult Unlock(uint64_t offset, uint64_t length) override {
    return base_->Unlock(offset, length);
  }
  IoResult Close() override { return base_->Close(); }

 private:
  std::unique_ptr<File> base_;
  const ParsedJournal& journal_;
  uint16_t id_;
};

}  // namespace

JournalOverlayEnv::JournalOverlayEnv(Env* target, const std::string& journal_path,
                                     const std::string& guard_path)
    : EnvWrapper(target), dir_(DirectoryOf(journal_path)) {
  bool present = false;
  if (!ReadJournal(target, journal_path, &present, &journal_).ok() || !present ||
      journal_.names.empty() || journal_.names[0] != NameOf(guard_path)) {
    return;
  }
  std::unique_ptr<File> guard;
  active_ = target->Open(guard_path, OpenMode::kReadOnly | OpenMode::kNoFollow, &guard) ==
                io::kOk &&
            Matches(*guard, journal_.fingerprint);
}

IoResult JournalOverlayEnv::Open(const std::string& name, OpenMode mode,
                                 std::unique_ptr<File>* file, bool* exists_out) {
  if (!active_ || DirectoryOf(name) != dir_) {
    return target()->Open(name, mode, file, exists_out);
  }
  const auto it = std::find(journal_.names.begin(), journal_.names.end(), NameOf(name));
  if (it == journal_.names.end()) return target()->Open(name, mode, file, exists_out);
  if (BareMode(mode) != OpenMode::kReadOnly) return io::kAccessDenied;
  std::unique_ptr<File> base;
  const IoResult code = target()->Open(name, mode, &base, exists_out);
  if (code != io::kOk) return code;
  *file = std::make_unique<OverlayFile>(std::move(base), journal_,
                                        static_cast<uint16_t>(it - journal_.names.begin()));
  return io::kOk;
}

IoResult JournalOverlayEnv::GetFileSize(const std::string& name, uint64_t* size) {
  std::unique_ptr<File> file;
  if (!active_) return target()->GetFileSize(name, size);
  const IoResult code = Open(name, OpenMode::kReadOnly, &file, nullptr);
  return code == io::kOk ? file->Size(size) : code;
}

}  // namespace drayline
