#include "post/info_request.h"

#include "drayline/version.h"

namespace drayline {

bool AnswerInfoRequest(std::span<const std::string> args, CommandOutput& out) {
  if (args.size() != 1) return false;
  if (args[0] == "--help") {
    out << kUsageLine << kEndLine;
  } else if (args[0] == "--version") {
    out << "drayline " << kVersion << kEndLine;
  } else {
    return false;
  }
  return true;
}

}  // namespace drayline
