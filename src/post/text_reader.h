// Reading a plain text file line by line, through the file layer.
//
// A line ends at a line feed, a carriage return, or a carriage return
// followed by a line feed; the line end is not part of the line. At most
// 255 characters of a line are kept; the rest up to the line end is
// skipped. A last line without a line end is a line like any other.
//
// The file is read in large blocks (never a system call per line or per
// character), positionally from offset 0 for a named file, and from its own
// position for standard input, which may be a pipe or a terminal.

#ifndef DRAYLINE_POST_TEXT_READER_H_
#define DRAYLINE_POST_TEXT_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "support/env.h"

namespace drayline {

class TextLineReader {
 public:
  static constexpr size_t kDefaultBlockSize = 64 * 1024;
  static constexpr size_t kMaxLineChars = 255;

  // Opens name for reading; an empty name stands for standard input. A
  // named file is read once right away, so that a name that opens but
  // cannot be read (a directory) fails here rather than halfway through.
  // *reader is set only on success.
  static IoResult Open(Env* env, const std::string& name,
                       std::unique_ptr<TextLineReader>* reader,
                       size_t block_size = kDefaultBlockSize);

  // sequential: read from the file's own position (standard input, pipes)
  // rather than positionally from offset 0.
  TextLineReader(std::unique_ptr<File> file, bool sequential,
                 size_t block_size = kDefaultBlockSize);
  TextLineReader(const TextLineReader&) = delete;
  TextLineReader& operator=(const TextLineReader&) = delete;

  // *at_end: no character is left. May read the next block.
  IoResult AtEnd(bool* at_end);
  // The next line into *line (empty at the end of the file).
  IoResult ReadLine(std::string* line);
  // Closes the file; the reader may not be used afterwards.
  IoResult Close();

 private:
  // Reads the next block when the current one is used up.
  IoResult FillIfEmpty();
  // After a line that ended in CR: a LF right behind it belongs to the same
  // line end. Kept pending so that a CR at the end of a block (or of what a
  // terminal has sent so far) never makes us wait for more input.
  IoResult SkipPendingLineFeed();

  std::unique_ptr<File> file_;
  const bool sequential_;
  const size_t block_size_;
  std::unique_ptr<uint8_t[]> block_;
  size_t pos_ = 0;          // next unread byte of block_
  size_t len_ = 0;          // bytes held in block_
  uint64_t offset_ = 0;     // file offset of the next block (positional)
  bool eof_ = false;        // the file has no bytes beyond block_
  bool pending_lf_ = false;
};

}  // namespace drayline

#endif  // DRAYLINE_POST_TEXT_READER_H_
