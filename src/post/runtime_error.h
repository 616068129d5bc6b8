// Runtime errors of the posting command's own file steps.
//
// A step that fails where the command has no refusal of its own (a short
// "tarvik.dat", a base record that cannot be read whole, a text file that
// stops being readable) ends the run: the command prints one line beginning
// "Runtime error " and the I/O result number, and the process exits with
// that number. Nothing is written to the message base after it.
//
// This only reports; the caller returns the status up to main, which is
// what ends the process (library code never exits).

#ifndef DRAYLINE_POST_RUNTIME_ERROR_H_
#define DRAYLINE_POST_RUNTIME_ERROR_H_

#include <string_view>

#include "drayline/io_result.h"
#include "post/command_output.h"

namespace drayline {

// Prints "Runtime error N while <step>." on out and returns the exit status
// for it: code, or kReadPastEnd should a caller pass 0 (a failure is never
// reported as success).
int ReportRuntimeError(CommandOutput& out, IoResult code, std::string_view step);

}  // namespace drayline

#endif  // DRAYLINE_POST_RUNTIME_ERROR_H_
