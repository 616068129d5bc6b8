#include "squish/squish_format.h"

#include <algorithm>

#include "support/coding.h"

namespace drayline::squish {

namespace {

void EncodeAddress(const NetAddress& addr, uint8_t* dst) {
  EncodeFixed16(dst, addr.zone);
  EncodeFixed16(dst + 2, addr.net);
  EncodeFixed16(dst + 4, addr.node);
  EncodeFixed16(dst + 6, addr.point);
}

NetAddress DecodeAddress(const uint8_t* src) {
  return NetAddress{DecodeFixed16(src), DecodeFixed16(src + 2),
                    DecodeFixed16(src + 4), DecodeFixed16(src + 6)};
}

template <size_t N>
void CopyOut(const std::array<uint8_t, N>& field, uint8_t* dst) {
  std::copy(field.begin(), field.end(), dst);
}

template <size_t N>
void CopyIn(const uint8_t* src, std::array<uint8_t, N>* field) {
  std::copy_n(src, N, field->begin());
}

}  // namespace

void EncodeBaseHeader(const SquishBaseHeader& h, uint8_t* dst) {
  EncodeFixed16(dst + kBhHeaderLength, h.HeaderLength);
  EncodeFixed16(dst + kBhReserved, h.Reserved);
  EncodeFixed32Signed(dst + kBhMessageCount, h.MessageCount);
  EncodeFixed32Signed(dst + kBhHighMessage, h.HighMessage);
  EncodeFixed32Signed(dst + kBhProtectedCount, h.ProtectedCount);
  EncodeFixed32Signed(dst + kBhHighWater, h.HighWater);
  EncodeFixed32Signed(dst + kBhNextUid, h.NextUid);
  CopyOut(h.BaseName, dst + kBhBaseName);
  EncodeFixed32Signed(dst + kBhFirstFrame, h.FirstFrame);
  EncodeFixed32Signed(dst + kBhLastFrame, h.LastFrame);
  EncodeFixed32Signed(dst + kBhFirstFreeFrame, h.FirstFreeFrame);
  EncodeFixed32Signed(dst + kBhLastFreeFrame, h.LastFreeFrame);
  EncodeFixed32Signed(dst + kBhEndFrame, h.EndFrame);
  EncodeFixed32Signed(dst + kBhMaxMessages, h.MaxMessages);
  EncodeFixed16(dst + kBhKeepDays, h.KeepDays);
  EncodeFixed16(dst + kBhFrameHeaderSize, h.FrameHeaderSize);
}

SquishBaseHeader DecodeBaseHeader(const uint8_t* src) {
  SquishBaseHeader h;
  h.HeaderLength = DecodeFixed16(src + kBhHeaderLength);
  h.Reserved = DecodeFixed16(src + kBhReserved);
  h.MessageCount = DecodeFixed32Signed(src + kBhMessageCount);
  h.HighMessage = DecodeFixed32Signed(src + kBhHighMessage);
  h.ProtectedCount = DecodeFixed32Signed(src + kBhProtectedCount);
  h.HighWater = DecodeFixed32Signed(src + kBhHighWater);
  h.NextUid = DecodeFixed32Signed(src + kBhNextUid);
  CopyIn(src + kBhBaseName, &h.BaseName);
  h.FirstFrame = DecodeFixed32Signed(src + kBhFirstFrame);
  h.LastFrame = DecodeFixed32Signed(src + kBhLastFrame);
  h.FirstFreeFrame = DecodeFixed32Signed(src + kBhFirstFreeFrame);
  h.LastFreeFrame = DecodeFixed32Signed(src + kBhLastFreeFrame);
  h.EndFrame = DecodeFixed32Signed(src + kBhEndFrame);
  h.MaxMessages = DecodeFixed32Signed(src + kBhMaxMessages);
  h.KeepDays = DecodeFixed16(src + kBhKeepDays);
  h.FrameHeaderSize = DecodeFixed16(src + kBhFrameHeaderSize);
  return h;
}

void EncodeFrameHeader(const SquishFrameHeader& h, uint8_t* dst) {
  EncodeFixed32(dst + kFhFrameId, h.FrameId);
  EncodeFixed32Signed(dst + kFhNextFrame, h.NextFrame);
  EncodeFixed32Signed(dst + kFhPrevFrame, h.PrevFrame);
  EncodeFixed32Signed(dst + kFhFrameLength, h.FrameLength);
  EncodeFixed32Signed(dst + kFhMessageLength, h.MessageLength);
  EncodeFixed32Signed(dst + kFhControlLength, h.ControlLength);
  EncodeFixed16(dst + kFhFrameType, h.FrameType);
  EncodeFixed16(dst + kFhReserved, h.Reserved);
}

SquishFrameHeader DecodeFrameHeader(const uint8_t* src) {
  SquishFrameHeader h;
  h.FrameId = DecodeFixed32(src + kFhFrameId);
  h.NextFrame = DecodeFixed32Signed(src + kFhNextFrame);
  h.PrevFrame = DecodeFixed32Signed(src + kFhPrevFrame);
  h.FrameLength = DecodeFixed32Signed(src + kFhFrameLength);
  h.MessageLength = DecodeFixed32Signed(src + kFhMessageLength);
  h.ControlLength = DecodeFixed32Signed(src + kFhControlLength);
  h.FrameType = DecodeFixed16(src + kFhFrameType);
  h.Reserved = DecodeFixed16(src + kFhReserved);
  return h;
}

void EncodeMessageHeader(const SquishMessageHeader& h, uint8_t* dst) {
  EncodeFixed32(dst + kMhAttributes, h.Attributes);
  CopyOut(h.FromName, dst + kMhFromName);
  CopyOut(h.ToName, dst + kMhToName);
  CopyOut(h.Subject, dst + kMhSubject);
  EncodeAddress(h.OrigAddress, dst + kMhOrigAddress);
  EncodeAddress(h.DestAddress, dst + kMhDestAddress);
  EncodeFixed32(dst + kMhDateWritten, h.DateWritten);
  EncodeFixed32(dst + kMhDateArrived, h.DateArrived);
  EncodeFixed16(dst + kMhUtcOffset, h.UtcOffset);
  EncodeFixed32Signed(dst + kMhReplyTo, h.ReplyTo);
  for (size_t i = 0; i < kReplyCount; ++i) {
    EncodeFixed32Signed(dst + kMhReplies + 4 * i, h.Replies[i]);
  }
  EncodeFixed32Signed(dst + kMhMessageUid, h.MessageUid);
  CopyOut(h.FtscDate, dst + kMhFtscDate);
}

SquishMessageHeader DecodeMessageHeader(const uint8_t* src) {
  SquishMessageHeader h;
  h.Attributes = DecodeFixed32(src + kMhAttributes);
  CopyIn(src + kMhFromName, &h.FromName);
  CopyIn(src + kMhToName, &h.ToName);
  CopyIn(src + kMhSubject, &h.Subject);
  h.OrigAddress = DecodeAddress(src + kMhOrigAddress);
  h.DestAddress = DecodeAddress(src + kMhDestAddress);
  h.DateWritten = DecodeFixed32(src + kMhDateWritten);
  h.DateArrived = DecodeFixed32(src + kMhDateArrived);
  h.UtcOffset = DecodeFixed16(src + kMhUtcOffset);
  h.ReplyTo = DecodeFixed32Signed(src + kMhReplyTo);
  for (size_t i = 0; i < kReplyCount; ++i) {
    h.Replies[i] = DecodeFixed32Signed(src + kMhReplies + 4 * i);
  }
  h.MessageUid = DecodeFixed32Signed(src + kMhMessageUid);
  CopyIn(src + kMhFtscDate, &h.FtscDate);
  return h;
}

void EncodeIndexEntry(const SquishIndexEntry& e, uint8_t* dst) {
  EncodeFixed32Signed(dst, e.FrameOffset);
  EncodeFixed32Signed(dst + 4, e.Uid);
  EncodeFixed32(dst + 8, e.NameHash);
}

SquishIndexEntry DecodeIndexEntry(const uint8_t* src) {
  return SquishIndexEntry{DecodeFixed32Signed(src),
                          DecodeFixed32Signed(src + 4), DecodeFixed32(src + 8)};
}

uint32_t SwapPackedHalves(uint32_t packed) {
  return (packed >> 16) | (packed << 16);
}

uint32_t NameHash(std::string_view name) {
  uint32_t h = 0;
  for (char ch : name) {
    uint32_t c = static_cast<uint8_t>(ch);
    if (c >= 'A' && c <= 'Z') c += 32;
    h = (h << 4) + c;
    uint32_t g = h & 0xF0000000u;
    if (g != 0) h |= (g >> 24) | g;
  }
  return h & 0x7FFFFFFFu;
}

}  // namespace drayline::squish
