// Conversion of a fixed-point input field into a single-precision value.
//
// Form of a field (blanks after the first significant character are
// ignored; leading blanks and tabs are skipped):
//
//   [sign] digits-with-at-most-one-point [exponent]
//   exponent: (E|D|Q|e|d|q) [sign] digits   or   sign digits
//
// Without a point the last `decimals` digits typed are the fraction.  The
// decimal value is rounded once, directly to the nearest float.
#include "fieldscan/textio/convert.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>

namespace fieldscan {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_sign(char c) { return c == '+' || c == '-'; }

bool is_exponent_letter(char c) {
  switch (c) {
    case 'E':
    case 'e':
    case 'D':
    case 'd':
    case 'Q':
    case 'q':
      return true;
    default:
      return false;
  }
}

// Decimal exponents are held far beyond anything a float can show, so that
// sums of them never overflow a 64-bit integer.
constexpr std::int64_t kExponentLimit = 1'000'000'000;

// Decimal exponent of the leading digit beyond which every value overflows
// (the largest float is about 3.4E38), and below which every value is
// closer to zero than to the smallest subnormal float (about 1.4E-45).
constexpr std::int64_t kOverflowExponent = 38;
constexpr std::int64_t kZeroExponent = -47;

// The significant characters of `field` without blanks into `s`; false
// for a tab after the first of them.
bool significant_characters(std::string_view field, std::string& s) {
  std::size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || field[i] == '\t')) ++i;
  s.reserve(field.size() - i);
  for (; i < field.size(); ++i) {
    const char c = field[i];
    if (c == ' ') continue;
    if (c == '\t') return false;
    s.push_back(c);
  }
  return true;
}

struct Mantissa {
  bool negative = false;
  std::string digits;  // without leading zeros
  bool any_digit = false;
  bool point = false;
  std::int64_t fraction_digits = 0;  // digits after the point
};

// The sign and mantissa at the start of `s`; `p` ends after them.
Mantissa read_mantissa(const std::string& s, std::size_t& p) {
  Mantissa m;
  if (p < s.size() && is_sign(s[p])) {
    m.negative = s[p] == '-';
    ++p;
  }
  for (; p < s.size(); ++p) {
    const char c = s[p];
    if (is_digit(c)) {
      m.any_digit = true;
      if (m.point) m.fraction_digits = std::min(m.fraction_digits + 1, kExponentLimit);
      if (!m.digits.empty() || c != '0') m.digits.push_back(c);
    } else if (c == '.' && !m.point) {
      m.point = true;
    } else {
      break;
    }
  }
  return m;
}

// The exponent from `p` to the end of `s`; false when that is no exponent.
bool read_exponent(const std::string& s, std::size_t p, std::int64_t& exponent) {
  bool exponent_negative = false;
  if (is_exponent_letter(s[p])) {
    ++p;
    if (p < s.size() && is_sign(s[p])) exponent_negative = s[p++] == '-';
  } else if (is_sign(s[p])) {
    exponent_negative = s[p++] == '-';
  } else {
    return false;
  }
  if (p == s.size()) return false;  // an exponent needs digits
  for (; p < s.size(); ++p) {
    if (!is_digit(s[p])) return false;
    exponent = std::min(exponent * 10 + (s[p] - '0'), kExponentLimit);
  }
  if (exponent_negative) exponent = -exponent;
  return true;
}

// value = digits x 10^scale (digits without leading or trailing zeros, the
// leading digit's exponent `leading`), rounded once to the nearest float.
bool round_to_float(bool negative, const std::string& digits, std::int64_t scale,
                    std::int64_t leading, float& value) {
  std::string text;
  text.reserve(digits.size() + 24);
  if (negative) text.push_back('-');
  text += digits;
  text.push_back('e');
  text += std::to_string(scale);

  // std::from_chars rounds the exact decimal value once, to nearest even.
  float result = 0.0f;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result,
                                         std::chars_format::scientific);
  if (ec == std::errc::result_out_of_range) {
    if (leading >= kOverflowExponent) return false;  // beyond the largest float
    value = negative ? -0.0f : 0.0f;                 // below the smallest subnormal
    return true;
  }
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  value = result;
  return true;
}

}  // namespace

bool convert_fixed(std::string_view field, int decimals, float& value) {
  std::string s;
  if (!significant_characters(field, s)) return false;
  std::size_t p = 0;
  Mantissa m = read_mantissa(s, p);

  std::int64_t exponent = 0;
  // Whatever follows the mantissa must be an exponent of a number.
  if (p < s.size() && (!m.any_digit || !read_exponent(s, p, exponent))) return false;

  // Empty, sign-only and point-only fields.
  if (!m.any_digit) {
    value = 0.0f;
    return true;
  }

  // value = digits x 10^scale
  std::int64_t scale = exponent - (m.point ? m.fraction_digits : std::int64_t{decimals});
  std::string& digits = m.digits;
  const auto last = digits.find_last_not_of('0');
  if (last == std::string::npos) {  // a zero keeps the sign typed
    value = m.negative ? -0.0f : 0.0f;
    return true;
  }
  scale += static_cast<std::int64_t>(digits.size() - last - 1);
  digits.resize(last + 1);

  const std::int64_t leading = scale + static_cast<std::int64_t>(digits.size()) - 1;
  if (leading > kOverflowExponent) return false;
  if (leading < kZeroExponent) {  // rounds to zero, keeping its sign
    value = m.negative ? -0.0f : 0.0f;
    return true;
  }
  return round_to_float(m.negative, digits, scale, leading, value);
}

}  // namespace fieldscan
