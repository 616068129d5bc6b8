#include "squish/squish_reader.h"

#include <array>
#include <string>

#include "msgbase/read_again.h"
#include "support/coding.h"
#include "support/file_access.h"

namespace drayline::squish {

namespace {

// Read-ahead window of the data file: two dozen average messages. A read
// further than this from the last one (a search's next match) is no walk.
constexpr size_t kReadWindowSize = 32768;

}  // namespace

FrameReader::FrameReader(SquishFiles& files)
    : files_(files), window_(kReadWindowSize, kReadWindowSize) {}

IoResult FrameReader::ReadData(uint64_t offset, bool locked,
                               std::span<uint8_t> buf, size_t* done) {
  *done = 0;
  File* data = files_.data();
  if (data == nullptr) return io::kNotOpen;
  if (locked) return window_.ReadThrough(*data, offset, buf, done);
  return window_.Read(*data, offset, buf, done);
}

Status FrameReader::ShortRead(int64_t offset) const {
  return Status(StatusCode::kShortRead, io::kReadPastEnd,
                files_.Name(kDataExt) + " ends inside the frame at offset " +
                    std::to_string(offset));
}

Status FrameReader::LoadHeaders(int64_t offset, bool locked,
                                SquishFrameHeader* frame_out,
                                SquishMessageHeader* message_out) {
  return ReadAgainUnderLock(files_.env(), files_.data(), locked, [&](bool under_lock) {
    return LoadHeadersOnce(offset, under_lock, frame_out, message_out);
  });
}

Status FrameReader::ReadBody(int64_t offset, bool locked,
                             std::span<uint8_t> out, size_t* done) {
  return ReadAgainUnderLock(files_.env(), files_.data(), locked, [&](bool under_lock) {
    return ReadBodyOnce(offset, under_lock, out, done);
  });
}

Status FrameReader::LoadHeadersOnce(int64_t offset, bool locked,
                                    SquishFrameHeader* frame_out,
                                    SquishMessageHeader* message_out) {
  const ControlRecord& control = files_.control();
  if (files_.data() == nullptr) {
    return Status(StatusCode::kNotOpen, io::kNotOpen,
                  files_.Name(kDataExt) + " is not open");
  }
  if (offset < control.length) {
    return Status::Damaged("index entry points at offset " +
                           std::to_string(offset) + ", inside the control record");
  }
  // Frame header and message header together; a frame-header size larger
  // than ours leaves bytes between them that are not used.
  std::array<uint8_t, kFrameHeaderSize + kMessageHeaderSize> bytes{};
  const uint64_t at = static_cast<uint64_t>(offset);
  std::span<uint8_t> frame = std::span(bytes).first(kFrameHeaderSize);
  std::span<uint8_t> message = std::span(bytes).subspan(kFrameHeaderSize);
  size_t got = 0;
  IoResult code;
  if (control.frame_header_size == kFrameHeaderSize) {
    code = ReadData(at, locked, bytes, &got);
  } else {
    code = ReadData(at, locked, frame, &got);
    if (code == io::kOk && got == frame.size()) {
      code = ReadData(at + control.frame_header_size, locked, message, &got);
      got += frame.size();
    }
  }
  // The words are made only for a failure: a list loads every header.
  auto where = [offset] { return "the frame at offset " + std::to_string(offset); };
  if (code != io::kOk) return Status::FromIo(code, "reading " + where());
  if (got == 0) {
    return Status::Damaged(where() + " lies past the end of " + files_.Name(kDataExt));
  }
  if (got != bytes.size()) return ShortRead(offset);
  if (DecodeFixed32(bytes.data() + kFhFrameId) != kFrameId) {
    return Status::Damaged(where() + " of " + files_.Name(kDataExt) +
                           " carries no frame id");
  }
  *frame_out = DecodeFrameHeader(frame.data());
  *message_out = DecodeMessageHeader(message.data());
  return Status::Ok();
}

Status FrameReader::ReadBodyOnce(int64_t offset, bool locked,
                                 std::span<uint8_t> out, size_t* done) {
  const ControlRecord& control = files_.control();
  const uint64_t at = static_cast<uint64_t>(offset) +
                      control.frame_header_size + kMessageHeaderSize;
  IoResult code = ReadData(at, locked, out, done);
  if (code != io::kOk) {
    return Status::FromIo(code, "reading the text of the frame at offset " +
                                    std::to_string(offset));
  }
  if (*done < out.size()) return ShortRead(offset);
  return Status::Ok();
}

}  // namespace drayline::squish
