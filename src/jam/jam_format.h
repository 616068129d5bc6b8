// The JAM files, byte for byte: sizes, offsets and bits, and the codecs of
// the fixed-size records. Shared with the board's other programs.

#ifndef DRAYLINE_JAM_JAM_FORMAT_H_
#define DRAYLINE_JAM_JAM_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace drayline::jam {

// File extensions.
inline constexpr std::string_view kHeaderExt = ".jhr";
inline constexpr std::string_view kTextExt = ".jdt";
inline constexpr std::string_view kIndexExt = ".jdx";
inline constexpr std::string_view kLastReadExt = ".jlr";

// Base header, at offset 0 of the header file.
constexpr size_t kBaseHeaderSize = 1024;
constexpr size_t kBhSignature = 0;
constexpr size_t kBhDateCreated = 4;
constexpr size_t kBhModCounter = 8;
constexpr size_t kBhActiveMsgs = 12;
constexpr size_t kBhPasswordCrc = 16;
constexpr size_t kBhBaseMsgNum = 20;

// Message header: a fixed part followed by SubfieldLen bytes of subfields.
constexpr size_t kFixedHeaderSize = 76;
constexpr size_t kSubfieldAreaSize = 4000;
constexpr size_t kHeaderBufferSize = kFixedHeaderSize + kSubfieldAreaSize;
constexpr size_t kMhSignature = 0;
constexpr size_t kMhRevision = 4;
constexpr size_t kMhReservedWord = 6;
constexpr size_t kMhSubfieldLen = 8;
constexpr size_t kMhTimesRead = 12;
constexpr size_t kMhMsgIdCrc = 16;
constexpr size_t kMhReplyCrc = 20;
constexpr size_t kMhReplyTo = 24;
constexpr size_t kMhReply1st = 28;
constexpr size_t kMhReplyNext = 32;
constexpr size_t kMhDateWritten = 36;
constexpr size_t kMhDateReceived = 40;
constexpr size_t kMhDateProcessed = 44;
constexpr size_t kMhMessageNumber = 48;
constexpr size_t kMhAttribute = 52;
constexpr size_t kMhAttribute2 = 56;
constexpr size_t kMhTxtOffset = 60;
constexpr size_t kMhTxtLen = 64;
constexpr size_t kMhPasswordCrc = 68;
constexpr size_t kMhCost = 72;

// Subfield record: LoID (2), HiID (2), DatLen (4), data.
constexpr size_t kSubfieldHeaderSize = 8;
constexpr uint16_t kSfOrigAddr = 0;
constexpr uint16_t kSfDestAddr = 1;
constexpr uint16_t kSfSenderName = 2;
constexpr uint16_t kSfReceiverName = 3;
constexpr uint16_t kSfSubject = 6;
constexpr uint16_t kSfAttachedFile = 9;
constexpr uint16_t kSfRequestedFile = 11;
constexpr uint16_t kSfControlLine = 2000;  // a control line without its byte 1

// Index record: UserCRC (4), HdrOffset (4).
constexpr size_t kIndexRecordSize = 8;
// Last-read record: UserCRC, UserID, LastReadMsg, HighReadMsg.
constexpr size_t kLastReadRecordSize = 16;

// Attribute bits.
constexpr uint32_t kAttrLocal = 0x00000001;
constexpr uint32_t kAttrPrivate = 0x00000004;
constexpr uint32_t kAttrReceived = 0x00000008;
constexpr uint32_t kAttrSent = 0x00000010;
constexpr uint32_t kAttrKillSent = 0x00000020;
constexpr uint32_t kAttrHold = 0x00000080;
constexpr uint32_t kAttrCrash = 0x00000100;
constexpr uint32_t kAttrFileRequest = 0x00001000;
constexpr uint32_t kAttrFileAttach = 0x00002000;
constexpr uint32_t kAttrReceiptRequest = 0x00010000;
constexpr uint32_t kAttrConfirmRequest = 0x00020000;
constexpr uint32_t kAttrTypeLocal = 0x00800000;
constexpr uint32_t kAttrTypeEcho = 0x01000000;
constexpr uint32_t kAttrTypeNet = 0x02000000;
constexpr uint32_t kAttrDeleted = 0x80000000;

constexpr uint32_t kNoCrc = 0xFFFFFFFF;

// Characters the object keeps of a message's names and texts.
constexpr size_t kFromMax = 65;
constexpr size_t kToMax = 65;
constexpr size_t kSubjectMax = 100;
constexpr size_t kDateMax = 8;
constexpr size_t kTimeMax = 5;

// Sizes of the object's fixed buffers.
constexpr size_t kTextBufferSize = 4001;  // the first 4000 bytes while composing
constexpr size_t kComposeChunk = 4000;
constexpr size_t kIndexWindowRecords = 200;
constexpr size_t kCarryOverSize = 2001;
// Read-ahead window of the header file: a couple of hundred usual headers,
// and always room for a whole HeaderBuffer.
constexpr size_t kHeaderWindowSize = 32768;
static_assert(kHeaderWindowSize >= kHeaderBufferSize);
// A long walk over the headers (a listing) doubles the window up to this.
constexpr size_t kHeaderWalkWindowSize = 256 * 1024;

struct IndexRecord {
  uint32_t UserCRC = 0;
  uint32_t HdrOffset = 0;
  // Deleted records carry a negative HdrOffset (0xFFFFFFFF when deleted
  // here); an empty recipient's UserCRC 0xFFFFFFFF alone is a live message.
  bool deleted() const { return static_cast<int32_t>(HdrOffset) < 0; }
};

void EncodeIndexRecord(const IndexRecord& record, uint8_t* dst);
IndexRecord DecodeIndexRecord(const uint8_t* src);

struct LastReadRecord {
  uint32_t UserCRC = 0;
  uint32_t UserID = 0;
  uint32_t LastReadMsg = 0;
  uint32_t HighReadMsg = 0;
};

void EncodeLastReadRecord(const LastReadRecord& record, uint8_t* dst);
LastReadRecord DecodeLastReadRecord(const uint8_t* src);

// CRC-32 of the name with A-Z folded to a-z, from 0xFFFFFFFF and without
// the final inversion. An empty name gives 0xFFFFFFFF.
uint32_t NameChecksum(std::string_view name);

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_FORMAT_H_
