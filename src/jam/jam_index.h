// JamIndex: a window of consecutive records of a JAM index file (".jdx"),
// through which the cursor and the search read the index.
//
// The window is reloaded only when a record outside it is asked for, a
// reload starting 30 records before that one so that small steps back stay
// inside. It holds 200 records; a walk that reloads at the end of a full
// window doubles it, up to 8192, and any other reload brings it back.
// It is a snapshot: records that another program changes inside a loaded
// window are seen only once the window moves or a new walk drops it; the
// stores read and write the file directly and keep the window's copy in
// step (Update). The search scans the file through a larger window of its
// own.

#ifndef DRAYLINE_JAM_JAM_INDEX_H_
#define DRAYLINE_JAM_JAM_INDEX_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "drayline/io_result.h"
#include "jam/jam_format.h"
#include "support/env.h"
#include "support/read_window.h"

namespace drayline::jam {

class JamIndex {
 public:
  JamIndex();

  // Forgets the records held (a base is opened).
  void Drop();
  // True when record (0-based) exists in file and is held, loading the
  // window around it when needed. *code receives the I/O result of a load
  // (kNotOpen without a file); a record past the end is no error.
  bool Present(File* file, int64_t record, IoResult* code) {
    *code = io::kOk;
    return record >= 0 && (Holds(record) || Reload(file, record, code));
  }
  bool Holds(int64_t record) const {
    return record >= first_ && record < first_ + count_;
  }
  // Record `record`, which Holds must have found.
  const IndexRecord& At(int64_t record) const {
    return window_[static_cast<size_t>(record - first_)];
  }
  // The window's copy of a record a store has just written.
  void Update(int64_t record, const IndexRecord& entry);
  // One past the last record held.
  int64_t WindowEnd() const { return first_ + count_; }

  // Whole records in file (0 when it cannot be asked).
  static int64_t RecordCount(File* file);

  // The checksums a search looks for; an unused one matches nothing.
  struct Checksums {
    uint32_t first = 0, second = 0;
    bool use_first = false, use_second = false;
    bool Match(uint32_t crc) const {
      return (use_first && crc == first) || (use_second && crc == second);
    }
  };
  // The search's scan: from *record up to limit, the first record that is
  // not deleted and whose UserCRC matches; true with it in *entry and its
  // number in *record. Otherwise *record is where the scan stopped: limit,
  // the end of the file's whole records, or the window that could not be
  // read (*code says why; kNotOpen without a file). The file is read in
  // large windows apart from the cursor's, and only the checksum of a
  // record is looked at until it matches; the cursor's window then holds
  // the match (alone, unless it held it already), so that the cursor
  // stands on it without a read. What the scan's window holds is a
  // snapshot, like the cursor's (Drop and Update forget it).
  bool FindChecksum(File* file, const Checksums& crcs, int64_t limit,
                    int64_t* record, IndexRecord* entry, IoResult* code);
  // Forgets what the search's window holds (a new search).
  void DropScan() { scan_.Drop(); }

 private:
  IoResult Load(File* file);
  // Makes the window hold entry as record's.
  void Hold(int64_t record, const IndexRecord& entry);
  // Loads the window around record; true when it then holds it.
  bool Reload(File* file, int64_t record, IoResult* code);

  std::vector<IndexRecord> window_;  // its size: the records a load reads
  std::vector<uint8_t> raw_;         // a load's bytes
  int64_t first_ = 0;
  int64_t count_ = 0;
  ReadWindow scan_;
};

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_INDEX_H_
