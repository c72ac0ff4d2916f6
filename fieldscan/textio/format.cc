// Field rendering.
//
// Forms chosen for values the fixed-point rule does not cover:
// - Not a number and the infinities are " NaN", " Infinity" and
//   " -Infinity", left-aligned and blank-filled.  A field exactly one column
//   narrower than that shows the form without its leading blank ("NaN",
//   "Infinity", "-Infinity"); any narrower field is asterisks (a value that
//   does not fit, like any other).
// - A nonzero magnitude below the smallest normal number (about 1.18E-38)
//   is written as a zero in exponent form: a zero digit, a point, d zero
//   digits and "E+00", right-aligned (0.000E+00 for width 10 with 3
//   decimals).  The zero before the point is dropped when the field has no
//   room for it (.0E+00 in width 6 with 1 decimal), and the field is
//   asterisks when even that does not fit (widths below d + 5).  The digits
//   shown are all zero, so a negative value gets no sign, as with any
//   negative value that rounds to zero.
#include "fieldscan/textio/format.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "fieldscan/textio/exact_decimal.h"

namespace fieldscan {
namespace {

std::string asterisks(int w) { return std::string(static_cast<std::size_t>(w), '*'); }

// `body` right-aligned in w columns, or asterisks when it is wider.
std::string right_aligned(const std::string& body, int w) {
  const auto width = static_cast<std::size_t>(w);
  if (body.size() > width) return asterisks(w);
  return std::string(width - body.size(), ' ') + body;
}

std::string non_finite(std::string_view form, int w) {
  const auto width = static_cast<std::size_t>(w);
  if (form.size() <= width) return std::string(form) + std::string(width - form.size(), ' ');
  if (form.size() - 1 == width) return std::string(form.substr(1));
  return asterisks(w);
}

std::string subnormal(int w, int d) {
  std::string body(1, '.');
  body.append(static_cast<std::size_t>(d), '0');
  body.append("E+00");
  if (body.size() < static_cast<std::size_t>(w)) body.insert(body.begin(), '0');
  return right_aligned(body, w);
}

}  // namespace

std::string format_fixed(float value, int w, int d) {
  if (w <= 0) return {};
  d = std::max(d, 0);
  if (d >= w) return asterisks(w);  // the point and d digits alone are wider than w
  if (std::isnan(value)) return non_finite(" NaN", w);
  if (std::isinf(value)) return non_finite(value < 0 ? " -Infinity" : " Infinity", w);
  if (value == 0) value = 0.0f;  // negative zero is written as zero
  if (value != 0 && std::fabs(value) < FLT_MIN) return subnormal(w, d);

  const DecimalDigits digits = round_to_decimals(value, d);
  const bool rounds_to_zero =
      digits.integer.empty() &&
      std::all_of(digits.fraction.begin(), digits.fraction.end(), [](char c) { return c == '0'; });
  const bool minus = std::signbit(value) && !rounds_to_zero;

  std::string body;
  if (minus) body += '-';
  if (!digits.integer.empty()) {
    body += digits.integer;
  } else if (d + 1 < w && (w != d + 2 || !minus)) {
    body += '0';
  }
  body += '.';
  body += digits.fraction;
  return right_aligned(body, w);
}

std::string format_integer(std::int32_t value, int w) {
  if (w <= 0) return {};
  return right_aligned(std::to_string(value), w);
}

std::string format_text(std::string_view value, int w) {
  if (w <= 0) return {};
  const auto width = static_cast<std::size_t>(w);
  if (width <= value.size()) return std::string(value.substr(0, width));
  return std::string(width - value.size(), ' ') + std::string(value);
}

bool is_overflow(std::string_view field) {
  return !field.empty() && field.find_first_not_of('*') == std::string_view::npos;
}

}  // namespace fieldscan
