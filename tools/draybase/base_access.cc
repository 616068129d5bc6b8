#include "draybase/base_access.h"

#include <iostream>

#include "draybase/commands.h"

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
    *exit_status = kExitOk;
    return base;
  }
  // The status does not tell a path that names no base from a base whose
  // files do not open (both may be "file not found"), so ask each format.
  const bool jam = BaseOfFormatAt(BaseFormat::kJam, path);
  const bool squish = BaseOfFormatAt(BaseFormat::kSquish, path);
  // The words draybase has always used for a path that is no single base.
  if (jam && squish) {
    std::cerr << "draybase: " << path << " is both a JAM base (.jhr) and a Squish base (.sqd)\n";
  } else if (!jam && !squish) {
    std::cerr << "draybase: " << path << " is not a message base (no " << path << ".jhr or "
              << path << ".sqd)\n";
  } else {
    std::cerr << "draybase: cannot open the message base " << path << "\n";
    *exit_status = kExitFailed;
    return nullptr;
  }
  *exit_status = kExitUsage;
  return nullptr;
}

bool SeekMessage(drayline::MessageBase& base, const std::string& path, int32_t num) {
  base.SeekFirst(num);
  if (base.SeekFound()) {
    base.ReadHeader();
    if (base.GetMsgNum() == num) return true;
  }
  std::cerr << "draybase: " << path << " has no message " << num << "\n";
  return false;
}

}  // namespace draybase
