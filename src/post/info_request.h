// The two questions the posting command answers instead of posting: what
// its arguments are (--help) and which version it is (--version).

#ifndef DRAYLINE_POST_INFO_REQUEST_H_
#define DRAYLINE_POST_INFO_REQUEST_H_

#include <span>
#include <string>
#include <string_view>

#include "post/command_output.h"

namespace drayline {

// The line that names the arguments: the refusal of a run with the wrong
// number of them, and the answer to --help.
inline constexpr std::string_view kUsageLine =
    "Usage: DRAYLINE.EXE  [base #]  [from]  [to]  [subj]  [text file name]";

// When args are "--help" or "--version" and nothing else, prints the usage
// line or "drayline VERSION" on out and answers true. Any other argument
// list (a post, or one of these among others) answers false, printing
// nothing.
bool AnswerInfoRequest(std::span<const std::string> args, CommandOutput& out);

}  // namespace drayline

#endif  // DRAYLINE_POST_INFO_REQUEST_H_
