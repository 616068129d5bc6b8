#include "draybase/arguments.h"

#include <charconv>
#include "draybase/output.h"

namespace draybase {

namespace {

// The option named by arg ("--width" or "--width=40") when command takes
// it: its slot in *out, and its value when written after '='.
std::optional<std::string>* ValuedOption(std::string_view arg, unsigned options,
                                         Arguments* out, std::optional<std::string>* inline_value) {
  const size_t equals = arg.find('=');
  const std::string_view name = arg.substr(0, equals);
  if (equals != std::string_view::npos) *inline_value = std::string(arg.substr(equals + 1));
  if ((options & kTakesWidth) && name == "--width") return &out->width;
  if ((options & kTakesCharset) && name == "--charset") return &out->charset;
  return nullptr;
}

}  // namespace

bool ParseArguments(std::string_view command, CommandArgs args, size_t min, size_t max,
                    unsigned options, Arguments* out) {
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::optional<std::string> value;
    std::optional<std::string>* slot = nullptr;
    if (options_ended || !arg.starts_with("--")) {
      out->positional.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg == "--json") {
      out->json = true;
    } else if ((slot = ValuedOption(arg, options, out, &value)) != nullptr) {
      if (!value && i + 1 == args.size()) {
        Err() << "draybase " << command << ": " << arg << " needs a value\n";
        return false;
      }
      *slot = value ? *value : args[++i];
    } else {
      Err() << "draybase " << command << ": unknown option " << arg << "\n";
      return false;
    }
  }
  if (out->positional.size() < min || out->positional.size() > max) {
    Err() << "draybase " << command << ": wrong number of arguments"
              << " (draybase " << command << " --help shows them)\n";
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
