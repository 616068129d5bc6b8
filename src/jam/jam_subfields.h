// The subfield codec of a JAM message header: walking the records that
// follow the fixed part, writing them, and turning them into the names,
// subject and addresses of a HeaderFields and back.
//
// The records come from files that other programs write, so the walk takes
// only records that lie wholly inside the area it is given: a DatLen that
// runs past the area ends the walk.

#ifndef DRAYLINE_JAM_JAM_SUBFIELDS_H_
#define DRAYLINE_JAM_JAM_SUBFIELDS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "jam/jam_format.h"
#include "msgbase/header_fields.h"
#include "support/coding.h"

namespace drayline::jam {

struct Subfield {
  uint16_t kind = 0;                 // LoID
  std::span<const uint8_t> data;     // DatLen bytes
  std::span<const uint8_t> record;   // the whole record, header included
};

// Calls fn(const Subfield&) for each whole record of area, in order, until
// fn returns false or no further whole record follows.
template <typename Fn>
void ForEachSubfield(std::span<const uint8_t> area, Fn&& fn) {
  size_t pos = 0;
  while (area.size() - pos >= kSubfieldHeaderSize) {
    const uint8_t* at = area.data() + pos;
    const uint32_t len = DecodeFixed32(at + 4);
    if (len > area.size() - pos - kSubfieldHeaderSize) return;
    const size_t whole = kSubfieldHeaderSize + len;
    const Subfield subfield{DecodeFixed16(at),
                            area.subspan(pos + kSubfieldHeaderSize, len),
                            area.subspan(pos, whole)};
    if (!fn(subfield)) return;
    pos += whole;
  }
}

// At most a short string's worth of a subfield's data, then max bytes.
std::string_view SubfieldText(std::span<const uint8_t> data, size_t max);

// The address an address subfield's data holds (its first 128 characters);
// a text that is no address leaves *addr all zero.
void DecodeAddress(std::span<const uint8_t> data, NetAddress* addr);

// Appends records to a header's subfield area (kSubfieldAreaSize bytes)
// from its start. A record that would bring the area to its size or past
// it is left out; nothing is written outside the area.
class SubfieldWriter {
 public:
  explicit SubfieldWriter(std::span<uint8_t> area) : area_(area) {}
  // A record of kind with data; false when it was left out.
  bool Add(uint16_t kind, std::string_view data);
  // A whole record as it was stored (header included).
  bool AddRecord(std::span<const uint8_t> record);
  // Bytes of records written: the header's SubfieldLen.
  uint32_t used() const { return used_; }

 private:
  bool Fits(size_t length) const;

  std::span<uint8_t> area_;
  uint32_t used_ = 0;
};

// The records a store writes for the composed fields, in this order, each
// only when not empty: recipient (3), sender (2), subject (11 for a file
// request, else 6), destination (1) and origin (0) as address texts.
void WriteComposedSubfields(const HeaderFields& fields, SubfieldWriter* out);
// True for the kinds WriteComposedSubfields writes (0, 1, 2, 3, 6, 11): a
// rewrite writes them afresh and carries every other kind over.
bool IsComposedKind(uint16_t kind);

// The sender, recipient and subject that the records of a header's
// subfield area give, viewed in it: a later record of a kind replaces an
// earlier one; attribute (the header's Attribute) decides whether kinds 9
// and 11 give the subject. charset_control: the first control line record
// with a line naming a character set (HeaderView::charset_control).
struct SubfieldTexts {
  std::string_view from, to, subject;
  std::string_view charset_control;
};
SubfieldTexts ViewSubfieldTexts(std::span<const uint8_t> area, uint32_t attribute);

// Fills from, to, subject, orig and dest of *fields from the records of
// area; a later record of a kind replaces an earlier one. attribute (the
// header's Attribute) decides whether kinds 9 and 11 give the subject.
// Fields without a record are left as they are.
void DecodeSubfields(std::span<const uint8_t> area, uint32_t attribute,
                     HeaderFields* fields);

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_SUBFIELDS_H_
