#include "fieldscan/textio/exact_decimal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

namespace fieldscan {
namespace {

constexpr int kFractionLimbs = 5;  // 160 fraction bits
constexpr int kIntegerLimbs = 4;   // 128 integer bits
constexpr int kFractionBits = 32 * kFractionLimbs;

using FractionPart = std::array<std::uint32_t, kFractionLimbs>;  // least significant first
using IntegerPart = std::array<std::uint32_t, kIntegerLimbs>;

// Splits |value| into its exact integer and fraction parts.
void split(float value, IntegerPart& integer, FractionPart& fraction) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t biased = (bits >> 23) & 0xFFu;
  std::uint32_t mantissa = bits & 0x7FFFFFu;
  int exponent = -149;  // subnormal: m * 2^-149
  if (biased != 0) {
    mantissa |= 0x800000u;
    exponent = static_cast<int>(biased) - 150;
  }
  // Bit 0 of the combined number stands for 2^-160; m goes to bit e + 160.
  std::array<std::uint32_t, kFractionLimbs + kIntegerLimbs> all{};
  const int position = exponent + kFractionBits;  // 11 .. 264
  const std::uint64_t shifted = static_cast<std::uint64_t>(mantissa) << (position % 32);
  const std::size_t limb = static_cast<std::size_t>(position / 32);
  all[limb] = static_cast<std::uint32_t>(shifted);
  if (limb + 1 < all.size()) all[limb + 1] = static_cast<std::uint32_t>(shifted >> 32);
  std::copy_n(all.begin(), kFractionLimbs, fraction.begin());
  std::copy_n(all.begin() + kFractionLimbs, kIntegerLimbs, integer.begin());
}

bool is_zero(const IntegerPart& n) {
  return std::all_of(n.begin(), n.end(), [](std::uint32_t limb) { return limb == 0; });
}

// Divides `n` by 10 in place and returns the remainder.
std::uint32_t divide_by_ten(IntegerPart& n) {
  std::uint64_t remainder = 0;
  for (std::size_t i = n.size(); i-- > 0;) {
    const std::uint64_t current = (remainder << 32) | n[i];
    n[i] = static_cast<std::uint32_t>(current / 10);
    remainder = current % 10;
  }
  return static_cast<std::uint32_t>(remainder);
}

// Multiplies the fraction by 10 in place and returns the digit carried out
// of it (the next decimal digit of the fraction).
std::uint32_t next_fraction_digit(FractionPart& f) {
  std::uint64_t carry = 0;
  for (auto& limb : f) {
    const std::uint64_t product = static_cast<std::uint64_t>(limb) * 10 + carry;
    limb = static_cast<std::uint32_t>(product);
    carry = product >> 32;
  }
  return static_cast<std::uint32_t>(carry);
}

// Adds one unit in the last place of integer.fraction, carrying leftwards.
void increment(DecimalDigits& r) {
  for (auto* digits : {&r.fraction, &r.integer}) {
    for (std::size_t i = digits->size(); i-- > 0;) {
      if ((*digits)[i] != '9') {
        ++(*digits)[i];
        return;
      }
      (*digits)[i] = '0';
    }
  }
  r.integer.insert(r.integer.begin(), '1');
}

}  // namespace

DecimalDigits round_to_decimals(float value, int decimals) {
  IntegerPart integer;
  FractionPart fraction;
  split(value, integer, fraction);

  DecimalDigits r;
  while (!is_zero(integer)) r.integer.push_back(static_cast<char>('0' + divide_by_ten(integer)));
  std::reverse(r.integer.begin(), r.integer.end());

  r.fraction.reserve(static_cast<std::size_t>(std::max(decimals, 0)));
  for (int i = 0; i < decimals; ++i) {
    r.fraction.push_back(static_cast<char>('0' + next_fraction_digit(fraction)));
  }
  // What is left of the fraction is the remainder; its top bit says whether
  // it is one half or more.
  if (fraction.back() & 0x80000000u) increment(r);
  return r;
}

}  // namespace fieldscan
