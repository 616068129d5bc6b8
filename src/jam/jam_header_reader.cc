#include "jam/jam_header_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "msgbase/read_again.h"

namespace drayline::jam {

namespace {

// A header that starts within this many bytes after the end of the last
// one read is the next step of a walk and fills the whole window; farther
// apart, a window's worth would serve too few headers to pay for itself.
constexpr uint64_t kWalkGap = kHeaderWindowSize / 8;
// What a header read alone takes: the usual header is whole in it.
constexpr size_t kLoneRead = 1024;
static_assert(kLoneRead >= kFixedHeaderSize && kLoneRead <= kHeaderWindowSize);
// The first bytes of every message header.
constexpr uint8_t kHeaderSignature[] = {'J', 'A', 'M', 0};


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

JamHeaderReader::JamHeaderReader()
    : window_(kHeaderWindowSize, kWalkGap, kHeaderWalkWindowSize) {}

Status JamHeaderReader::Load(File* file, uint32_t offset, int64_t record,
                             JamHeader* header) {
  if (base_ == nullptr) return LoadOnce(file, offset, record, header);
  return ReadAgainUnderLock(base_->env(), file, base_->lock_held(), [&](bool fresh) {
    // Under the lock the header comes from the file, not the window.
    if (fresh) window_.Drop();
    return LoadOnce(file, offset, record, header);
  });
}

Status JamHeaderReader::LoadOnce(File* file, uint32_t offset, int64_t record,
                                 JamHeader* header) {
  // Made once: a walk loads a header per message.
  static const ReadWindow::RecordLength kLength = HeaderLength;
  std::span<const uint8_t> bytes;
  const IoResult code = file == nullptr
                            ? io::kNotOpen
                            : window_.ReadRecord(*file, offset, kLoneRead, kLength, &bytes);
  const auto which = [record] { return "index record " + std::to_string(record); };
  if (code == io::kOk) {
    if (std::memcmp(bytes.data() + kMhSignature, kHeaderSignature, sizeof kHeaderSignature) != 0) {
      header->ClearFixed();
      return Status::Damaged("the header of " + which() + " does not carry the signature");
    }
    std::copy(bytes.begin(), bytes.end(), header->bytes().begin());
    header->SetLoaded(offset, bytes.size());
    return Status::Ok();
  }
  header->ClearFixed();
  if (code == io::kReadPastEnd) {
    // A header without its whole fixed part is not loaded: its fields
    // would be partly another message's (or nobody's).
    return Status::Damaged(window_.Peek(offset, kFixedHeaderSize).empty()
                               ? which() + " points past the end of the header file"
                               : "the header of " + which() +
                                     " is cut short by the end of the header file");
  }
  return Status::FromIo(code, "reading the header of " + which());
}

}  // namespace drayline::jam
