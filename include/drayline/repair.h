// Repairing a message base: bringing a damaged base back to one that keeps
// every structural rule of its format, keeping every message whose header
// and text can still be read.
//
//   drayline::RepairReport r = drayline::RepairBase("msgs/general", {});
//   for (const std::string& line : r.dropped) std::cout << line << "\n";
//   return r.status.ok() ? 0 : 1;
//
// A base that CheckBase (check.h) finds sound is left untouched: no byte
// changes and no backup is made. Otherwise the base's files are first
// copied, byte for byte, into a new directory NAME-backup-YYYYMMDDhhmmss
// beside the base (NAME: the base's file name; the time is the local
// clock's), unless options.backup is false. The repair is then made under
// the base's lock as one all-or-nothing change: it either completes or the
// files are left as they were.
//
// JAM: the index is rebuilt from the message headers found in the header
// file; a header the index points at keeps its number, one that no record
// points at takes the number it carries, and where several headers carry
// one number the one the index points at wins, else the one furthest into
// the file. Headers whose text lies outside the text file, or overlaps the
// text of a kept one, are dropped. ActiveMsgs is counted afresh and
// ModCounter moves on. Squish: the frames are read in file order; the
// message chain, the free chain, the index and the control record's
// counts are rebuilt from them. A message whose index entry is sound keeps
// its Uid, the others get new Uids above the highest; frames that cannot be
// read become free frames, and the data file is cut where nothing more can
// be read. Last-read files lose a trailing partial record; a JAM user with
// several records keeps the one GetLastRead answers from.

#ifndef DRAYLINE_REPAIR_H_
#define DRAYLINE_REPAIR_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "drayline/change_options.h"
#include "drayline/message_base.h"
#include "drayline/status.h"

namespace drayline {

struct RepairOptions {
  // Copy the base's files into a backup directory before changing them.
  bool backup = true;
  // How the repair's change is made (flushing, observer).
  ChangeOptions change;
};

struct RepairReport {
  std::string base;                  // the path as given
  std::optional<BaseFormat> format;  // empty when no base was recognised
  std::string backup_dir;            // the backup's path; empty when none
  // One line per message: where it is and, for dropped and renumbered
  // ones, why. kept lists every message the base holds afterwards.
  std::vector<std::string> kept;
  std::vector<std::string> dropped;
  std::vector<std::string> renumbered;
  // Repairs that concern no single message (counters, chains, last-read
  // records), one line each.
  std::vector<std::string> fixed;
  bool was_sound = false;  // found sound before anything was done
  bool changed = false;    // a byte of the base changed
  // Ok when the base is sound afterwards. Otherwise why not: kNotFound or
  // kInvalidArgument as CheckBase gives them, the failure of a file step
  // (the base is then as it was), kDamaged when the base is still not
  // sound after the repair, kLocked when its lock could not be had.
  Status status;
};

// Repairs the base at path (without extension); its format is the one
// whose header file exists (".jhr" JAM, ".sqd" Squish).
RepairReport RepairBase(std::string_view path, const RepairOptions& options = {});

}  // namespace drayline

#endif  // DRAYLINE_REPAIR_H_
