// The command line of draybase's base commands: positional arguments,
// --json and --width W, and the numbers they carry.

#ifndef DRAYBASE_ARGUMENTS_H_
#define DRAYBASE_ARGUMENTS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "draybase/commands.h"

namespace draybase {

// A command's arguments: the positional ones, --json, and --width W where
// the command takes it.
struct Arguments {
  std::vector<std::string> positional;
  bool json = false;
  std::optional<std::string> width;
};

// Fills *out from args. False (after a line on standard error naming
// command) for an unknown option, a --width without its value, or a number
// of positional arguments outside min..max.
bool ParseArguments(std::string_view command, CommandArgs args, size_t min, size_t max,
                    bool takes_width, Arguments* out);

// The value of a whole decimal number that fits in 32 bits (an optional
// '-', digits, nothing else); empty for any other text.
std::optional<int32_t> ParseNumber(std::string_view text);

}  // namespace draybase

#endif  // DRAYBASE_ARGUMENTS_H_
