// The posting command: one run of `drayline BASE# FROM TO SUBJ TEXTFILE`,
// from the board's root directory.
//
// The run prints the banner, reads the board's system record and the chosen
// message-base record, opens the text file, opens (or creates) the base and
// stores one message made of the text file's first 200 lines, each cut to
// 78 characters. Everything goes to standard output; the result is the
// process's exit status:
//
//   0    the message was stored ("Posting message ... DONE"), or the run
//        was refused with one line (wrong directory, usage, missing base
//        definitions, bad base number, netmail base, unreadable text file,
//        base that neither opens nor can be created);
//   1    the base could not store the message ("Posting message ... FAILED"
//        and "Message base error N.");
//   N    runtime error N of one of the command's own file steps;
//   69   the base's format has no implementation in this build (or its
//        object could not be constructed);
//   78   the base record names a format that does not exist.
//
// The command never writes the board's records; everything it changes on
// disk is changed by the message base, which it owns for the run.
//
// This header uses only the public headers; post/posting_run.h runs the
// command on a chosen file layer and base factory (for tests).

#ifndef DRAYLINE_POST_POSTING_COMMAND_H_
#define DRAYLINE_POST_POSTING_COMMAND_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "drayline/change_options.h"

namespace drayline {

constexpr int kExitOk = 0;
constexpr int kExitStoreFailed = 1;
constexpr int kExitFormatUnavailable = 69;
constexpr int kExitUnknownFormat = 78;

constexpr int kMaxTextLines = 200;
constexpr size_t kMaxLineLength = 78;

// s with every "_" replaced by a space.
std::string UnderscoresToSpaces(std::string_view s);

// Told how far a run has come, so that a program ending on a signal can
// end the progress line truthfully. The run also gives it to the base as
// the observer of its changes (ChangeOptions::observer).
class PostingProgress : public ChangeObserver {
 public:
  // "Posting message ... " is shown; nothing is stored yet.
  virtual void LineShown() = 0;
  // Its ending ("DONE", "FAILED" or a runtime error) is about to be
  // printed, and then has been.
  virtual void LineClosing() = 0;
  virtual void LineClosed() = 0;
};

// One run on the process's file system. args are the command-line
// arguments after the program name. Relative names are taken from the
// current directory. progress, when given, must outlive the run.
int RunPostingCommand(std::span<const std::string> args,
                      PostingProgress* progress = nullptr);

}  // namespace drayline

#endif  // DRAYLINE_POST_POSTING_COMMAND_H_
