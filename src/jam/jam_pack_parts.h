// The pieces pack, purge and link share on a JAM base: the scan of its
// live messages, groups of small records read and rewritten together, and
// one step of a run (a Change under the lock that ends by moving the base
// header's counters).

#ifndef DRAYLINE_JAM_JAM_PACK_PARTS_H_
#define DRAYLINE_JAM_JAM_PACK_PARTS_H_

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
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

// A live message as the scan found it. A run keeps one for every live
// message, so its fields are packed by hand into 14 bytes (no padding).
class LiveHeader {
 public:
  // hdr_len: the fixed part and SubfieldLen (at most kFixedHeaderSize +
  // kSubfieldAreaSize, well under kHasLinks).
  LiveHeader(uint32_t hdr_off, uint32_t txt_off, uint32_t txt_len, uint16_t hdr_len) {
    Put(0, hdr_off), Put(4, txt_off), Put(8, txt_len), Put16(12, hdr_len);
  }
  // The bit of hdr_len() that marks a header with a reply link to mend.
  static constexpr uint16_t kHasLinks = 0x8000;

  uint32_t hdr_off() const { return Get(0); }
  uint32_t txt_off() const { return Get(4); }
  uint32_t txt_len() const { return Get(8); }
  uint16_t hdr_len() const { return Get16(12); }
  void set_txt_off(uint32_t at) { Put(4, at); }
  void mark_links() { Put16(12, static_cast<uint16_t>(hdr_len() | kHasLinks)); }

 private:
  uint32_t Get(size_t at) const {
    uint32_t v;
    std::memcpy(&v, bytes_ + at, sizeof v);
    return v;
  }
  uint16_t Get16(size_t at) const {
    uint16_t v;
    std::memcpy(&v, bytes_ + at, sizeof v);
    return v;
  }
  void Put(size_t at, uint32_t v) { std::memcpy(bytes_ + at, &v, sizeof v); }
  void Put16(size_t at, uint16_t v) { std::memcpy(bytes_ + at, &v, sizeof v); }

  unsigned char bytes_[14];
};
static_assert(sizeof(LiveHeader) == 14);

struct JamScan {
  uint32_t base_msg_num = 0;
  uint64_t records = 0;  // whole index records
  uint64_t jhr_size = 0, jdt_size = 0, jdx_size = 0;
  std::vector<LiveHeader> live;  // by header offset
  // The live messages' index records: bit r % 64 of kept[r / 64] is set
  // when record r (number base_msg_num + r) is in use.
  std::vector<uint64_t> kept;
  // Numbers of deleted messages whose header the walk met, with their
  // ReplyNext (a chain of replies skips them), by number.
  std::vector<std::pair<uint32_t, uint32_t>> removed_next;
  int64_t dead_headers = 0;  // headers in the file that no record uses
};

// Called with each live header's bytes (fixed part and subfields) and its
// offset, in header file order.
using HeaderVisitor = std::function<void(std::span<const uint8_t> header, uint32_t offset)>;

// Scans the open base without the lock, reading the index once and the
// header file once from start to end (and each live header the walk did
// not reach); it keeps 14 bytes a live message and a bit an index record.
// kDamaged when an index record in use points at no header of its number
// (the base changed meanwhile or is damaged: run again, or check it).
Status ScanJam(JamBaseFiles& files, JamScan* scan, const HeaderVisitor& visit = nullptr);

// Small records of one file at scattered offsets, read in runs of nearby
// records and written back where they changed. One object may serve step
// after step: its buffers are kept for the next Load, so that a run of
// steps neither allocates nor clears memory again.
class RecordRuns {
 public:
  // Reads length bytes at each offset (ascending or not), forgetting what
  // an earlier Load read; kReadPastEnd when one lies past the end of the
  // file.
  Status Load(File& file, std::vector<uint64_t> offsets, size_t length);
  // The bytes at offset, which Load read; nullptr when it did not.
  uint8_t* At(uint64_t offset);
  // Writes every run whose bytes changed, through change.
  Status Store(Change& change);

 private:
  struct Run {
    uint64_t offset = 0;  // in the file
    size_t start = 0;     // in bytes_ and old_
    size_t size = 0;
  };
  File* file_ = nullptr;
  std::vector<Run> runs_;
  // Every run's bytes one after the other, as changed and as read; only
  // the first `used_` bytes belong to the runs of the last Load.
  std::vector<uint8_t> bytes_, old_;
  size_t used_ = 0;
};

// Sorts v by less, unless its elements are in strictly increasing order
// already (the common case, which sorting would leave as it is).
template <class T, class Less>
void SortOnce(std::vector<T>& v, Less less) {
  const auto out_of_order = [&](const T& a, const T& b) { return !less(a, b); };
  if (std::adjacent_find(v.begin(), v.end(), out_of_order) != v.end()) {
    std::sort(v.begin(), v.end(), less);
  }
}

// The first n bytes of buf, which grows to hold them (and never shrinks,
// so that a buffer reused step after step is cleared only once).
std::span<uint8_t> BufferOf(std::vector<uint8_t>& buf, size_t n);

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
