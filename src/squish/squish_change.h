// SquishChange: the changes a Squish base undergoes (a store, a deletion,
// a header rewrite, the maximum-messages rule), each made through one
// support Change that records what it overwrites, under the lock.
//
// Order of a store, so that a failure or a crash at any point leaves the
// base describing the messages stored before: every frame that will be
// relinked is read and checked first; the new frame is written whole; only
// then are the free chain and the previous message relinked to it; the
// index and the control record follow last (WriteBase). A step that fails
// returns its status at once; the owner then lets the Change undo what was
// written and puts the tables in memory back (it took a Mark first).
//
// The statuses carry the numbers WriteMessage has always answered: 5 the
// lock, 999 no index table or no room in it, 100 a structure that forbids
// the change (Status::Damaged), 103 a control record that could not be
// read under the lock, 300 an index file that could not be cut, otherwise
// the I/O result of the failed step.

#ifndef DRAYLINE_SQUISH_SQUISH_CHANGE_H_
#define DRAYLINE_SQUISH_SQUISH_CHANGE_H_

#include <cstdint>
#include <span>
#include <vector>

#include "drayline/status.h"
#include "squish/squish_files.h"
#include "squish/squish_format.h"
#include "squish/squish_frames.h"
#include "squish/squish_index.h"
#include "support/change.h"

namespace drayline::squish {

// The parts of a base that a change works on; owned by the engine.
struct BaseParts {
  SquishFiles& files;
  SquishIndex& index;
  FrameStore& frames;
  FreeTable& free;
};

// What the tables in memory were before a change, to put them back.
struct Mark {
  SquishBaseHeader fields;
  SquishIndex::Mark index;
};
Mark TakeMark(const BaseParts& parts);
void RestoreMark(const Mark& mark, BaseParts& parts);

class SquishChange {
 public:
  SquishChange(BaseParts parts, Change& change) : p_(parts), change_(change) {}

  // Stores a message (header and text, the NUL included) as the newest,
  // then applies the maximum-messages rule.
  Status Store(const SquishMessageHeader& header,
               std::span<const uint8_t> text);
  // Deletes the message with that Uid, if the index holds it (*changed).
  Status DeleteUid(int32_t uid, bool* changed);
  // Writes header back over the message with that Uid, whose frame must
  // still be a live message frame; its index hash follows (0 once
  // received). With write_entry the entry is written to the index file at
  // once; otherwise WriteBase writes it.
  Status RewriteHeader(int32_t uid, const SquishMessageHeader& header,
                       bool write_entry);
  // Writes the index and then the control record.
  Status WriteBase();

 private:
  SquishBaseHeader& base() { return p_.files.control().fields; }
  uint16_t frame_header_size() const {
    return p_.files.control().frame_header_size;
  }
  // Ok when the control record and the whole index were read under the
  // lock and agree; entries the control record does not count (left by a
  // store that never finished) are dropped.
  Status CheckWritable();
  Status MakeRoomForEntry();
  Status PlaceMessage(const SquishMessageHeader& header,
                      std::span<const uint8_t> text);
  // reused: the free frame's header, or nullptr for a frame appended.
  Status WriteNewFrame(int32_t offset, const SquishFrameHeader* reused,
                       const SquishFrameHeader& frame,
                       const SquishMessageHeader& header,
                       std::span<const uint8_t> text);
  Status WriteData(uint64_t offset, std::span<const uint8_t> bytes);
  // Bytes nothing needs back: past the file's old end or unused.
  Status WriteFresh(uint64_t offset, std::span<const uint8_t> bytes);
  Status TakeFromFreeChain(const SquishFrameHeader& taken,
                           const Neighbours& links);
  Status AppendToMessageChain(int32_t offset, const SquishFrameHeader& last);
  void AddIndexEntry(int32_t offset, const SquishMessageHeader& header);
  Status EnforceMaxMessages();
  // Deletes the message at index position k: out of the message chain,
  // onto the end of the free chain, out of the index.
  Status DeleteAt(uint16_t k);
  // Reads and checks every frame a deletion of the frame at `at` rewrites.
  Status CheckDeletion(int32_t at, SquishFrameHeader* frame, Neighbours* links,
                       SquishFrameHeader* last_free);
  Status FreeFrame(int32_t at, const SquishFrameHeader& frame,
                   const SquishFrameHeader& last_free);

  BaseParts p_;
  Change& change_;
};

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_CHANGE_H_
