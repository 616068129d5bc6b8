#include "squish/squish_image.h"

#include <algorithm>

#include "support/coding.h"
#include "support/strings.h"
#include "test_util.h"

namespace drayline {

using namespace squish;

ImageMessage TextMessage(int32_t uid, const std::string& text,
                         const std::string& to) {
  ImageMessage m;
  m.uid = uid;
  m.to = to;
  m.body = text + std::string(1, '\0');
  return m;
}

SquishImage::SquishImage(const std::vector<ImageMessage>& messages)
    : sqd(kBaseHeaderSize, 0) {
  SquishBaseHeader base;
  base.HeaderLength = kBaseHeaderSize;
  base.FrameHeaderSize = kFrameHeaderSize;
  base.NextUid = 1;
  int32_t prev = 0;
  for (const ImageMessage& m : messages) {
    const int32_t offset = static_cast<int32_t>(sqd.size());
    const int32_t length =
        kMessageHeaderSize + static_cast<int32_t>(m.body.size());
    if (prev != 0) {
      // Link the previous frame forward to this one.
      EncodeFixed32Signed(sqd.data() + prev + kFhNextFrame, offset);
    }
    SquishFrameHeader frame;
    frame.FrameId = kFrameId;
    frame.PrevFrame = prev;
    frame.FrameLength = length;
    frame.MessageLength = length;
    frame.ControlLength = m.control_length;
    SquishMessageHeader header;
    header.Attributes = m.attributes;
    StrToCStr(m.from, kNameLimit, header.FromName);
    StrToCStr(m.to, kNameLimit, header.ToName);
    StrToCStr(m.subject, kSubjectLimit, header.Subject);
    header.DateWritten = m.date_written;
    sqd.resize(sqd.size() + kFrameHeaderSize + kMessageHeaderSize);
    EncodeFrameHeader(frame, sqd.data() + offset);
    EncodeMessageHeader(header, sqd.data() + offset + kFrameHeaderSize);
    sqd.insert(sqd.end(), m.body.begin(), m.body.end());
    SquishIndexEntry entry{offset, m.uid, NameHash(m.to)};
    sqi.resize(sqi.size() + kIndexEntrySize);
    EncodeIndexEntry(entry, sqi.data() + sqi.size() - kIndexEntrySize);
    frame_offsets.push_back(offset);
    if (base.FirstFrame == 0) base.FirstFrame = offset;
    base.LastFrame = offset;
    base.NextUid = std::max(base.NextUid, m.uid + 1);
    prev = offset;
  }
  base.MessageCount = base.HighMessage = static_cast<int32_t>(messages.size());
  base.EndFrame = static_cast<int32_t>(sqd.size());
  EncodeBaseHeader(base, sqd.data());
}

void SquishImage::Save(const std::string& path) const {
  WriteFileBytes(path + ".sqd", sqd);
  WriteFileBytes(path + ".sqi", sqi);
  WriteFileBytes(path + ".sql", {});
}

}  // namespace drayline
