// Packing, purging and relinking a Squish base in place, in steps under the
// lock (see drayline/maintenance.h for what each leaves behind).
//
// Packing slides the message frames down over the free ones: the first
// free frame in file order becomes the gap, and each step moves the frames
// that follow it down by the gap's length, turning what is left behind into
// one free frame again (merging the free frames it meets), so that every
// step ends with every byte in a frame and both chains whole. When the gap
// reaches EndFrame it leaves the free chain and the file is cut.
// Each step reads the control record, the index and every frame it moves
// afresh under the lock: frames that other programs stored or freed in
// between are taken as they are now.

#ifndef DRAYLINE_SQUISH_SQUISH_PACK_H_
#define DRAYLINE_SQUISH_SQUISH_PACK_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include <memory>

#include "drayline/maintenance.h"
#include "msgbase/maintenance_internal.h"
#include "squish/squish_change.h"
#include "squish/squish_files.h"
#include "squish/squish_frames.h"
#include "squish/squish_index.h"
#include "support/change.h"
#include "support/env.h"

namespace drayline::squish {

// An open base and the step under way: Begin takes the lock and reads the
// control record and the index afresh; Commit writes the index and the
// control record (in that order) and commits.
class SquishSession {
 public:
  explicit SquishSession(Env* env) : files_(env), frames_(files_) {}
  // Opens the base; every later step's change is made with change.
  Status Open(std::string_view path, const ChangeOptions& change = {});
  Status Begin();
  Status Commit();
  // Gives up the step (undoing it) and the lock.
  void Abandon() { change_.reset(); }

  SquishFiles& files() { return files_; }
  SquishIndex& index() { return index_; }
  FrameStore& frames() { return frames_; }
  Change& change() { return *change_; }
  SquishBaseHeader& base() { return files_.control().fields; }
  int32_t count() const { return files_.control().fields.MessageCount; }
  uint16_t frame_header_size() const { return files_.control().frame_header_size; }
  // Entry k (1..count()).
  SquishIndexEntry& Entry(int64_t k) { return *index_.MutableAt(k, count()); }
  // The parts SquishChange works on (free frames are never reused here).
  BaseParts Parts() { return BaseParts{files_, index_, frames_, free_}; }

 private:
  SquishFiles files_;
  SquishIndex index_;
  FrameStore frames_;
  FreeTable free_;
  std::unique_ptr<Change> change_;
};

// removed: the Uids a purge deleted before the pack (a last-read pointer
// naming one moves to the nearest earlier message).
Status PackSquish(Env* env, std::string_view path, const PackOptions& options,
                  const StepLimits& limits, const std::vector<uint32_t>& removed,
                  MaintenanceReport* report);

// The limits a base keeps in its control record.
struct SquishLimits {
  uint32_t max_messages = 0;
  uint32_t keep_days = 0;
  uint32_t protected_count = 0;
};

// Every message oldest first, as a purge selects from them (the stored
// date is DateArrived), and the base's own limits.
Status ListSquishForPurge(Env* env, std::string_view path, std::vector<PurgeCandidate>* out,
                          SquishLimits* limits);
// Deletes the messages with these Uids, in steps; *deleted counts them.
Status DeleteSquishMessages(Env* env, std::string_view path, const std::vector<uint32_t>& uids,
                            const StepLimits& limits, const ChangeOptions& change,
                            int64_t* deleted);

// LinkBase of a Squish base (squish_links.cc).
Status LinkSquish(Env* env, std::string_view path, const LinkOptions& options,
                  const StepLimits& limits, MaintenanceReport* report);

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_PACK_H_
