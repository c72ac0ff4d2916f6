// The map file format: what every reader and writer of map files shares.
//
// A map file is a sequence of length-framed records: a little-endian 32-bit
// length L, L data bytes, and L again.  A record may be longer than its
// items (the rest is ignored).  Records, in file order:
//
//   1        title                                   80 bytes
//   2        date                                    18 bytes
//   3        axis texts AXA, AXB, AXC (8 each),
//            ANGLE (real, degrees)                   28 bytes
//   4        XMIN, YMIN, ZMIN (reals), ISA, ISB, ISC,
//            IMA, IMB, IMC, IDA, IDB, IDC (integers) 48 bytes
//   5        DX, DY, DZ (reals), NX, NY, NZ          24 bytes
//   5 + k    plane k = 1..NZ: for j, for i, the three
//            components of node (i, j, k)            12 * NX * NY bytes
//
// Integers are 32-bit two's complement, reals IEEE single precision, both
// little-endian.  A length word of 2^31 or more is outside the format.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace fieldscan {

// Data bytes of the header records' items.
inline constexpr std::size_t kTitleBytes = 80;
inline constexpr std::size_t kDateBytes = 18;
inline constexpr std::size_t kAxisTextBytes = 8;
inline constexpr std::size_t kAxesBytes = 3 * kAxisTextBytes + 4;
inline constexpr std::size_t kOriginBytes = 3 * 4 + 9 * 4;
inline constexpr std::size_t kStepsBytes = 3 * 4 + 3 * 4;
inline constexpr std::size_t kHeaderRecords = 5;

// A leading length word at or above this is outside the format.
inline constexpr std::uint32_t kLengthLimit = 0x8000'0000u;

// The little-endian 32-bit word at p.
inline std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Rounds to single precision as IEEE arithmetic does, including the
// magnitudes beyond the largest single-precision number (which a plain
// conversion leaves undefined).
inline float to_single(double v) {
  constexpr double kMax = std::numeric_limits<float>::max();
  constexpr double kHalfway = 0x1.ffffffp127;  // between kMax and 2^128
  constexpr float kInf = std::numeric_limits<float>::infinity();
  if (std::fabs(v) <= kMax) return static_cast<float>(v);  // the common case, one test
  if (v >= kHalfway) return kInf;
  if (v <= -kHalfway) return -kInf;
  if (v > kMax) return static_cast<float>(kMax);
  if (v < -kMax) return -static_cast<float>(kMax);
  return static_cast<float>(v);
}

// What keeps `v` from being a number of a map's header (the angle, a
// coordinate of the origin or, with `step`, a step): rounded once to single
// precision it must be finite, and a step positive; otherwise the grid
// places no node where the map can evaluate.
enum class HeaderNumberProblem { kNone, kNotFinite, kNotPositive };

inline HeaderNumberProblem header_number_problem(double v, bool step) {
  const float stored = to_single(v);
  if (!std::isfinite(stored)) return HeaderNumberProblem::kNotFinite;
  if (step && !(stored > 0)) return HeaderNumberProblem::kNotPositive;
  return HeaderNumberProblem::kNone;
}

}  // namespace fieldscan
