#include "post/info_request.h"

#include "drayline/version.h"

namespace drayline {

bool AnswerInfoRequest(std::span<const std::string> args, std::ostream& out) {
  if (args.size() != 1) return false;
  if (args[0] == "--help") {
    out << kUsageLine << std::endl;
  } else if (args[0] == "--version") {
    out << "drayline " << kVersion << std::endl;
  } else {
    return false;
  }
  return true;
}

}  // namespace drayline
