// Maintenance of a message base: packing (removing deleted messages and
// reclaiming their space), purging old or surplus messages, and rebuilding
// reply links.
//
//   drayline::PackOptions options;
//   drayline::MaintenanceReport r = drayline::PackBase("msgs/general", options);
//   if (!r.status.ok()) std::cerr << r.base << ": " << r.status.text() << "\n";
//   else std::cout << r.removed << " removed, " << r.bytes_reclaimed << " bytes\n";
//
// Every change is made under the lock on byte 0 of the base's header file
// (".jhr" or ".sqd"), in steps that each hold it for about a second at
// most and leave a sound base behind, so that programs that take the lock
// and read the base afresh under it may go on posting and reading while a
// run goes on; nothing they store is lost. Files are changed in place,
// never replaced. Programs that keep file offsets from before they took
// the lock, or that take no lock at all, must be stopped first.
//
// A run refuses a base that CheckBase (check.h) does not find sound, and
// one whose disk lacks the room the run needs; it changes nothing then.
// The room a run needs is its largest step's journal (a pack or purge
// writes no new bytes: the files only shrink): the journal keeps the old
// bytes of every range a step overwrites, and a step moves at most a few
// MiB and rewrites the small records that follow them. The estimate is
// four times a step's bytes plus the last-read file (rewritten in one
// step) and 64 KiB for the journal's own records, but never more than the
// base's files hold, plus the same 64 KiB.

#ifndef DRAYLINE_MAINTENANCE_H_
#define DRAYLINE_MAINTENANCE_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "drayline/change_options.h"
#include "drayline/message_base.h"
#include "drayline/status.h"

namespace drayline {

// Called now and then with the work done and the work to do (same unit,
// done <= total), for a progress display.
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

struct MaintenanceReport {
  std::string base;                  // the path as given
  std::optional<BaseFormat> format;  // empty when no base was recognised
  int64_t kept = 0;                  // messages the base holds afterwards
  int64_t removed = 0;               // messages whose space was reclaimed
  int64_t purged = 0;                // messages a purge deleted (in removed)
  int64_t renumbered = 0;            // messages whose number changed
  int64_t relinked = 0;              // headers whose reply links changed
  int64_t links_left_out = 0;        // Squish replies past the nine kept
  uint64_t bytes_reclaimed = 0;      // bytes the files became shorter
  uint64_t room_needed = 0;          // free bytes on the disk the run needs
  std::string note;                  // why a run left the base alone, if it did
  // Ok, or why the run failed or refused. After a failure the base is
  // sound and holds every message it held: the steps done stand.
  Status status;
};

struct PackOptions {
  // JAM: number the kept messages 1, 2, ... from BaseMsgNum, rewriting
  // each header's number, the last-read records and the reply links.
  // Squish numbers (Uids) never change; the option does nothing there.
  bool renumber = false;
  // Work out and report what would be done; change nothing.
  bool dry_run = false;
  ProgressFn progress;
  // How each step's change is flushed and who is told of it.
  ChangeOptions change;
};

// Removes the deleted messages of the base at path (without extension).
//   JAM: the headers and texts of deleted messages leave the ".jhr" and
//   ".jdt", and the kept ones move down, their TxtOffset and index records
//   following; deleted index records stay, as unused records (all bits
//   set), so every message keeps its number (unless renumber).
//   Squish: message frames move down over the free ones, the free chain
//   ends empty and the ".sqd" is cut; Uids never change.
// Last-read pointers that named a removed message name the nearest
// earlier message that remains (0 when none). A reply link to a removed
// message becomes 0, and a JAM ReplyNext chain skips removed messages.
// Every kept message reads back as before, but for its number (renumber),
// its TxtOffset, its links and its frame fields.
MaintenanceReport PackBase(std::string_view path, const PackOptions& options);

struct PurgeOptions {
  // Delete messages stored more than this many days before now (JAM
  // DateProcessed, Squish DateArrived); 0 or empty: no age limit.
  std::optional<uint32_t> max_age_days;
  // Delete the oldest messages beyond this many; 0 or empty: no limit.
  std::optional<uint32_t> max_msgs;
  // Keep every message whose received attribute is clear.
  bool keep_unreceived = false;
  // When neither limit is given, a Squish base's own MaxMessages and
  // KeepDays serve (when true); a JAM base then has nothing to purge.
  bool use_base_limits = true;
  bool dry_run = false;
  ProgressFn progress;
  ChangeOptions change;  // for the deletions and the pack
};

// Deletes the messages the limits select, then packs (without
// renumbering). A Squish base's ProtectedCount oldest messages are never
// purged. "Now" is the local clock.
MaintenanceReport PurgeBase(std::string_view path, const PurgeOptions& options);

struct LinkOptions {
  bool dry_run = false;
  ProgressFn progress;
  ChangeOptions change;
};

// Rebuilds the reply links of every message from its MSGID and REPLY
// (JAM subfields 4 and 5; Squish control lines "\x01MSGID: " and
// "\x01REPLY: "): a message whose REPLY equals another's MSGID replies to
// it; a message without REPLY replies to the nearest earlier message with
// the same subject (leading "Re: " of any case removed, repeatedly, and
// compared without case), if any. JAM gets ReplyTo, Reply1st and a
// ReplyNext chain in number order; Squish gets ReplyTo and the first nine
// replies in Replies (the rest are counted in links_left_out). Only the
// headers whose links change are written (relinked).
MaintenanceReport LinkBase(std::string_view path, const LinkOptions& options);

}  // namespace drayline

#endif  // DRAYLINE_MAINTENANCE_H_
