#include "draybase/base_access.h"

#include "draybase/output.h"

#include "draybase/commands.h"
#include "draybase/signal_hold.h"

namespace draybase {

namespace {

using drayline::BaseFormat;

// Whether the library recognises a base of format at path.
bool BaseOfFormatAt(BaseFormat format, const std::string& path) {
  const std::unique_ptr<drayline::MessageBase> base = drayline::NewMessageBase(format);
  if (base == nullptr) return false;
  base->SetPath(path);
  return base->BaseExists();
}

}  // namespace

std::unique_ptr<drayline::Base> OpenBase(const std::string& path, int* exit_status) {
  drayline::Status status;
  std::unique_ptr<drayline::Base> base = drayline::Base::Open(path, &status);
  if (base != nullptr) {
    // draybase has always shown the dates a format stores as numbers
    // month first.
    base->Raw().SetDateStyle(drayline::DateStyle::kMonthDayYear);
    base->Raw().SetChangeOptions(ProcessChangeOptions());
    // Opening rolls back a change cut short when it can; a journal still
    // there is one that waits for a program that may take the lock.
    if (drayline::ChangeJournalPending(path)) {
      Err() << "draybase: " << path << ": a change was cut short and waits to be rolled"
                << " back (the next change or draybase repair does it)\n";
    }
    *exit_status = kExitOk;
    return base;
  }
  // The status does not tell a path that names no base from a base whose
  // files do not open (both may be "file not found"), so ask each format.
  const bool jam = BaseOfFormatAt(BaseFormat::kJam, path);
  const bool squish = BaseOfFormatAt(BaseFormat::kSquish, path);
  // The words draybase has always used for a path that is no single base.
  if (jam && squish) {
    Err() << "draybase: " << path << " is both a JAM base (.jhr) and a Squish base (.sqd)\n";
  } else if (!jam && !squish) {
    Err() << "draybase: " << path << " is not a message base (no " << path << ".jhr or "
              << path << ".sqd)\n";
  } else {
    Err() << "draybase: cannot open the message base " << path << ": " << status.text()
              << "\n";
    *exit_status = kExitFailed;
    return nullptr;
  }
  *exit_status = kExitUsage;
  return nullptr;
}

bool SeekMessage(drayline::MessageBase& base, const std::string& path, int32_t num,
                 int* exit_status) {
  *exit_status = kExitFailed;
  base.SeekFirst(num);
  if (!ReadSucceeded(base, path)) return false;
  if (base.SeekFound()) {
    base.ReadHeader();
    if (!ReadSucceeded(base, path)) return false;
    if (base.GetMsgNum() == num) return true;
  }
  Err() << "draybase: " << path << ": no such message: number " << num << "\n";
  *exit_status = kExitUsage;
  return false;
}

bool ReadSucceeded(drayline::MessageBase& base, const std::string& path) {
  const drayline::Status s = base.LastStatus();
  if (s.ok()) return true;
  // A record cut short by the end of its file is damage too once the
  // library has looked again under the lock.
  if (s.code() == drayline::StatusCode::kDamaged ||
      s.code() == drayline::StatusCode::kShortRead) {
    Err() << "draybase: the message base " << path << " is damaged (" << s.text()
              << "); draybase check " << path << " tells more\n";
  } else {
    Err() << "draybase: cannot read the message base " << path << ": " << s.text() << "\n";
  }
  return false;
}

}  // namespace draybase
