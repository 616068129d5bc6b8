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

// Puts the cursor on message num and loads its header. False (after a
// line on standard error) when no message has that number, with
// *exit_status kExitUsage, or when the read failed (ReadSucceeded), with
// kExitFailed.
bool SeekMessage(drayline::MessageBase& base, const std::string& path, int32_t num,
                 int* exit_status);

// Whether the base's last step succeeded. When it failed, says so on
// standard error (for damage: that the base at path is damaged and that
// `draybase check` tells more) and answers false: a command then ends with
// kExitFailed instead of showing what was not read.
bool ReadSucceeded(drayline::MessageBase& base, const std::string& path);

}  // namespace draybase

#endif  // DRAYBASE_BASE_ACCESS_H_
