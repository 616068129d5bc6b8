#include "post/runtime_error.h"

namespace drayline {

int ReportRuntimeError(std::ostream& out, IoResult code,
                       std::string_view step) {
  if (code == io::kOk) code = io::kReadPastEnd;
  out << "Runtime error " << code << " while " << step << "." << std::endl;
  return code;
}

}  // namespace drayline
