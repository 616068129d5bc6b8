#include "drayline/status.h"

namespace drayline {

namespace {

// The kind of failure each I/O result stands for.
StatusCode CodeOf(IoResult io_result) {
  switch (io_result) {
    case io::kOk:
      return StatusCode::kOk;
    case io::kFileNotFound:
    case io::kPathNotFound:
    case io::kNoSuchFile:
      return StatusCode::kNotFound;
    case io::kTooManyOpenFiles:
      return StatusCode::kTooManyOpenFiles;
    case io::kAccessDenied:
      return StatusCode::kPermissionDenied;
    case io::kLockViolation:
      return StatusCode::kLocked;
    case io::kReadPastEnd:
      return StatusCode::kShortRead;
    case io::kDiskWriteError:
      return StatusCode::kWriteFailed;
    case io::kInvalidHandle:
    case io::kNotAssigned:
    case io::kNotOpen:
    case io::kNotOpenForInput:
    case io::kNotOpenForOutput:
      return StatusCode::kNotOpen;
    case io::kNoZeroBlock:
      return StatusCode::kNoMemory;
    default:
      return StatusCode::kIoError;
  }
}

Status Make(StatusCode code, IoResult io_result, std::string_view detail) {
  std::string text(StatusCodeText(code));
  if (code == StatusCode::kIoError) text += " " + std::to_string(io_result);
  if (!detail.empty()) {
    text += ": ";
    text += detail;
  }
  return Status(code, io_result, std::move(text));
}

}  // namespace

std::string_view StatusCodeText(StatusCode code) {
  switch (code) {
    case StatusCode::kOk:
      return "";
    case StatusCode::kNotFound:
      return "file not found";
    case StatusCode::kPermissionDenied:
      return "permission denied";
    case StatusCode::kLocked:
      return "the base is locked by another program";
    case StatusCode::kDamaged:
      return "damaged";
    case StatusCode::kShortRead:
      return "a record could not be read whole";
    case StatusCode::kWriteFailed:
      return "write failed";
    case StatusCode::kTooManyOpenFiles:
      return "too many open files";
    case StatusCode::kNotOpen:
      return "the base is not open";
    case StatusCode::kNoSuchMessage:
      return "no such message";
    case StatusCode::kInvalidArgument:
      return "invalid argument";
    case StatusCode::kNoMemory:
      return "out of memory";
    case StatusCode::kIoError:
      return "I/O error";
  }
  return "unknown failure";
}

Status Status::FromIo(IoResult io_result, std::string_view what) {
  if (io_result == io::kOk) return Status();
  return Make(CodeOf(io_result), io_result, what);
}

Status Status::Damaged(std::string_view detail) {
  return Make(StatusCode::kDamaged, io::kReadPastEnd, detail);
}

Status Status::Locked(std::string_view detail) {
  return Make(StatusCode::kLocked, io::kAccessDenied, detail);
}

Status Status::NoSuchMessage(std::string_view detail) {
  return Make(StatusCode::kNoSuchMessage, io::kReadPastEnd, detail);
}

Status Status::InvalidArgument(std::string_view detail) {
  return Make(StatusCode::kInvalidArgument, io::kReadPastEnd, detail);
}

Status Status::WithContext(std::string_view context) const {
  if (ok() || context.empty()) return *this;
  return Status(code_, io_result_, std::string(context) + ": " + text_);
}

}  // namespace drayline
