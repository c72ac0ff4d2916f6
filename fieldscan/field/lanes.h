// Vector types and small operations on them for the batch evaluations:
// four lanes of single precision (the stored values and coordinates) and
// four of double precision (the arithmetic between), written with GCC's
// vector extensions so that one source compiles for each instruction set
// the batch functions are built for (their target attributes).  Every
// operation rounds as the scalar one does, lane by lane.
// Only x86-64 builds with GCC or clang see them (FIELDSCAN_LANES is then
// defined); elsewhere the batches go point by point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define FIELDSCAN_LANES 1

namespace fieldscan::lanes {

// Every function on the vector types is inlined into one of the compiled
// versions, so the warning that passing them by value would differ between
// instruction sets does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#define FIELDSCAN_INLINE [[gnu::always_inline]] inline

constexpr std::size_t kLanes = 4;

typedef float Floats __attribute__((vector_size(16)));
typedef double Doubles __attribute__((vector_size(32)));
typedef std::int32_t Ints __attribute__((vector_size(16)));   // or the mask of a float test
typedef std::int64_t Masks __attribute__((vector_size(32)));  // the mask of a double test

FIELDSCAN_INLINE Doubles splat(double v) { return Doubles{v, v, v, v}; }
FIELDSCAN_INLINE Floats splat(float v) { return Floats{v, v, v, v}; }
FIELDSCAN_INLINE Ints splat(std::int32_t v) { return Ints{v, v, v, v}; }
// Widening lane by lane: GCC 12 compiles __builtin_convertvector's widening
// into two half conversions, the element form into one instruction.
FIELDSCAN_INLINE Doubles widen(Floats v) { return Doubles{v[0], v[1], v[2], v[3]}; }
FIELDSCAN_INLINE Doubles widen(Ints v) {
  return Doubles{static_cast<double>(v[0]), static_cast<double>(v[1]), static_cast<double>(v[2]),
                 static_cast<double>(v[3])};
}
FIELDSCAN_INLINE Ints narrow_mask(Masks mask) {
  return __builtin_convertvector(mask, Ints);  // each lane all ones or all zeros
}
FIELDSCAN_INLINE Floats narrow(Doubles v) { return __builtin_convertvector(v, Floats); }
FIELDSCAN_INLINE Doubles select(Masks mask, Doubles yes, Doubles no) {
  return reinterpret_cast<Doubles>((reinterpret_cast<Masks>(yes) & mask) |
                                   (reinterpret_cast<Masks>(no) & ~mask));
}
FIELDSCAN_INLINE Masks select(Masks mask, Masks yes, Masks no) {
  return (yes & mask) | (no & ~mask);
}
FIELDSCAN_INLINE Floats select(Ints mask, Floats yes, Floats no) {
  return reinterpret_cast<Floats>((reinterpret_cast<Ints>(yes) & mask) |
                                  (reinterpret_cast<Ints>(no) & ~mask));
}
FIELDSCAN_INLINE Doubles magnitude(Doubles v) {
  return reinterpret_cast<Doubles>(reinterpret_cast<Masks>(v) &
                                   (Masks{} + std::int64_t{0x7fffffffffffffff}));
}
FIELDSCAN_INLINE bool none(Ints mask) {
  std::uint64_t half[2];
  std::memcpy(half, &mask, sizeof half);
  return (half[0] | half[1]) == 0;
}
FIELDSCAN_INLINE bool same_bits(Floats a, Floats b) {
  return none(reinterpret_cast<Ints>(a) != reinterpret_cast<Ints>(b));
}
template <class V, class T>
FIELDSCAN_INLINE V load(const T* at) {
  V v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

}  // namespace fieldscan::lanes

#endif
