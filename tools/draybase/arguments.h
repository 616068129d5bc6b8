// The command line of draybase's base commands: positional arguments,
// --json, --width W and --charset NAME, and the numbers they carry.

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

// The options a command takes beside --json, as bits.
enum OptionBits : unsigned {
  kTakesWidth = 1,    // --width W
  kTakesCharset = 2,  // --charset NAME
};

// A command's arguments: the positional ones, --json, and the valued
// options the command takes.
struct Arguments {
  std::vector<std::string> positional;
  bool json = false;
  std::optional<std::string> width;
  std::optional<std::string> charset;
};

// Fills *out from args. A valued option is given as "--width 40" or
// "--width=40"; "--" ends the options, and every argument after it is
// positional even when it starts with '-'. False (after a line on standard
// error naming command) for an unknown option, an option without its
// value, or a number of positional arguments outside min..max.
bool ParseArguments(std::string_view command, CommandArgs args, size_t min, size_t max,
                    unsigned options, Arguments* out);

// The value of a whole decimal number that fits in 32 bits (an optional
// '-', digits, nothing else); empty for any other text.
std::optional<int32_t> ParseNumber(std::string_view text);

}  // namespace draybase

#endif  // DRAYBASE_ARGUMENTS_H_
