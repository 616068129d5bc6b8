// Frames of a Squish data file: reading frame headers and checking them
// before they are relinked or written over, rewriting them through the
// change at hand, and the table of free frames that a store chooses from.
//
// A frame is sound when its header, and for a free frame its whole length,
// lies between the control record and EndFrame, carries the frame id and
// has the type of the chain it is on. Nothing is relinked or written over
// unless it is sound; otherwise the answer is Status::Damaged, saying which
// frame and why.

#ifndef DRAYLINE_SQUISH_SQUISH_FRAMES_H_
#define DRAYLINE_SQUISH_SQUISH_FRAMES_H_

#include <cstdint>
#include <memory>

#include "drayline/status.h"
#include "squish/squish_files.h"
#include "squish/squish_format.h"
#include "support/change.h"

namespace drayline::squish {

// The two neighbours of a frame in its chain, read and checked.
struct Neighbours {
  SquishFrameHeader prev;
  SquishFrameHeader next;
};

class FrameStore {
 public:
  explicit FrameStore(SquishFiles& files) : files_(files) {}

  // The first 28 bytes of the frame header at offset.
  Status Read(int64_t offset, SquishFrameHeader* header) const;
  // Read, then checked sound for a chain of the given type.
  Status ReadSound(int64_t offset, uint16_t type,
                   SquishFrameHeader* header) const;
  const SquishFiles& files() const { return files_; }
  // Reads and checks both neighbours of the frame at offset (whose header
  // is given). A frame linked to itself, or whose neighbours are one
  // frame, is a damaged chain.
  Status ReadNeighbours(const SquishFrameHeader& header, int64_t offset,
                        uint16_t chain_type, Neighbours* out) const;
  // Damaged when the frame at offset (whose header is given) runs past
  // end: a frame written at end would overwrite its last bytes.
  Status CheckEndsBy(int64_t offset, const SquishFrameHeader& header,
                     int64_t end) const;
  // Writes header over old, the header the frame holds now.
  Status Write(Change& change, int64_t offset, const SquishFrameHeader& header,
               const SquishFrameHeader& old) const;
  // Takes the frame (header) out of its chain by rewriting the neighbours'
  // links; the control record's chain ends are the caller's.
  Status Relink(Change& change, const SquishFrameHeader& header,
                const Neighbours& n) const;

 private:
  Status Damaged(int64_t offset, const char* why) const;

  SquishFiles& files_;
};

// The free frames known to the object: up to 500 (offset, length) slots,
// filled from the free chain at the first store after the lock is taken
// and kept up to date by the changes made under it.
class FreeTable {
 public:
  // Obtains the slots; false when their memory cannot be had.
  bool Allocate();
  // The table no longer reflects the chain on disk.
  void Forget() { loaded_ = false; }
  // Chooses where a message of *size bytes goes: the free frame whose
  // length is the smallest above *size (the first of equal ones; a frame of
  // exactly *size is not taken), checked sound, with its header in *chosen
  // and its length in *size; or, with *size set to 0, EndFrame. Its slot
  // is emptied; nothing on disk changes.
  Status Choose(const FrameStore& frames, const SquishBaseHeader& base,
                int32_t* size, int32_t* offset, SquishFrameHeader* chosen);
  // Records a newly freed frame in the lowest empty slot (if any).
  void Add(int32_t offset, int32_t length);

 private:
  struct Slot {
    int32_t offset = 0;  // 0: empty
    int32_t length = 0;
  };
  // Fills the slots from the free chain, stopping at the first frame that
  // is not a sound free frame or that was met before. Linear in the frames
  // read: the frames met are kept in a hash set, and the headers are read
  // through a window of the data file, as free frames often lie close
  // together (the lock is held; nothing is written meanwhile).
  void Load(const FrameStore& frames, int32_t first_free);

  std::unique_ptr<Slot[]> slots_;
  uint16_t used_ = 0;  // highest slot in use
  bool loaded_ = false;
};

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_FRAMES_H_
