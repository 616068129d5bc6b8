// The on-disk journal of one change to a set of files: what undoing the
// change needs, written before each byte it protects changes, so that a
// change cut short (the process killed, the machine stopped) can be rolled
// back by the next program that takes the lock.
//
// Layout (every field little-endian, written field by field):
//   prefix   "DRAYJRNL" then the version (u32)
//   records  u32 payload length, u32 checksum of the payload, the payload;
//            the payload's first byte is its kind:
//     kHead   the fingerprint: the guard file's first bytes before the
//             change (the format's counters, which every change that moves
//             them writes last)
//     kName   u16 file id, the file's name without its directory (the
//             files sit beside the journal); id 0 is the guard
//     kSize   u16 file id, u64 the file's size before the change
//     kBytes  u16 file id, u64 offset, the old bytes written over there
// A record whose length runs past the file or whose checksum fails ends
// the journal: it was torn by the crash, and the base byte it was to
// protect was never written.
//
// Rolling back applies the kSize and kBytes records newest first: every
// range ends with its oldest bytes and every file with its old size. It is
// done only while the guard's first bytes still equal the fingerprint;
// otherwise the change had completed (it writes the counters last), or
// another program changed the base since, and the journal is stale.

#ifndef DRAYLINE_SUPPORT_JOURNAL_H_
#define DRAYLINE_SUPPORT_JOURNAL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/status.h"
#include "support/env.h"

namespace drayline {

inline constexpr char kJournalMagic[8] = {'D', 'R', 'A', 'Y', 'J', 'R', 'N', 'L'};
inline constexpr uint32_t kJournalVersion = 1;
inline constexpr size_t kJournalPrefixSize = 12;
inline constexpr size_t kJournalRecordHead = 8;  // length, checksum
// No restored size or range reaches past this: the formats' offsets are
// 32-bit, and a larger value can only come from a damaged journal.
inline constexpr uint64_t kJournalMaxOffset = uint64_t{1} << 32;
// Journals larger than this are not read (a change records at most a few
// headers and an index).
inline constexpr uint64_t kJournalMaxSize = uint64_t{1} << 28;

enum class JournalKind : uint8_t { kHead = 1, kName = 2, kSize = 3, kBytes = 4 };

// One record as read back.
struct JournalRecord {
  JournalKind kind = JournalKind::kHead;
  uint16_t file = 0;
  uint64_t value = 0;          // kSize: the old size; kBytes: the offset
  std::vector<uint8_t> bytes;  // kHead: fingerprint; kName: name; kBytes: old bytes
};

// Appends encoded records to a buffer.
class JournalEncoder {
 public:
  // The prefix and the head record: only at the start of a journal.
  void Head(std::span<const uint8_t> fingerprint);
  void Name(uint16_t file, std::string_view name);
  void Size(uint16_t file, uint64_t size);
  // With keep, old is copied there too (old.size() bytes), in the pass
  // that copies and checksums it into the record.
  void Bytes(uint16_t file, uint64_t offset, std::span<const uint8_t> old,
             uint8_t* keep = nullptr);

  std::span<const uint8_t> data() const { return {buffer_.data(), buffer_.size()}; }
  bool empty() const { return buffer_.size() == 0; }
  void Clear() { buffer_.Clear(); }

 private:
  // Bytes that grow without being cleared first: every byte is written
  // over as a record is encoded, and a record of old bytes may hold a
  // megabyte.
  class Buffer {
   public:
    size_t size() const { return size_; }
    uint8_t* data() { return bytes_.get(); }
    const uint8_t* data() const { return bytes_.get(); }
    // Makes room for n more bytes, not cleared; answers where they start.
    size_t Extend(size_t n);
    void Clear() { size_ = 0; }

   private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_ = 0, capacity_ = 0;
  };

  // Starts a record of the kind whose payload has `size` bytes in all;
  // Seal writes its length and checksum once the payload is in.
  size_t Open(JournalKind kind, size_t size);
  void Seal(size_t start);

  Buffer buffer_;
};

// The checksum of a record's payload (32 bits, from a 64-bit multiply-xor
// hash over eight bytes at a time).
uint32_t JournalChecksum(std::span<const uint8_t> bytes);

// JournalChecksum of a payload given in parts: Feed them in order; Done
// answers what JournalChecksum answers for the parts joined.
class JournalChecksummer {
 public:
  // total: the payload's whole length (the hash starts from it).
  explicit JournalChecksummer(size_t total);
  // Feeds n bytes at p; copies them to copy_to and also_to (each when
  // given) in the same pass.
  void Feed(const uint8_t* p, size_t n, uint8_t* copy_to = nullptr, uint8_t* also_to = nullptr);
  uint32_t Done() const;

 private:
  uint64_t h_;
  uint8_t carry_[8] = {};  // the bytes of a word not yet whole
  size_t carried_ = 0;
};

// A journal as read: its fingerprint, its files' names by id, and its size
// and byte records in the order they were written.
struct ParsedJournal {
  std::vector<uint8_t> fingerprint;
  std::vector<std::string> names;
  std::vector<JournalRecord> steps;
};

// Decodes bytes, stopping at the first torn record. False when there is no
// whole prefix and head record (nothing of the change was written then),
// or a record breaks the rules above (a name with a directory part, an id
// never named, a range past kJournalMaxOffset): such a journal is never
// applied.
bool ParseJournal(std::span<const uint8_t> bytes, ParsedJournal* out);

// Reads and decodes the journal at path. *present is false when there is
// none; a journal that does not decode reads as present and empty (no
// fingerprint).
Status ReadJournal(Env* env, const std::string& path, bool* present,
                   ParsedJournal* out);

// The directory part of a path ("" for none) and the name after it.
std::string DirectoryOf(const std::string& path);
std::string_view NameOf(std::string_view path);

// Writes the journal of one change: the caller encodes records into
// pending() and flushes them before the base bytes they protect change.
// The first Flush creates the file (exclusively: a journal that exists
// belongs to a change not yet rolled back). With sync, every Flush is
// flushed to the device, and the directory after the create and removal.
class JournalWriter {
 public:
  JournalWriter(Env* env, std::string path, bool sync)
      : env_(env), path_(std::move(path)), sync_(sync) {}
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  JournalEncoder& pending() { return pending_; }
  bool created() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  // Writes what is pending. Failures read "cannot write the journal: ...".
  Status Flush();
  // Removes the journal (when created), closing it first.
  Status Remove();

 private:
  Env* env_;
  std::string path_;
  bool sync_;
  std::unique_ptr<File> file_;
  uint64_t size_ = 0;
  JournalEncoder pending_;
};

enum class Recovery { kNone, kRolledBack, kStale };

// Under the lock on byte 0 of guard (the caller holds it): rolls back the
// change the journal at path records when the guard's first bytes still
// equal its fingerprint, else drops the stale journal. The journal is
// removed once nothing of it is left to apply; a failure leaves it in
// place for the next try.
Status RecoverJournal(Env* env, const std::string& path, File& guard,
                      bool sync, Recovery* what = nullptr);

// RecoverJournal when a journal exists, taking the lock for it (waiting as
// a change does). A lock another program keeps is no failure: that program
// is changing the base, and the next change recovers. *pending is true
// when a journal is still there afterwards.
Status RecoverIfPending(Env* env, const std::string& path, File& guard,
                        bool sync, bool* pending = nullptr);

// The status of an open of name that failed with code: a symbolic link is
// said so ("NAME is a symbolic link").
Status OpenFailure(IoResult code, const std::string& name);

// An Env for programs that read a base but may not write it: while a
// journal whose fingerprint matches is pending, the files it names read as
// they were before the change (their old sizes and old bytes over the
// current ones). Opens for writing are refused. Files are matched by their
// name without its directory.
class JournalOverlayEnv final : public EnvWrapper {
 public:
  // Reads the journal at journal_path; guard_path names the guard file.
  // Without a pending, matching journal the Env passes reads through.
  JournalOverlayEnv(Env* target, const std::string& journal_path,
                    const std::string& guard_path);
  bool active() const { return active_; }
  IoResult Open(const std::string& name, OpenMode mode,
                std::unique_ptr<File>* file, bool* exists_out) override;
  IoResult GetFileSize(const std::string& name, uint64_t* size) override;

 private:
  std::string dir_;
  ParsedJournal journal_;
  bool active_ = false;
};

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_JOURNAL_H_
