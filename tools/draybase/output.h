// Standard output and standard error, as draybase writes them: through the
// C library's streams, not the C++ stream library, whose set-up at start
// would cost a short run (a mail check, a listing) more than its own work.
// Standard output is checked, so that a write that fails (a full disk, a
// closed file) is noticed and said, instead of a listing that silently
// ends short with exit status 0.

#ifndef DRAYBASE_OUTPUT_H_
#define DRAYBASE_OUTPUT_H_

#include <charconv>
#include <concepts>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace draybase {

// Text written to one of the process's C streams, with << for texts,
// characters and integers. The first failed write is kept; later writes
// are dropped and answer false.
class TextOut final {
 public:
  explicit TextOut(std::FILE* file) : file_(file) {}
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;

  // Writes size bytes; false once a write has failed.
  bool Write(const char* bytes, size_t size);
  // Hands what the C stream holds to the system; false once a write failed.
  bool Flush();
  // errno of the first failed write; 0 while none failed.
  int error() const { return error_; }

  TextOut& operator<<(std::string_view s) {
    Write(s.data(), s.size());
    return *this;
  }
  TextOut& operator<<(const char* s) { return *this << std::string_view(s); }
  TextOut& operator<<(const std::string& s) { return *this << std::string_view(s); }
  TextOut& operator<<(char c) { return *this << std::string_view(&c, 1); }
  template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>)
  TextOut& operator<<(T n) {
    char digits[24];
    const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, n);
    return *this << std::string_view(digits, static_cast<size_t>(r.ptr - digits));
  }

 private:
  std::FILE* file_;
  int error_ = 0;
};

// The process's standard output (buffered in blocks) and standard error
// (unbuffered), made on first use.
TextOut& Out();
TextOut& Err();

// Writes what standard output still holds and answers the run's exit
// status: status when everything reached standard output; else
// kExitFailed, after "draybase: write error: REASON" on standard error
// unless the reader went away (a broken pipe, which ends the run quietly).
int FinishOutput(int status);

// A long output made piece by piece (a listing) collects in a buffer and
// goes to standard output in blocks of about kBlock bytes, so that memory
// stays the same however long the output grows. What is not flushed when
// the object goes is dropped: a command that fails part way shows no more.
class BlockOutput {
 public:
  static constexpr size_t kBlock = size_t{1} << 16;
  BlockOutput();
  ~BlockOutput() = default;
  BlockOutput(const BlockOutput&) = delete;
  BlockOutput& operator=(const BlockOutput&) = delete;

  // Room for n bytes after those held, to be written by the caller (they
  // are not cleared first); valid until the next call. Commit(end) then
  // keeps the bytes written, up to end.
  char* Room(size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return data_.get() + size_;
  }
  void Commit(const char* end) { size_ = static_cast<size_t>(end - data_.get()); }
  void Append(std::string_view s) {
    char* p = Room(s.size());
    std::memcpy(p, s.data(), s.size());
    Commit(p + s.size());
  }
  // Hands the buffer on once it holds a block.
  void Step() {
    if (size_ >= kBlock) Flush();
  }
  void Flush();

 private:
  void Grow(size_t n);

  std::unique_ptr<char[]> data_;
  size_t size_ = 0, capacity_ = 0;
};

}  // namespace draybase

#endif  // DRAYBASE_OUTPUT_H_
