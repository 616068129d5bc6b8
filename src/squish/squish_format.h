// The Squish files, byte for byte: sizes, offsets, ids and bits, and the
// codecs of the fixed-size records. Shared with the board's other programs.
//
// A base is a data file (".sqd": control record, then frames), an index file
// (".sqi": one 12-byte entry per message, oldest first) and a last-read file
// (".sql"). All integers are little-endian; 32-bit fields are signed, 16-bit
// fields unsigned. The decoders take buffers whose size the caller has
// checked (at least the record's size); they never read past it.

#ifndef DRAYLINE_SQUISH_SQUISH_FORMAT_H_
#define DRAYLINE_SQUISH_SQUISH_FORMAT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "drayline/message_base.h"

namespace drayline::squish {

// File extensions.
inline constexpr std::string_view kDataExt = ".sqd";
inline constexpr std::string_view kIndexExt = ".sqi";
inline constexpr std::string_view kLastReadExt = ".sql";

// Control record, at offset 0 of the data file. It is 256 bytes as created;
// a HeaderLength up to 356 is accepted, and one below 132 cannot hold the
// fields in use. A HeaderLength of 0 in a file means 256.
constexpr uint16_t kBaseHeaderSize = 256;
constexpr size_t kHeaderAreaSize = 356;
constexpr uint16_t kMinHeaderLength = 132;
constexpr size_t kBhHeaderLength = 0;
constexpr size_t kBhReserved = 2;
constexpr size_t kBhMessageCount = 4;
constexpr size_t kBhHighMessage = 8;
constexpr size_t kBhProtectedCount = 12;
constexpr size_t kBhHighWater = 16;
constexpr size_t kBhNextUid = 20;
constexpr size_t kBhBaseName = 24;
constexpr size_t kBaseNameSize = 80;
constexpr size_t kBaseNameMax = 77;  // characters kept; then a NUL
constexpr size_t kBhFirstFrame = 104;
constexpr size_t kBhLastFrame = 108;
constexpr size_t kBhFirstFreeFrame = 112;
constexpr size_t kBhLastFreeFrame = 116;
constexpr size_t kBhEndFrame = 120;
constexpr size_t kBhMaxMessages = 124;
constexpr size_t kBhKeepDays = 128;
constexpr size_t kBhFrameHeaderSize = 130;

// Frame header, at the start of every frame. A control record may declare a
// larger FrameHeaderSize (0 means 28); only the first 28 bytes are used.
constexpr uint16_t kFrameHeaderSize = 28;
constexpr uint32_t kFrameId = 0xAFAE4453;
constexpr uint16_t kFrameTypeMessage = 0;
constexpr uint16_t kFrameTypeFree = 1;
constexpr size_t kFhFrameId = 0;
constexpr size_t kFhNextFrame = 4;
constexpr size_t kFhPrevFrame = 8;
constexpr size_t kFhFrameLength = 12;
constexpr size_t kFhMessageLength = 16;
constexpr size_t kFhControlLength = 20;
constexpr size_t kFhFrameType = 24;
constexpr size_t kFhReserved = 26;

// Message header, FrameHeaderSize bytes into a frame; the control
// information and the text follow it.
constexpr uint16_t kMessageHeaderSize = 238;
constexpr size_t kMhAttributes = 0;
constexpr size_t kMhFromName = 4;
constexpr size_t kMhToName = 40;
constexpr size_t kMhSubject = 76;
constexpr size_t kMhOrigAddress = 148;
constexpr size_t kMhDestAddress = 156;
constexpr size_t kMhDateWritten = 164;
constexpr size_t kMhDateArrived = 168;
constexpr size_t kMhUtcOffset = 172;
constexpr size_t kMhReplyTo = 174;
constexpr size_t kMhReplies = 178;
constexpr size_t kMhMessageUid = 214;
constexpr size_t kMhFtscDate = 218;
constexpr size_t kNameSize = 36;
constexpr size_t kNameLimit = 35;  // NUL included: 34 characters
constexpr size_t kSubjectSize = 72;
constexpr size_t kSubjectLimit = 72;  // NUL included: 71 characters
constexpr size_t kReplyCount = 9;
constexpr size_t kFtscDateSize = 20;

// Index entry.
constexpr size_t kIndexEntrySize = 12;

// Attribute bits of the message header.
constexpr uint32_t kAttrPrivate = 0x00001;
constexpr uint32_t kAttrCrash = 0x00002;
constexpr uint32_t kAttrReceived = 0x00004;
constexpr uint32_t kAttrSent = 0x00008;
constexpr uint32_t kAttrFileAttach = 0x00010;
constexpr uint32_t kAttrKillSent = 0x00080;
constexpr uint32_t kAttrLocal = 0x00100;
constexpr uint32_t kAttrHold = 0x00200;
constexpr uint32_t kAttrFileRequest = 0x00800;
constexpr uint32_t kAttrReceiptRequest = 0x01000;
constexpr uint32_t kAttrIsReceipt = 0x02000;
constexpr uint32_t kAttrConfirmRequest = 0x04000;
constexpr uint32_t kAttrNotEchoed = 0x10000;  // clear: still to be passed on

// Sizes of the object's tables.
constexpr size_t kTextBufferSize = 16000;
constexpr uint16_t kMaxIndexEntries = 5200;
constexpr uint16_t kIndexSpare = 100;
constexpr size_t kFreeTableSize = 500;

// Result codes of the format, beside the I/O results.
constexpr uint16_t kIndexSeekFailed = 300;  // index file could not be cut
constexpr uint16_t kNoIndexTable = 999;     // no table, or no room left in it
// The number of a Status::Damaged: a frame, chain or control record that
// is not what the base's own structure says it must be, so the change is
// refused rather than write there. A short read carries the same number
// with a status of its own.
constexpr uint16_t kDamagedBase = 100;

struct SquishBaseHeader {
  uint16_t HeaderLength = 0;
  uint16_t Reserved = 0;
  int32_t MessageCount = 0;
  int32_t HighMessage = 0;
  int32_t ProtectedCount = 0;
  int32_t HighWater = 0;
  int32_t NextUid = 0;
  std::array<uint8_t, kBaseNameSize> BaseName{};
  int32_t FirstFrame = 0;
  int32_t LastFrame = 0;
  int32_t FirstFreeFrame = 0;
  int32_t LastFreeFrame = 0;
  int32_t EndFrame = 0;
  int32_t MaxMessages = 0;
  uint16_t KeepDays = 0;
  uint16_t FrameHeaderSize = 0;
};

// Both work on the first kMinHeaderLength bytes; bytes after them (the
// reserved tail) are neither read nor written.
void EncodeBaseHeader(const SquishBaseHeader& header, uint8_t* dst);
SquishBaseHeader DecodeBaseHeader(const uint8_t* src);

struct SquishFrameHeader {
  uint32_t FrameId = 0;
  int32_t NextFrame = 0;
  int32_t PrevFrame = 0;
  int32_t FrameLength = 0;
  int32_t MessageLength = 0;
  int32_t ControlLength = 0;
  uint16_t FrameType = 0;
  uint16_t Reserved = 0;
  bool operator==(const SquishFrameHeader&) const = default;
};

void EncodeFrameHeader(const SquishFrameHeader& header, uint8_t* dst);
SquishFrameHeader DecodeFrameHeader(const uint8_t* src);

struct SquishMessageHeader {
  uint32_t Attributes = 0;
  std::array<uint8_t, kNameSize> FromName{};
  std::array<uint8_t, kNameSize> ToName{};
  std::array<uint8_t, kSubjectSize> Subject{};
  NetAddress OrigAddress;
  NetAddress DestAddress;
  // Packed date-times with their halves exchanged: the date half is the
  // low 16 bits (bytes 0-1 of the field), the time half the high 16 bits.
  uint32_t DateWritten = 0;
  uint32_t DateArrived = 0;
  uint16_t UtcOffset = 0;
  int32_t ReplyTo = 0;
  std::array<int32_t, kReplyCount> Replies{};
  int32_t MessageUid = 0;
  std::array<uint8_t, kFtscDateSize> FtscDate{};
};

void EncodeMessageHeader(const SquishMessageHeader& header, uint8_t* dst);
SquishMessageHeader DecodeMessageHeader(const uint8_t* src);

struct SquishIndexEntry {
  int32_t FrameOffset = 0;
  int32_t Uid = 0;
  uint32_t NameHash = 0;
  bool operator==(const SquishIndexEntry&) const = default;
};

void EncodeIndexEntry(const SquishIndexEntry& entry, uint8_t* dst);
SquishIndexEntry DecodeIndexEntry(const uint8_t* src);

// Packed date-time <-> the exchanged form of DateWritten/DateArrived.
uint32_t SwapPackedHalves(uint32_t packed);

// Hash of a recipient name kept in the index: A-Z folded to a-z, shifted in
// four bits at a time with the top nibble folded back; 31 bits.
uint32_t NameHash(std::string_view name);

}  // namespace drayline::squish

#endif  // DRAYLINE_SQUISH_SQUISH_FORMAT_H_
