#include "jam/jam_header_reader.h"

#include <algorithm>
#include <string>

namespace drayline::jam {

namespace {

// A header that starts within this many bytes after the end of the last
// one read is the next step of a walk and fills the whole window; farther
// apart, a window's worth would serve too few headers to pay for itself.
constexpr uint64_t kWalkGap = kHeaderWindowSize / 8;
// What a header read alone takes: the usual header is whole in it.
constexpr size_t kLoneRead = 1024;
static_assert(kLoneRead >= kFixedHeaderSize && kLoneRead <= kHeaderWindowSize);


// A header's whole length from the bytes held at its start: the fixed
// part and SubfieldLen bytes, at most a header buffer; 0 (too few to tell)
// without the whole fixed part.
size_t HeaderLength(std::span<const uint8_t> held) {
  if (held.size() < kFixedHeaderSize) return 0;
  return static_cast<size_t>(std::min<uint64_t>(
      kFixedHeaderSize + uint64_t{DecodeFixed32(held.data() + kMhSubfieldLen)},
      kHeaderBufferSize));
}

}  // namespace

JamHeaderReader::JamHeaderReader() : window_(kHeaderWindowSize, kWalkGap) {}

Status JamHeaderReader::Load(File* file, uint32_t offset, int64_t record,
                             JamHeader* header) {
  // Made once: a walk loads a header per message.
  static const ReadWindow::RecordLength kLength = HeaderLength;
  std::span<const uint8_t> bytes;
  const IoResult code = file == nullptr
                            ? io::kNotOpen
                            : window_.ReadRecord(*file, offset, kLoneRead, kLength, &bytes);
  if (code == io::kOk) {
    std::copy(bytes.begin(), bytes.end(), header->bytes().begin());
    header->SetLoaded(offset, bytes.size());
    return Status::Ok();
  }
  header->ClearFixed();
  const std::string which = "index record " + std::to_string(record);
  if (code == io::kReadPastEnd) {
    // A header without its whole fixed part is not loaded: its fields
    // would be partly another message's (or nobody's).
    return Status::Damaged(window_.Peek(offset, kFixedHeaderSize).empty()
                               ? which + " points past the end of the header file"
                               : "the header of " + which +
                                     " is cut short by the end of the header file");
  }
  return Status::FromIo(code, "reading the header of " + which);
}

}  // namespace drayline::jam
