// The posting command's output: text is gathered and handed to standard
// output (through the file layer) at the points where a reader must see it,
// so that a run makes few writes and its program needs no stream library.
//
//   out << "Posting message ... " << kFlush;   // shown before the store
//   out << "DONE" << kEndLine;                 // "\n", then written

#ifndef DRAYLINE_POST_COMMAND_OUTPUT_H_
#define DRAYLINE_POST_COMMAND_OUTPUT_H_

#include <string>
#include <string_view>

#include "support/env.h"

namespace drayline {

struct OutputFlush {};
struct OutputEndLine {};
inline constexpr OutputFlush kFlush;
inline constexpr OutputEndLine kEndLine;

class CommandOutput {
 public:
  // Writes to env's standard output; env must outlive this.
  explicit CommandOutput(Env* env) : env_(env) {}
  CommandOutput(const CommandOutput&) = delete;
  CommandOutput& operator=(const CommandOutput&) = delete;
  // Whatever is still gathered is written.
  ~CommandOutput() { Flush(); }

  // Gathers text; nothing is written before the next flush.
  CommandOutput& operator<<(std::string_view text) {
    if (ok_) pending_.append(text);
    return *this;
  }
  CommandOutput& operator<<(OutputFlush) {
    Flush();
    return *this;
  }
  CommandOutput& operator<<(OutputEndLine) { return *this << "\n" << kFlush; }

  // Writes what was gathered, in one write. Once a write has failed, every
  // later text is dropped and ok() stays false.
  void Flush();
  bool ok() const { return ok_; }

 private:
  Env* const env_;
  std::string pending_;
  bool ok_ = true;
};

}  // namespace drayline

#endif  // DRAYLINE_POST_COMMAND_OUTPUT_H_
