#include "post/runtime_error.h"

#include <string>

namespace drayline {

int ReportRuntimeError(CommandOutput& out, IoResult code,
                       std::string_view step) {
  if (code == io::kOk) code = io::kReadPastEnd;
  out << "Runtime error " << std::to_string(code) << " while " << step << "."
      << kEndLine;
  return code;
}

}  // namespace drayline
