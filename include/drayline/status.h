// Status: the result of a step that can fail, with a code for programs and
// words for people.
//
//   drayline::Status s = base->LastStatus();
//   if (!s.ok()) std::cerr << s.text() << "\n";   // "permission denied"
//
// One StatusCode per kind of failure. Each status also carries the board's
// numeric I/O result (io_result.h) that the failing step gave, because
// WriteMessage and the posting command's "Message base error N." report
// that number; two kinds may share a number (a damaged base and a record
// that cannot be read whole are both 100) but never a code.

#ifndef DRAYLINE_STATUS_H_
#define DRAYLINE_STATUS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "drayline/io_result.h"

namespace drayline {

enum class StatusCode : uint8_t {
  kOk = 0,
  kNotFound,          // a file or directory that does not exist
  kPermissionDenied,  // the system refused access
  kLocked,            // the base is locked by another program
  kDamaged,           // the files break the format's rules
  kShortRead,         // a record could not be read whole
  kWriteFailed,       // a write failed or was short (a full disk, a limit)
  kTooManyOpenFiles,
  kNotOpen,           // the base (or a file of it) is not open
  kNoSuchMessage,     // no message at the cursor or with that number
  kInvalidArgument,   // the caller asked for something impossible
  kNoMemory,
  kIoError,           // any other failure of the file layer
};

class Status {
 public:
  Status() = default;  // success
  Status(StatusCode code, IoResult io_result, std::string text)
      : code_(code), io_result_(io_result), text_(std::move(text)) {}

  static Status Ok() { return Status(); }
  // The status of a failed file step: the code and words that belong to
  // io_result, then ": " and what (for instance "writing general.jhr")
  // when given. An io_result of 0 gives success.
  static Status FromIo(IoResult io_result, std::string_view what = {});
  // The kinds below carry the number the base has always reported for
  // them, and words of the form "<kind's words>: <detail>".
  // "damaged: " + detail; io_result 100.
  static Status Damaged(std::string_view detail);
  // io_result 5, what WriteMessage answers when it cannot take the lock.
  static Status Locked(std::string_view detail = {});
  // io_result 100, as for a record that is not there.
  static Status NoSuchMessage(std::string_view detail = {});
  // io_result 100: a failure is never 0.
  static Status InvalidArgument(std::string_view detail);

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  // The board's numeric result: 0 on success.
  IoResult io_result() const { return io_result_; }
  // What failed, in words ("" on success).
  const std::string& text() const { return text_; }

  // The same status with context put before its words
  // ("cannot write the journal: " + text).
  Status WithContext(std::string_view context) const;

 private:
  StatusCode code_ = StatusCode::kOk;
  IoResult io_result_ = io::kOk;
  std::string text_;
};

// The words of a code alone: "permission denied", "the base is locked by
// another program", ...
std::string_view StatusCodeText(StatusCode code);

}  // namespace drayline

#endif  // DRAYLINE_STATUS_H_
