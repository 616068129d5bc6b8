#include "jam/jam_subfields.h"

#include <algorithm>
#include <cstring>

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

namespace {

void DecodeAddress(std::span<const uint8_t> data, NetAddress* addr) {
  // A text that is no address leaves the address all zero.
  *addr = NetAddress();
  ParseAddress(SubfieldText(data, kAddressTextMax), addr);
}

}  // namespace

void DecodeSubfields(std::span<const uint8_t> area, uint32_t attribute,
                     HeaderFields* fields) {
  // The strings are assigned from views, so a walk over many headers
  // reuses their storage.
  ForEachSubfield(area, [&](const Subfield& sf) {
    switch (sf.kind) {
      case kSfOrigAddr:
        DecodeAddress(sf.data, &fields->orig);
        break;
      case kSfDestAddr:
        DecodeAddress(sf.data, &fields->dest);
        break;
      case kSfSenderName:
        fields->from = SubfieldText(sf.data, kFromMax);
        break;
      case kSfReceiverName:
        fields->to = SubfieldText(sf.data, kToMax);
        break;
      case kSfSubject:
        fields->subject = SubfieldText(sf.data, kSubjectMax);
        break;
      case kSfAttachedFile:
        if (attribute & kAttrFileAttach) fields->subject = SubfieldText(sf.data, kSubjectMax);
        break;
      case kSfRequestedFile:
        if (attribute & kAttrFileRequest) fields->subject = SubfieldText(sf.data, kSubjectMax);
        break;
      default:
        break;
    }
    return true;
  });
}

}  // namespace drayline::jam
