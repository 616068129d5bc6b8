#include "draybase/output.h"

#include <algorithm>
#include <cerrno>

#include "draybase/commands.h"

namespace draybase {

bool TextOut::Write(const char* bytes, size_t size) {
  if (error_ != 0) return false;
  errno = 0;
  if (std::fwrite(bytes, 1, size, file_) != size) error_ = errno != 0 ? errno : EIO;
  return error_ == 0;
}

bool TextOut::Flush() {
  if (error_ != 0) return false;
  // A failure is only known, with its errno, when the C stream hands the
  // bytes to the system.
  errno = 0;
  if (std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
  return error_ == 0;
}

TextOut& Out() {
  // Blocks of 64 KiB, on a terminal too: a listing goes out in few writes.
  static TextOut out((std::setvbuf(stdout, nullptr, _IOFBF, size_t{1} << 16), stdout));
  return out;
}

TextOut& Err() {
  static TextOut err(stderr);
  return err;
}

int FinishOutput(int status) {
  if (Out().Flush()) return status;
  if (Out().error() != EPIPE) Err() << "draybase: write error: " << std::strerror(Out().error()) << "\n";
  return kExitFailed;
}

BlockOutput::BlockOutput() : data_(new char[kBlock + 4096]), capacity_(kBlock + 4096) {}

void BlockOutput::Grow(size_t n) {
  // Only a row longer than the slack above a block (texts of thousands
  // of bytes) comes here.
  const size_t capacity = std::max(2 * capacity_, size_ + n);
  std::unique_ptr<char[]> data(new char[capacity]);
  std::memcpy(data.get(), data_.get(), size_);
  data_ = std::move(data);
  capacity_ = capacity;
}

void BlockOutput::Flush() {
  Out().Write(data_.get(), size_);
  size_ = 0;
}

}  // namespace draybase
