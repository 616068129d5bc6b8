// JamBaseFiles: the files of a JAM base, its base header and its lock.
//
// A base is four files named by a path without extension: ".jhr" (base
// header, then message headers), ".jdt" (texts), ".jdx" (index) and ".jlr"
// (last-read records, opened only while a pointer is read or stored; see
// jam_last_read.h). This class keeps the first three open between Open and
// Close, keeps the last base header read, and owns the lock on byte 0 of
// ".jhr" under which every change is made:
//   - Lock/Unlock are LockBase/UnlockBase: nested, the outermost Lock
//     re-reads the base header and the outermost Unlock writes it back;
//   - BeginChange starts a Change (support/change.h) under the same lock,
//     taking it for the change alone unless Lock holds it.
// Not thread-safe; a failure leaves the object usable.

#ifndef DRAYLINE_JAM_JAM_BASE_FILES_H_
#define DRAYLINE_JAM_JAM_BASE_FILES_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "drayline/status.h"
#include "jam/jam_format.h"
#include "support/change.h"
#include "support/coding.h"
#include "support/env.h"

namespace drayline::jam {

class JamBaseFiles {
 public:
  explicit JamBaseFiles(Env* env) : env_(env) {}

  Env* env() const { return env_; }
  // The path is kept whole: a cut path would put the files elsewhere.
  void SetPath(std::string_view path);
  // How every later change records and flushes itself.
  void SetChangeOptions(const ChangeOptions& options) { setup_.options = options; }
  // What a change of the open base records on disk: the journal beside the
  // base, the open files by name, the base header as fingerprint (every
  // change that moves the counters writes it last).
  const ChangeSetup& change_setup() const { return setup_; }
  // The path with ext (kHeaderExt, ...) after it.
  std::string FileName(std::string_view ext) const;
  // True when the header file exists.
  bool Exists() const;

  // Opens the header, text and index files and reads the base header;
  // any lock held is given up. A change cut short is rolled back first
  // (under the lock). On failure nothing stays open.
  Status Open();
  void Close();
  bool is_open() const { return header_ != nullptr; }
  // Makes the files of an empty base, or completes a base that has no
  // messages yet; never touches a header file that holds messages (it
  // then only checks that the text and index files exist). A new base is
  // written under temporary names and linked into place, the header file
  // last, so that a crash never leaves half a base under the real names.
  // The base is left closed.
  Status Create();

  // The open files; nullptr while the base is closed.
  File* header_file() const { return header_.get(); }
  File* text_file() const { return text_.get(); }
  File* index_file() const { return index_.get(); }

  // Fields of the base header as last read (or changed by a store).
  uint32_t BaseField(size_t offset) const {
    return DecodeFixed32(image_.data() + offset);
  }
  int32_t BaseMsgNum() const { return static_cast<int32_t>(BaseField(kBhBaseMsgNum)); }

  // LockBase: a nested count; the outermost takes the lock and re-reads
  // the base header. A failure leaves no count behind.
  Status Lock();
  // UnlockBase: the outermost writes the base header back and releases
  // the lock (the lock is released even when the write fails). Without a
  // Lock it writes nothing and fails.
  Status Unlock();
  bool lock_held() const { return lock_count_ > 0; }

  // Begins a change of the open base. When Lock does not hold the lock the
  // change takes it and the base header is re-read, so that counters
  // other programs changed are built on. Any failure answers io_result 5
  // (access denied), the number a store has always given for a lock it
  // could not take; *change is then empty.
  Status BeginChange(std::unique_ptr<Change>* change);
  // Commits change after moving the counters of the base header:
  // ActiveMsgs by active_delta (+1, or -1 but not below 0) and ModCounter
  // by 1. The base header is written within the change unless Lock holds
  // the lock (the outermost Unlock writes it then). The kept base header
  // changes only when the commit succeeds.
  Status CommitCounted(Change& change, int active_delta);

 private:
  Status OpenFile(std::string_view ext, OpenMode mode, std::unique_ptr<File>* file) const;
  Status ReadBaseHeader();
  Status CreateFile(std::string_view ext, std::unique_ptr<File>* file) const;
  Status WriteFreshBaseHeader(File& header_file) const;
  Status CheckWholeBase() const;
  // Points the change setup at the open files (null while closed).
  void NameFilesForChange();
  // Writes a fresh base under temporary names and links it into place,
  // the header file last.
  Status CreateWhole();
  // Create when the header file is there already.
  Status CreateExisting();

  Env* env_;
  std::string path_;
  std::unique_ptr<File> header_;
  std::unique_ptr<File> text_;
  std::unique_ptr<File> index_;
  std::array<uint8_t, kBaseHeaderSize> image_{};
  ChangeSetup setup_;
  int32_t lock_count_ = 0;
};

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_BASE_FILES_H_
