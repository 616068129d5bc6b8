#include "jam/jam_index.h"

#include <algorithm>
#include <cstring>

#include "support/coding.h"
#include "support/file_access.h"

namespace drayline::jam {

namespace {

// The most records a walk's window holds.
constexpr size_t kIndexWalkRecords = 8192;
// A reload starts this many records before the one asked for.
constexpr int64_t kWindowLead = 30;
// The search's window: at one read per 64 KiB the reads cost less than the
// checksums' comparison.
constexpr size_t kScanWindowBytes = 64 * 1024;

// Records the search compares as one block.
constexpr int64_t kScanBlock = 16;

// The records' first four bytes compared as they are stored, four records
// at a time (their checksums gathered from two loads of two records each),
// without a branch. GCC and Clang lower the vectors to the machine's own,
// or to plain words where it has none.
using Lanes = uint32_t __attribute__((vector_size(16)));

// A checksum as its stored bytes read in every lane.
Lanes StoredInLanes(uint32_t crc) {
  uint8_t stored[4];
  EncodeFixed32(stored, crc);
  uint32_t word;
  std::memcpy(&word, stored, sizeof word);
  return Lanes{word, word, word, word};
}

// True when one of the kScanBlock records at p may have checksum a or b.
bool BlockMayMatch(const uint8_t* p, const Lanes& a, const Lanes& b) {
  static_assert(kIndexRecordSize == 8 && kScanBlock % 4 == 0);
  Lanes any = {0, 0, 0, 0};
  for (int64_t i = 0; i < kScanBlock; i += 4, p += 4 * kIndexRecordSize) {
    Lanes first, second;
    std::memcpy(&first, p, sizeof first);
    std::memcpy(&second, p + sizeof first, sizeof second);
    const Lanes crcs = __builtin_shufflevector(first, second, 0, 2, 4, 6);
    any |= reinterpret_cast<Lanes>((crcs == a) | (crcs == b));
  }
  return (any[0] | any[1] | any[2] | any[3]) != 0;
}

// The first of the n records at run, from i on, whose checksum is a or b
// (their lanes a_lanes and b_lanes); n when none is. Nearly every block of
// records holds no match: one pass without a branch passes it by.
int64_t NextCandidate(const uint8_t* run, int64_t i, int64_t n, uint32_t a, uint32_t b,
                      const Lanes& a_lanes, const Lanes& b_lanes) {
  while (i < n) {
    if (n - i >= kScanBlock && !BlockMayMatch(run + i * kIndexRecordSize, a_lanes, b_lanes)) {
      i += kScanBlock;
      continue;
    }
    for (const int64_t end = std::min(n, i + kScanBlock); i < end; ++i) {
      const uint32_t crc = DecodeFixed32(run + i * kIndexRecordSize);
      if (crc == a || crc == b) return i;
    }
  }
  return n;
}

// A run of index records is as long as the whole records the window holds.
size_t WholeRecords(std::span<const uint8_t> held) {
  return held.size() - held.size() % kIndexRecordSize;
}

}  // namespace

JamIndex::JamIndex()
    : window_(kIndexWindowRecords), scan_(kScanWindowBytes, kScanWindowBytes) {}

void JamIndex::Drop() {
  first_ = 0;
  count_ = 0;
  scan_.Drop();
}

IoResult JamIndex::Load(File* file) {
  count_ = 0;
  if (file == nullptr) return io::kNotOpen;
  raw_.resize(window_.size() * kIndexRecordSize);
  size_t done = 0;
  const IoResult code =
      RetryRead(*file, static_cast<uint64_t>(first_) * kIndexRecordSize, raw_, &done);
  if (code != io::kOk) return code;
  count_ = static_cast<int64_t>(done / kIndexRecordSize);  // whole records only
  for (int64_t i = 0; i < count_; ++i) {
    window_[static_cast<size_t>(i)] = DecodeIndexRecord(raw_.data() + i * kIndexRecordSize);
  }
  return io::kOk;
}

bool JamIndex::Reload(File* file, int64_t record, IoResult* code) {
  // A walk reads on from the end of a full window: it is given a larger
  // one, so that a long walk makes few reads and a lone read a small one.
  const bool walking = count_ == static_cast<int64_t>(window_.size()) && record == WindowEnd();
  const size_t records =
      walking ? std::min(2 * window_.size(), kIndexWalkRecords) : kIndexWindowRecords;
  if (records != window_.size()) window_.resize(records);
  first_ = std::max<int64_t>(record - kWindowLead, 0);
  *code = Load(file);
  return *code == io::kOk && Holds(record);
}

void JamIndex::Hold(int64_t record, const IndexRecord& entry) {
  if (!Holds(record)) {
    first_ = record;
    count_ = 1;
  }
  window_[static_cast<size_t>(record - first_)] = entry;
}

void JamIndex::Update(int64_t record, const IndexRecord& entry) {
  if (Holds(record)) window_[static_cast<size_t>(record - first_)] = entry;
  scan_.Drop();
}

int64_t JamIndex::RecordCount(File* file) {
  uint64_t size = 0;
  if (file == nullptr || file->Size(&size) != io::kOk) return 0;
  return static_cast<int64_t>(size / kIndexRecordSize);
}

bool JamIndex::FindChecksum(File* file, const Checksums& crcs, int64_t limit,
                            int64_t* record, IndexRecord* entry, IoResult* code) {
  *code = io::kOk;
  if (file == nullptr) {
    *code = io::kNotOpen;
    return false;
  }
  // An unused checksum takes the other's value, so that the loop below
  // compares the bytes alone; Match decides.
  const uint32_t a = crcs.use_first ? crcs.first : crcs.second;
  const uint32_t b = crcs.use_second ? crcs.second : a;
  const Lanes a_lanes = StoredInLanes(a), b_lanes = StoredInLanes(b);
  for (int64_t at = *record; at < limit;) {
    std::span<const uint8_t> run;
    const IoResult read =
        scan_.ReadRecord(*file, uint64_t(at) * kIndexRecordSize,
                         kScanWindowBytes, WholeRecords, &run);
    if (read != io::kOk) {
      // Too few bytes for a record: the end of the file.
      if (read != io::kReadPastEnd) *code = read;
      *record = at;
      return false;
    }
    const int64_t n = std::min<int64_t>(int64_t(run.size() / kIndexRecordSize),
                                        limit - at);
    for (int64_t i = 0;; ++i) {
      i = NextCandidate(run.data(), i, n, a, b, a_lanes, b_lanes);
      if (i == n) break;
      const IndexRecord found = DecodeIndexRecord(run.data() + i * kIndexRecordSize);
      if (found.deleted() || !crcs.Match(found.UserCRC)) continue;
      *entry = found;
      *record = at + i;
      Hold(*record, found);
      return true;
    }
    at += n;
    *record = at;
  }
  return false;
}

}  // namespace drayline::jam
