// Opening a base for a draybase command and finding a message in it, with
// the command's words on standard error when either fails.

#ifndef DRAYBASE_BASE_ACCESS_H_
#define DRAYBASE_BASE_ACCESS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "drayline/message.h"
#include "drayline/message_base.h"

namespace draybase {

// Opens the base at path (without extension) in the format the library
// recognises from its files. On failure prints why on standard error, sets
// *exit_status (kExitUsage when path names no base or a base of each
// format, kExitFailed when the base does not open) and returns nullptr.
std::unique_ptr<drayline::Base> OpenBase(const std::string& path, int* exit_status);

// Puts the cursor on message num and loads its header; false (after a line
// on standard error) when no message has that number.
bool SeekMessage(drayline::MessageBase& base, const std::string& path, int32_t num);

}  // namespace draybase

#endif  // DRAYBASE_BASE_ACCESS_H_
