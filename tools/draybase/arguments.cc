#include "draybase/arguments.h"

#include <charconv>
#include <iostream>

namespace draybase {

bool ParseArguments(std::string_view command, CommandArgs args, size_t min, size_t max,
                    bool takes_width, Arguments* out) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      out->json = true;
    } else if (takes_width && arg == "--width") {
      if (i + 1 == args.size()) {
        std::cerr << "draybase " << command << ": --width needs a number\n";
        return false;
      }
      out->width = args[++i];
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      std::cerr << "draybase " << command << ": unknown option " << arg << "\n";
      return false;
    } else {
      out->positional.push_back(arg);
    }
  }
  if (out->positional.size() < min || out->positional.size() > max) {
    std::cerr << "draybase " << command << ": wrong number of arguments"
              << " (draybase with no arguments lists the commands)\n";
    return false;
  }
  return true;
}

std::optional<int32_t> ParseNumber(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace draybase
