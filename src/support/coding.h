// Fixed-width little-endian encoding of on-disk fields.
//
// Every record of every file is encoded and decoded field by field through
// these helpers; no packed struct is ever laid over file bytes. Callers pass
// a pointer into a buffer they have already checked to be large enough.

#ifndef DRAYLINE_SUPPORT_CODING_H_
#define DRAYLINE_SUPPORT_CODING_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace drayline {

inline void EncodeFixed16(uint8_t* dst, uint16_t value) {
  dst[0] = static_cast<uint8_t>(value);
  dst[1] = static_cast<uint8_t>(value >> 8);
}

inline void EncodeFixed32(uint8_t* dst, uint32_t value) {
  dst[0] = static_cast<uint8_t>(value);
  dst[1] = static_cast<uint8_t>(value >> 8);
  dst[2] = static_cast<uint8_t>(value >> 16);
  dst[3] = static_cast<uint8_t>(value >> 24);
}

inline uint16_t DecodeFixed16(const uint8_t* src) {
  return static_cast<uint16_t>(src[0] | (src[1] << 8));
}

inline uint32_t DecodeFixed32(const uint8_t* src) {
  return static_cast<uint32_t>(src[0]) | (static_cast<uint32_t>(src[1]) << 8) |
         (static_cast<uint32_t>(src[2]) << 16) |
         (static_cast<uint32_t>(src[3]) << 24);
}

// Signed views of the same bytes (two's complement).
inline int32_t DecodeFixed32Signed(const uint8_t* src) {
  return static_cast<int32_t>(DecodeFixed32(src));
}
inline void EncodeFixed32Signed(uint8_t* dst, int32_t value) {
  EncodeFixed32(dst, static_cast<uint32_t>(value));
}

// Bounds-checked variants for fields read out of a buffer of known size:
// they return false, and leave *value alone, when the field does not fit.
inline bool GetFixed16(std::span<const uint8_t> buf, size_t offset,
                       uint16_t* value) {
  if (offset > buf.size() || buf.size() - offset < 2) return false;
  *value = DecodeFixed16(buf.data() + offset);
  return true;
}

inline bool GetFixed32(std::span<const uint8_t> buf, size_t offset,
                       uint32_t* value) {
  if (offset > buf.size() || buf.size() - offset < 4) return false;
  *value = DecodeFixed32(buf.data() + offset);
  return true;
}

}  // namespace drayline

#endif  // DRAYLINE_SUPPORT_CODING_H_
