// Walking the subfield records of a JAM message header.
//
// The records come from files that other programs write, so the walk takes
// only records that lie wholly inside the area it is given: a DatLen that
// runs past the area ends the walk.

#ifndef DRAYLINE_JAM_JAM_SUBFIELDS_H_
#define DRAYLINE_JAM_JAM_SUBFIELDS_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "jam/jam_format.h"
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

}  // namespace drayline::jam

#endif  // DRAYLINE_JAM_JAM_SUBFIELDS_H_
