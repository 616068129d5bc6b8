// The parts of pack, purge and link that both formats share, and the
// entry points with the file layer and the step size given, for tests and
// the benchmark.
//
// The formats' own code (jam/jam_pack.h, squish/squish_pack.h) works out
// what to change; the rules below decide it the same way for both:
//   - KeptNumbers: where a last-read pointer or a reply link goes once
//     messages are removed (and, for JAM, renumbered);
//   - SelectPurged: which messages a purge deletes;
//   - ThreadReplies: which message each one replies to, by MSGID/REPLY or
//     by subject.

#ifndef DRAYLINE_MSGBASE_MAINTENANCE_INTERNAL_H_
#define DRAYLINE_MSGBASE_MAINTENANCE_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/maintenance.h"
#include "drayline/transfer.h"
#include "support/env.h"

namespace drayline {

// How much one step under the lock may do. The defaults keep a step well
// under a second on a common disk; tests make them tiny to cut a run into
// many steps.
struct StepLimits {
  uint64_t bytes = 1u << 20;  // bytes moved or rewritten per step
  uint32_t items = 50000;     // messages or records handled per step
  // Whether a run first checks the base (a benchmark of the moves alone
  // turns it off).
  bool check_first = true;
};

MaintenanceReport PackBase(Env* env, std::string_view path, const PackOptions& options,
                           const StepLimits& limits = {});
MaintenanceReport PurgeBase(Env* env, std::string_view path, const PurgeOptions& options,
                            const StepLimits& limits = {});
MaintenanceReport LinkBase(Env* env, std::string_view path, const LinkOptions& options,
                           const StepLimits& limits = {});

// ---- Room on the disk ----

// What every estimate of room adds for the journal's own records (its
// header, a record per range, the names of the files).
inline constexpr uint64_t kJournalSlack = uint64_t{64} << 10;

// The room a pack, purge or link of the base at path (format given) needs
// on its disk: four times a step's bytes plus the last-read file, at most
// the size of the base's files, plus kJournalSlack (see maintenance.h).
uint64_t MaintenanceRoom(Env* env, std::string_view path, BaseFormat format,
                         const StepLimits& limits);

// Ok when the disk that holds the base at path (without extension; the
// directory of the path) has at least bytes free. Otherwise a kWriteFailed
// status that says how much is needed and how much is free; nothing was
// changed. A disk the file layer cannot ask about counts as having room:
// the writes themselves still fail safely under the journal.
Status CheckRoom(Env* env, std::string_view path, uint64_t bytes);

// MessageSink::Open (transfer.h) with the file layer given.
std::unique_ptr<MessageSink> OpenMessageSink(Env* env, std::string_view path, BaseFormat format,
                                             const BaseSettings& settings,
                                             const SinkOptions& options, Status* status);

// The numbers of the messages a run keeps (ascending) and where they end:
// with renumber, kept[i] becomes first_new + i; without, each keeps its
// own. Numbers between first_old and last_old that are not kept are
// removed (JAM: every number of the index; Squish: the Uids a purge
// deleted, given as `removed`).
class KeptNumbers {
 public:
  KeptNumbers(std::vector<uint32_t> kept, std::vector<uint32_t> removed, bool renumber,
              uint32_t first_new)
      : kept_(std::move(kept)), removed_(std::move(removed)), renumber_(renumber),
        first_new_(first_new) {}
  // The kept numbers as bits, one a number from first on (number first + i
  // is kept when bit i % 64 of bits[i / 64] is set): an eighth of a byte a
  // number, for the dense numbers of a JAM index.
  KeptNumbers(uint32_t first, std::vector<uint64_t> bits, bool renumber, uint32_t first_new);
  // For JAM: every number in [lo, hi] that is not kept counts as removed.
  void RemoveRange(uint32_t lo, uint32_t hi) { range_lo_ = lo, range_hi_ = hi, range_ = true; }
  void set_renumber(bool on) { renumber_ = on; }

  bool Kept(uint32_t number) const;
  bool Removed(uint32_t number) const;
  // The new number of a kept message (itself without renumber).
  uint32_t New(uint32_t kept_number) const;
  // A last-read pointer: a kept number maps to its new number; a removed
  // one to the nearest earlier kept message's (0 when none); any other
  // stays, but above the last kept message it maps to the new last one
  // when renumbering.
  uint32_t Pointer(uint32_t number) const;
  // A reply link: a kept number maps to its new number, a removed one to
  // 0, any other stays.
  uint32_t Link(uint32_t number) const;
  size_t kept_count() const { return bits_.empty() ? kept_.size() : count_; }
  // The kept messages whose number New changes.
  int64_t Renumbered() const;

 private:
  // How many kept numbers are below number.
  size_t Rank(uint32_t number) const;
  // The kept number of rank i (i < kept_count()).
  uint32_t Select(size_t i) const;

  std::vector<uint32_t> kept_;   // the list, unless bits_ holds them
  std::vector<uint64_t> bits_;   // the bits, from bits_first_ on
  std::vector<uint32_t> ranks_;  // kept numbers before each word of bits_
  uint32_t bits_first_ = 0;
  size_t count_ = 0;               // kept numbers in bits_
  std::vector<uint32_t> removed_;  // sorted
  bool renumber_;
  uint32_t first_new_;
  bool range_ = false;
  uint32_t range_lo_ = 0, range_hi_ = 0;
};

// One message as a purge sees it.
struct PurgeCandidate {
  uint32_t number = 0;
  int64_t stored_day = 0;  // days since 1970-01-01 of its stored date
  bool received = false;
};

// The numbers a purge deletes from candidates (oldest first): those stored
// more than max_age days before today, then the oldest beyond max_msgs of
// the rest; never the first `protected_count` candidates, nor (with
// keep_unreceived) one not received. A limit of 0 is none.
std::vector<uint32_t> SelectPurged(const std::vector<PurgeCandidate>& candidates,
                                   int64_t today, uint32_t max_age, uint32_t max_msgs,
                                   bool keep_unreceived, size_t protected_count);
// Days since 1970-01-01 of a local date (0 for an impossible one).
int64_t DayNumber(uint16_t year, uint16_t month, uint16_t day);

// One message as threading sees it, in number order: hashes of its MSGID
// and REPLY texts (0: none) and of its subject without "Re: " prefixes,
// folded to lower case.
struct ThreadKey {
  uint32_t number = 0;
  uint64_t msgid = 0;
  uint64_t reply = 0;
  uint64_t subject = 0;
};

// The hash ThreadKey keeps of a MSGID or REPLY text (0 for an empty one).
uint64_t IdHash(std::string_view text);
// The hash of a subject with every leading "Re: " (any case) removed,
// compared without case.
uint64_t SubjectHash(std::string_view subject);

// For each message (same order), the number it replies to, 0 for none: the
// message whose MSGID its REPLY equals (the earliest such one; never
// itself); without a REPLY, the nearest earlier message of equal subject.
std::vector<uint32_t> ThreadReplies(const std::vector<ThreadKey>& keys);

// The MSGID or REPLY value of a message's control information: the text
// after "\x01MSGID: " (or "\x01REPLY: ") up to the next byte 1, CR, LF or
// NUL; empty when there is none.
std::string ControlValue(std::string_view control, std::string_view kind);

}  // namespace drayline

#endif  // DRAYLINE_MSGBASE_MAINTENANCE_INTERNAL_H_
