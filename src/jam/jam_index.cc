#include "jam/jam_index.h"

#include <algorithm>

#include "support/file_access.h"

namespace drayline::jam {

namespace {

// A reload starts this many records before the one asked for.
constexpr int64_t kWindowLead = 30;

}  // namespace

void JamIndex::Drop() {
  first_ = 0;
  count_ = 0;
}

IoResult JamIndex::Load(File* file) {
  count_ = 0;
  if (file == nullptr) return io::kNotOpen;
  uint8_t raw[kIndexWindowRecords * kIndexRecordSize];
  size_t done = 0;
  const IoResult code =
      RetryRead(*file, static_cast<uint64_t>(first_) * kIndexRecordSize, raw, &done);
  if (code != io::kOk) return code;
  count_ = static_cast<int64_t>(done / kIndexRecordSize);  // whole records only
  for (int64_t i = 0; i < count_; ++i) {
    window_[static_cast<size_t>(i)] = DecodeIndexRecord(raw + i * kIndexRecordSize);
  }
  return io::kOk;
}

bool JamIndex::Reload(File* file, int64_t record, IoResult* code) {
  first_ = std::max<int64_t>(record - kWindowLead, 0);
  *code = Load(file);
  return *code == io::kOk && Holds(record);
}

void JamIndex::Update(int64_t record, const IndexRecord& entry) {
  if (Holds(record)) window_[static_cast<size_t>(record - first_)] = entry;
}

int64_t JamIndex::RecordCount(File* file) {
  uint64_t size = 0;
  if (file == nullptr || file->Size(&size) != io::kOk) return 0;
  return static_cast<int64_t>(size / kIndexRecordSize);
}

}  // namespace drayline::jam
