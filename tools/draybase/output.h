// Standard output, checked. draybase's commands write with std::cout; a
// CheckedOutput stands in front of it for the run, so that a write that
// fails (a full disk, a closed file) is noticed and said, instead of a
// listing that silently ends short with exit status 0.

#ifndef DRAYBASE_OUTPUT_H_
#define DRAYBASE_OUTPUT_H_

#include <array>
#include <cstring>
#include <memory>
#include <streambuf>
#include <string>

namespace draybase {

// Buffers what std::cout is given and writes it to the process's standard
// output. The first failed write is kept; later output is dropped (the
// stream turns bad, so further << are cheap).
class CheckedOutput final : public std::streambuf {
 public:
  // Becomes std::cout's buffer until destroyed.
  CheckedOutput();
  ~CheckedOutput() override;
  CheckedOutput(const CheckedOutput&) = delete;
  CheckedOutput& operator=(const CheckedOutput&) = delete;

  // Writes what is buffered and answers the run's exit status: status when
  // everything reached standard output; else kExitFailed, after
  // "draybase: write error: REASON" on standard error unless the reader
  // went away (a broken pipe, which ends the run quietly).
  int Finish(int status);

 protected:
  int_type overflow(int_type ch) override;
  // A run too long for what is left of the buffer goes out with it in one
  // write instead of being copied in piece by piece.
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  // Writes the buffered bytes; false once a write has failed.
  bool Drain();
  // Writes size bytes at once; false once a write has failed.
  bool Put(const char* bytes, size_t size);

  std::array<char, 1 << 16> buffer_;
  std::streambuf* previous_;
  int error_ = 0;  // errno of the first failed write; 0 while none failed
};

// A long output made piece by piece (a listing) collects in a buffer and
// goes to std::cout in blocks of about kBlock bytes, so that memory stays
// the same however long the output grows. What is not flushed when the
// object goes is dropped: a command that fails part way shows no more.
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
