// JamChecker: verifies a JAM base from the bytes of its files, never
// writing to them.
//
// The rules checked: the base header's signature and counters; every index
// record either unused (all bits set) or pointing at a header inside the
// ".jhr" that carries the signature; no two records pointing at one header
// and no two headers overlapping; each header's MessageNumber the number
// of the record that points at it; subfields inside their header; every
// text range inside the ".jdt" and not overlapping another; ActiveMsgs
// equal to the live messages; the ".jlr" a whole number of records (two
// records for one user are a note, not damage); no pending journal.
//
// Memory: the index is streamed; 16 bytes are kept per index record in use
// (where its header and text are), sorted once by header and once by text.
// Headers are read in file order through a large read-ahead window.

#ifndef DRAYLINE_JAM_JAM_CHECK_H_
#define DRAYLINE_JAM_JAM_CHECK_H_

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

namespace drayline::jam {

// Receives each problem found, with the bytes at its file and offset that
// it was found in (none when it stands on the fingerprint alone: sizes,
// the base header, the journal).
using ProblemSink = std::function<void(Problem problem, std::span<const uint8_t> seen)>;

class JamChecker final {
 public:
  // A base's files as the checker holds them: their names as problems
  // give them (without the directory), the handles (null when the file is
  // missing) and the journal's full path.
  struct Files {
    std::string jhr_name, jdt_name, jdx_name, jlr_name;
    std::string journal_path;
    std::unique_ptr<File> jhr, jdt, jdx, jlr;
  };

  // Opens path's ".jhr" read-write when the system allows it (the lock
  // needs a handle that may write; nothing is written), else read-only;
  // ".jdt", ".jdx" and ".jlr" read-only. A missing file other than the
  // ".jhr" is left for Scan to report. Fails with the status of the open
  // that failed. The files stay open until the checker is destroyed, so
  // that the lock taken through the ".jhr" is not lost to the close of a
  // second handle of the same file.
  static Status Open(Env* env, std::string_view path, std::unique_ptr<JamChecker>* out);

  // Reads the whole base (without the lock) and gives sink each problem
  // found; appends notes to report->notes and sets report->messages to the
  // live messages. A read that fails ends the scan with its status.
  Status Scan(const ProblemSink& sink, CheckReport* report);
  // What every change by a program that locks alters: the files' sizes,
  // the base header and whether a journal is pending.
  Status Fingerprint(std::vector<uint8_t>* out);
  // Reads out.size() bytes at offset of the file a problem names.
  Status ReadAt(std::string_view file, uint64_t offset, std::span<uint8_t> out);

  // False when the ".jhr" could only be opened read-only.
  bool lockable() const { return lockable_; }
  // The lock on byte 0 of the ".jhr"; kLockViolation while another
  // program holds it. Never waits.
  IoResult Lock() { return files_.jhr->Lock(0, 1); }
  IoResult Unlock() { return files_.jhr->Unlock(0, 1); }

 private:
  JamChecker(Env* env, Files files, bool lockable)
      : env_(env), files_(std::move(files)), lockable_(lockable) {}

  // The files under the names problems give them.
  std::array<NamedFile, 4> NamedFiles() const {
    return {{{files_.jhr_name, files_.jhr.get()},
             {files_.jdt_name, files_.jdt.get()},
             {files_.jdx_name, files_.jdx.get()},
             {files_.jlr_name, files_.jlr.get()}}};
  }

  Env* env_;
  Files files_;
  bool lockable_;
};

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_CHECK_H_
