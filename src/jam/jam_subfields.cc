#include "jam/jam_subfields.h"

#include <algorithm>
#include <cstring>

#include "drayline/charset.h"
#include "drayline/message.h"
#include "support/strings.h"

namespace drayline::jam {

namespace {

// An address subfield is read as at most this many characters.
constexpr size_t kAddressTextMax = 128;

}  // namespace

std::string_view SubfieldText(std::span<const uint8_t> data, size_t max) {
  const size_t n = std::min({data.size(), kShortStringMax, max});
  return std::string_view(reinterpret_cast<const char*>(data.data()), n);
}

bool SubfieldWriter::Fits(size_t length) const {
  // The area is never filled to its last byte: a record that would reach
  // its size is left out.
  return length < area_.size() && used_ < area_.size() - length;
}

bool SubfieldWriter::Add(uint16_t kind, std::string_view data) {
  if (!Fits(kSubfieldHeaderSize + data.size())) return false;
  uint8_t* at = area_.data() + used_;
  EncodeFixed16(at, kind);
  EncodeFixed16(at + 2, 0);
  EncodeFixed32(at + 4, static_cast<uint32_t>(data.size()));
  std::memcpy(at + kSubfieldHeaderSize, data.data(), data.size());
  used_ += static_cast<uint32_t>(kSubfieldHeaderSize + data.size());
  return true;
}

bool SubfieldWriter::AddRecord(std::span<const uint8_t> record) {
  if (!Fits(record.size())) return false;
  std::memcpy(area_.data() + used_, record.data(), record.size());
  used_ += static_cast<uint32_t>(record.size());
  return true;
}

void WriteComposedSubfields(const HeaderFields& fields, SubfieldWriter* out) {
  const NetAddress none;
  if (!fields.to.empty()) out->Add(kSfReceiverName, fields.to);
  if (!fields.from.empty()) out->Add(kSfSenderName, fields.from);
  if (!fields.subject.empty()) {
    const bool request = fields.Has(AttributeBit::kFileRequest);
    out->Add(request ? kSfRequestedFile : kSfSubject, fields.subject);
  }
  if (!(fields.dest == none)) out->Add(kSfDestAddr, FormatAddress(fields.dest));
  if (!(fields.orig == none)) out->Add(kSfOrigAddr, FormatAddress(fields.orig));
}

bool IsComposedKind(uint16_t kind) {
  switch (kind) {
    case kSfOrigAddr:
    case kSfDestAddr:
    case kSfSenderName:
    case kSfReceiverName:
    case kSfSubject:
    case kSfRequestedFile:
      return true;
    default:
      return false;
  }
}

void DecodeAddress(std::span<const uint8_t> data, NetAddress* addr) {
  *addr = NetAddress();
  ParseAddress(SubfieldText(data, kAddressTextMax), addr);
}

namespace {

// Walks the records of area once: the texts into *texts, each address
// record to address(kind, data).
template <typename Address>
void WalkSubfields(std::span<const uint8_t> area, uint32_t attribute, SubfieldTexts* texts,
                   Address&& address) {
  ForEachSubfield(area, [&](const Subfield& sf) {
    switch (sf.kind) {
      case kSfOrigAddr:
      case kSfDestAddr:
        address(sf.kind, sf.data);
        break;
      case kSfSenderName:
        texts->from = SubfieldText(sf.data, kFromMax);
        break;
      case kSfReceiverName:
        texts->to = SubfieldText(sf.data, kToMax);
        break;
      case kSfSubject:
        texts->subject = SubfieldText(sf.data, kSubjectMax);
        break;
      case kSfAttachedFile:
        if (attribute & kAttrFileAttach) texts->subject = SubfieldText(sf.data, kSubjectMax);
        break;
      case kSfRequestedFile:
        if (attribute & kAttrFileRequest) texts->subject = SubfieldText(sf.data, kSubjectMax);
        break;
      case kSfControlLine:
        if (texts->charset_control.empty()) {
          const std::string_view line(reinterpret_cast<const char*>(sf.data.data()),
                                      sf.data.size());
          if (ControlHasCharsetLine(line)) texts->charset_control = line;
        }
        break;
      default:
        break;
    }
    return true;
  });
}

}  // namespace

SubfieldTexts ViewSubfieldTexts(std::span<const uint8_t> area, uint32_t attribute) {
  // A text no record gives views an empty string, never a null pointer,
  // which a caller's copy of its bytes may not be handed.
  SubfieldTexts texts{"", "", "", {}};
  WalkSubfields(area, attribute, &texts, [](uint16_t, std::span<const uint8_t>) {});
  return texts;
}

void DecodeSubfields(std::span<const uint8_t> area, uint32_t attribute,
                     HeaderFields* fields) {
  SubfieldTexts texts;
  WalkSubfields(area, attribute, &texts, [fields](uint16_t kind, std::span<const uint8_t> data) {
    DecodeAddress(data, kind == kSfOrigAddr ? &fields->orig : &fields->dest);
  });
  // The strings are assigned from views, so a walk over many headers
  // reuses their storage.
  fields->from = texts.from;
  fields->to = texts.to;
  fields->subject = texts.subject;
}

}  // namespace drayline::jam
