#include "fieldscan/textio/number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace fieldscan::fieldmap {
namespace {

// Drops one leading '+' in front of a digit or a point; std::from_chars
// takes a '-' but no '+'.
std::string_view without_plus(std::string_view token) {
  if (token.size() >= 2 && token[0] == '+' && token[1] != '-' && token[1] != '+') {
    return token.substr(1);
  }
  return token;
}

// For a token that from_chars found to be a number out of range: true when
// its magnitude is too large, false when it is too small.  Decided in long
// double (whose range is far wider); beyond even that, by the exponent's sign.
bool is_overflow(std::string_view token) {
  long double wide = 0;
  const auto r = std::from_chars(token.data(), token.data() + token.size(), wide);
  if (r.ec == std::errc()) return std::fabs(wide) >= 1.0L;
  const auto e = token.find_first_of("eE");
  return e == std::string_view::npos || e + 1 >= token.size() || token[e + 1] != '-';
}

template <typename Real>
bool parse_real(std::string_view token, Real& value) {
  token = without_plus(token);
  if (token.empty()) return false;
  const char* first = token.data();
  const char* last = first + token.size();
  Real parsed{};
  const auto r = std::from_chars(first, last, parsed);
  if (r.ptr != last) return false;
  if (r.ec == std::errc::result_out_of_range) {
    const bool negative = token[0] == '-';
    const Real magnitude = is_overflow(token) ? std::numeric_limits<Real>::infinity() : Real(0);
    value = negative ? -magnitude : magnitude;
    return true;
  }
  if (r.ec != std::errc()) return false;
  value = parsed;
  return true;
}

}  // namespace

bool parse_float(std::string_view token, float& value) { return parse_real(token, value); }

bool parse_double(std::string_view token, double& value) { return parse_real(token, value); }

bool parse_int64(std::string_view token, std::int64_t& value) {
  token = without_plus(token);
  const char* first = token.data();
  const char* last = first + token.size();
  std::int64_t parsed = 0;
  const auto r = std::from_chars(first, last, parsed);
  if (token.empty() || r.ec != std::errc() || r.ptr != last) return false;
  value = parsed;
  return true;
}

void append_float(std::string& out, float value) {
  char buffer[32];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, r.ptr);
}

std::string float_text(float value) {
  std::string out;
  append_float(out, value);
  return out;
}

}  // namespace fieldscan::fieldmap
