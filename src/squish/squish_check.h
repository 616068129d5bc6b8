// SquishChecker: verifies a Squish base from the bytes of its files, never
// writing to them.
//
// The rules checked: the control record's values; the message chain and
// the free chain, each followed forward and checked backward, every frame
// on exactly one chain, inside the frames area and overlapping no other,
// and no byte of the frames area on neither chain (a lost frame);
// an index entry for every message frame and a message frame for every
// entry; Uids increasing and below NextUid; MessageCount and HighMessage
// equal to the entries; the ".sql" a whole number of records; no pending
// journal.
//
// Memory: the index entries (12 bytes each) and one (offset, length) per
// frame; frame headers are read through a read-ahead window.

#ifndef DRAYLINE_SQUISH_SQUISH_CHECK_H_
#define DRAYLINE_SQUISH_SQUISH_CHECK_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/check.h"
#include "drayline/status.h"
#include "support/env.h"
#include "support/file_set.h"

namespace drayline::squish {

// Receives each problem found, with the bytes at its file and offset that
// it was found in (none when it stands on the fingerprint alone: sizes,
// the control record, the journal).
using ProblemSink = std::function<void(Problem problem, std::span<const uint8_t> seen)>;

class SquishChecker final {
 public:
  // A base's files as the checker holds them: their names as problems
  // give them (without the directory), the handles (null when the file is
  // missing) and the journal's full path.
  struct Files {
    std::string sqd_name, sqi_name, sql_name;
    std::string journal_path;
    std::unique_ptr<File> sqd, sqi, sql;
  };

  // Opens path's ".sqd" read-write when the system allows it (the lock
  // needs a handle that may write; nothing is written), else read-only;
  // ".sqi" and ".sql" read-only. A missing ".sqi" or ".sql" is left for
  // Scan. Fails with the status of the open that failed. The files stay
  // open until the checker is destroyed, so that the lock taken through
  // the ".sqd" is not lost to the close of a second handle of that file.
  static Status Open(Env* env, std::string_view path,
                     std::unique_ptr<SquishChecker>* out);

  // Reads the whole base (without the lock) and gives sink each problem
  // found; sets report->messages to the index entries. A read that fails
  // ends the scan with its status.
  Status Scan(const ProblemSink& sink, CheckReport* report);
  // What every change by a program that locks alters: the files' sizes,
  // the control record and whether a journal is pending.
  Status Fingerprint(std::vector<uint8_t>* out);
  // Reads out.size() bytes at offset of the file a problem names.
  Status ReadAt(std::string_view file, uint64_t offset, std::span<uint8_t> out);

  // False when the ".sqd" could only be opened read-only.
  bool lockable() const { return lockable_; }
  // The lock on byte 0 of the ".sqd"; kLockViolation while another
  // program holds it. Never waits.
  IoResult Lock() { return files_.sqd->Lock(0, 1); }
  IoResult Unlock() { return files_.sqd->Unlock(0, 1); }

 private:
  SquishChecker(Env* env, Files files, bool lockable)
      : env_(env), files_(std::move(files)), lockable_(lockable) {}

  // The files under the names problems give them.
  std::array<NamedFile, 3> NamedFiles() const {
    return {{{files_.sqd_name, files_.sqd.get()},
             {files_.sqi_name, files_.sqi.get()},
             {files_.sql_name, files_.sql.get()}}};
  }

  Env* env_;
  Files files_;
  bool lockable_;
};

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_CHECK_H_
