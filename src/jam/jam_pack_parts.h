// The pieces pack, purge and link share on a JAM base: the scan of its
// live messages, groups of small records read and rewritten together, and
// one step of a run (a Change under the lock that ends by moving the base
// header's counters).

#ifndef DRAYLINE_JAM_JAM_PACK_PARTS_H_
#define DRAYLINE_JAM_JAM_PACK_PARTS_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "drayline/status.h"
#include "jam/jam_base_files.h"
#include "jam/jam_format.h"
#include "support/change.h"

namespace drayline::jam {

// A live message as the scan found it.
struct LiveHeader {
  uint32_t hdr_off = 0;
  uint32_t txt_off = 0;
  uint32_t txt_len = 0;
  uint32_t hdr_len = 0;  // fixed part and SubfieldLen
};

struct JamScan {
  uint32_t base_msg_num = 0;
  uint64_t records = 0;  // whole index records
  uint64_t jhr_size = 0, jdt_size = 0, jdx_size = 0;
  std::vector<LiveHeader> live;  // by header offset
  std::vector<uint32_t> kept;    // numbers of the live messages, ascending
  // Numbers of deleted messages whose header the walk met, with their
  // ReplyNext (a chain of replies skips them), by number.
  std::vector<std::pair<uint32_t, uint32_t>> removed_next;
  int64_t dead_headers = 0;  // headers in the file that no record uses
};

// Called with each live header's bytes (fixed part and subfields) and its
// offset, in header file order.
using HeaderVisitor = std::function<void(std::span<const uint8_t> header, uint32_t offset)>;

// Scans the open base without the lock. kDamaged when an index record in
// use points at no header of its number (the base changed meanwhile or is
// damaged: run again, or check it).
Status ScanJam(JamBaseFiles& files, JamScan* scan, const HeaderVisitor& visit = nullptr);

// Small records of one file at scattered offsets, read in runs of nearby
// records and written back where they changed.
class RecordRuns {
 public:
  // Reads length bytes at each offset (ascending or not); kReadPastEnd when
  // one lies past the end of the file.
  Status Load(File& file, std::vector<uint64_t> offsets, size_t length);
  // The bytes at offset, which Load read; nullptr when it did not.
  uint8_t* At(uint64_t offset);
  // Writes every run whose bytes changed, through change.
  Status Store(Change& change);

 private:
  struct Run {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes, old;
  };
  File* file_ = nullptr;
  std::vector<Run> runs_;
};

// One step of a run: the change under the lock, with the base header read
// afresh; Commit writes it back with ModCounter moved on and ActiveMsgs
// moved by the deletions made.
class JamStep {
 public:
  explicit JamStep(JamBaseFiles& files) : files_(files) {}
  Status Begin();
  Change& change() { return *change_; }
  uint32_t base_msg_num() const;
  Status Commit(uint32_t deleted = 0);

 private:
  JamBaseFiles& files_;
  std::unique_ptr<Change> change_;
  std::array<uint8_t, kBaseHeaderSize> image_{};
};

// Writes bytes at offset of file, where old holds what the file had from
// old_from on: below old_from nothing that a live record uses (written
// fresh), from there on over old (written only where it differs).
Status WriteMoved(Change& change, File& file, uint64_t offset, std::span<const uint8_t> bytes,
                  uint64_t old_from, std::span<const uint8_t> old);

// Cuts file from `from` down to `to`, at most `step` bytes a step, while
// its size is still `from` (nothing was stored after the scan). *cut
// receives the bytes cut.
Status CutInSteps(JamBaseFiles& files, File& file, uint64_t from, uint64_t to, uint64_t step,
                  uint64_t* cut);

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_PACK_PARTS_H_
