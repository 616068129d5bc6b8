// Sixteen bytes at a time, and decimal digits several at a time: the pieces
// the fast writers of listings and exports share. GCC and Clang lower the
// lanes to the machine's vectors, or to plain words where it has none.

#ifndef DRAYBASE_LANES_H_
#define DRAYBASE_LANES_H_

#include <cstdint>
#include <cstring>

namespace draybase {

// Sixteen bytes as lanes, unsigned, and the same bytes as two words.
using Lanes = signed char __attribute__((vector_size(16)));
using UnsignedLanes = unsigned char __attribute__((vector_size(16)));
using LaneWords = uint64_t __attribute__((vector_size(16)));

inline Lanes Load16(const char* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void Store16(char* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

// Whether any lane of v is set (not 0).
inline bool AnyLane(Lanes v) {
  const auto words = reinterpret_cast<LaneWords>(v);
  return (words[0] | words[1]) != 0;
}

// Four values in lanes of 16 bits, the first in the lowest.
inline uint64_t FourLanes(uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
  return a | b << 16 | c << 32 | d << 48;
}

// Whether every lane of v is below 100: one of 100 to 0x7fff sets its top
// bit once 0x8000 - 100 is added (and carries no further); a larger one
// has it set already.
inline bool LanesBelow100(uint64_t v) {
  constexpr uint64_t kTop = 0x8000800080008000, kAdd = 0x7f9c7f9c7f9c7f9c;
  return ((v | (v + kAdd)) & kTop) == 0;
}

// The two digits of each lane of v (each below 100) as characters, tens
// then ones: x / 10 is x * 103 >> 10 for every x below 100.
inline uint64_t PairsOf(uint64_t v) {
  const uint64_t tens = (v * 103 >> 10) & 0x000f000f000f000f;
  return (tens | (v - tens * 10) << 8) + 0x3030303030303030;
}

// The eight decimal digits of n (below 10^8), the first in the lowest
// byte, each as its value (0..9): the halves split at once in two lanes of
// 32 bits, then in four of 16 (x / 100 is x * 10486 >> 20 and x / 10 is
// x * 103 >> 10 for the values they see), no product reaching the next lane.
inline __attribute__((always_inline)) uint64_t EightDigits(uint32_t n) {
  uint64_t v = n / 10000 | uint64_t{n % 10000} << 32;
  const uint64_t hundreds = (v * 10486 >> 20) & 0x0000007f0000007f;
  v = hundreds | (v - hundreds * 100) << 16;
  const uint64_t tens = (v * 103 >> 10) & 0x000f000f000f000f;
  return tens | (v - tens * 10) << 8;
}

}  // namespace draybase

#endif  // DRAYBASE_LANES_H_
