#include "draybase/output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "draybase/commands.h"

namespace draybase {

CheckedOutput::CheckedOutput() : previous_(std::cout.rdbuf(this)) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

CheckedOutput::~CheckedOutput() {
  Drain();
  std::cout.rdbuf(previous_);
}

CheckedOutput::int_type CheckedOutput::overflow(int_type ch) {
  if (!Drain()) return traits_type::eof();
  if (!traits_type::eq_int_type(ch, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(ch);
    pbump(1);
  }
  return traits_type::not_eof(ch);
}

std::streamsize CheckedOutput::xsputn(const char* s, std::streamsize n) {
  if (n <= epptr() - pptr()) {
    std::copy(s, s + n, pptr());
    pbump(static_cast<int>(n));
    return n;
  }
  return Drain() && Put(s, static_cast<size_t>(n)) ? n : 0;
}

int CheckedOutput::sync() { return Drain() ? 0 : -1; }

bool CheckedOutput::Drain() {
  const size_t pending = static_cast<size_t>(pptr() - pbase());
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return Put(buffer_.data(), pending);
}

bool CheckedOutput::Put(const char* bytes, size_t size) {
  if (error_ != 0) return false;
  // Flushed at once: a failure is only known, with its errno, when stdio
  // hands the bytes to the system.
  errno = 0;
  if (std::fwrite(bytes, 1, size, stdout) != size || std::fflush(stdout) != 0) {
    error_ = errno != 0 ? errno : EIO;
  }
  return error_ == 0;
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
  std::cout.write(data_.get(), static_cast<std::streamsize>(size_));
  size_ = 0;
}

int CheckedOutput::Finish(int status) {
  std::cout.flush();
  if (Drain()) return status;
  if (error_ != EPIPE) {
    std::cerr << "draybase: write error: " << std::strerror(error_) << "\n";
  }
  return kExitFailed;
}

}  // namespace draybase
