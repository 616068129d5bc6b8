#include "post/text_reader.h"

#include <algorithm>
#include <span>

#include "support/file_access.h"

namespace drayline {

IoResult TextLineReader::Open(Env* env, const std::string& name,
                              std::unique_ptr<TextLineReader>* reader,
                              size_t block_size) {
  if (env == nullptr) env = Env::Default();
  if (name.empty()) {
    *reader = std::make_unique<TextLineReader>(env->StandardInput(),
                                               /*sequential=*/true, block_size);
    return io::kOk;
  }
  std::unique_ptr<File> file;
  if (IoResult code = RetryOpen(env, name, OpenMode::kReadOnly, &file)) {
    return code;
  }
  auto opened = std::make_unique<TextLineReader>(std::move(file),
                                                 /*sequential=*/false,
                                                 block_size);
  bool at_end = false;
  if (IoResult code = opened->AtEnd(&at_end)) return code;
  *reader = std::move(opened);
  return io::kOk;
}

TextLineReader::TextLineReader(std::unique_ptr<File> file, bool sequential,
                               size_t block_size)
    : file_(std::move(file)),
      sequential_(sequential),
      block_size_(std::max<size_t>(block_size, 1)),
      block_(new uint8_t[block_size_]) {}

IoResult TextLineReader::FillIfEmpty() {
  if (pos_ < len_ || eof_) return io::kOk;
  pos_ = len_ = 0;
  std::span<uint8_t> buf(block_.get(), block_size_);
  size_t done = 0;
  if (sequential_) {
    if (IoResult code = file_->ReadSequential(buf, &done)) return code;
    eof_ = done == 0;
  } else {
    if (IoResult code = RetryRead(*file_, offset_, buf, &done)) return code;
    // A positional read only comes back short at the end of the file.
    eof_ = done < block_size_;
  }
  offset_ += done;
  len_ = done;
  return io::kOk;
}

IoResult TextLineReader::SkipPendingLineFeed() {
  if (!pending_lf_) return io::kOk;
  if (IoResult code = FillIfEmpty()) return code;
  pending_lf_ = false;
  if (pos_ < len_ && block_[pos_] == '\n') ++pos_;
  return io::kOk;
}

IoResult TextLineReader::AtEnd(bool* at_end) {
  if (IoResult code = SkipPendingLineFeed()) return code;
  if (IoResult code = FillIfEmpty()) return code;
  *at_end = pos_ == len_;
  return io::kOk;
}

IoResult TextLineReader::ReadLine(std::string* line) {
  line->clear();
  if (IoResult code = SkipPendingLineFeed()) return code;
  for (;;) {
    if (IoResult code = FillIfEmpty()) return code;
    if (pos_ == len_) return io::kOk;  // a last line without a line end
    const uint8_t* begin = block_.get() + pos_;
    const uint8_t* end = block_.get() + len_;
    const uint8_t* stop = std::find_if(
        begin, end, [](uint8_t c) { return c == '\r' || c == '\n'; });
    size_t room = kMaxLineChars - line->size();
    size_t take = std::min<size_t>(room, static_cast<size_t>(stop - begin));
    line->append(reinterpret_cast<const char*>(begin), take);
    if (stop == end) {
      pos_ = len_;
      continue;
    }
    pos_ = static_cast<size_t>(stop - block_.get()) + 1;
    pending_lf_ = *stop == '\r';
    return io::kOk;
  }
}

IoResult TextLineReader::Close() {
  if (file_ == nullptr) return io::kOk;
  IoResult code = file_->Close();
  file_.reset();
  return code;
}

}  // namespace drayline
