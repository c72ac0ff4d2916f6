// Fuzz target for cutting fixed-point fields out of a line and converting
// them (read_fixed_field, convert_fixed).
//
// Input: the first byte chooses the width (1 to 8) and the implied decimals
// (0 to 2) of each field in turn; the remaining bytes are one record, read
// field by field up to one field past its end.  Every field is checked
// against an independent model:
//  - the columns taken and the cursor follow the cutting rule (a comma ends
//    the field and is consumed, missing columns are blanks);
//  - a field of the form [sign] digits [point digits] [exponent] gives the
//    C library's correctly rounded conversion of the same number (strtof),
//    or a failure when that number is beyond the float range;
//  - a field without digits made of at most a sign and a point gives +0.0;
//  - every other field is a failure, and a failure leaves the value alone.
// Any difference aborts.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fieldscan/textio/convert.h"
#include "fieldscan/textio/input.h"

namespace {

using fieldscan::InputRecord;

constexpr std::size_t kMaxInput = 4096;
constexpr float kSentinel = -4321.5f;

[[noreturn]] void fail(const char* what, std::string_view field, int decimals) {
  std::fprintf(stderr, "convert_fuzz: %s; field \"", what);
  for (const char c : field) std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
  std::fprintf(stderr, "\" decimals %d\n", decimals);
  std::abort();
}

bool digit(char c) { return c >= '0' && c <= '9'; }

std::uint32_t bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// The model's answer for one field: a value, or nullopt for a failure.
std::optional<float> model(std::string_view field, int decimals) {
  std::size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || field[i] == '\t')) ++i;
  std::string s;
  for (; i < field.size(); ++i) {
    if (field[i] == '\t') return std::nullopt;
    if (field[i] != ' ') s.push_back(field[i]);
  }

  std::size_t p = 0;
  std::string sign;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) sign = s[p++];
  std::string whole, fraction;
  while (p < s.size() && digit(s[p])) whole.push_back(s[p++]);
  const bool point = p < s.size() && s[p] == '.';
  if (point) {
    ++p;
    while (p < s.size() && digit(s[p])) fraction.push_back(s[p++]);
  }
  if (whole.empty() && fraction.empty()) {
    if (p == s.size()) return 0.0f;  // nothing, a sign, a point
    return std::nullopt;
  }
  std::string exponent = "0";
  if (p < s.size()) {
    if (std::string_view("EeDdQq").find(s[p]) != std::string_view::npos) {
      ++p;
      exponent.clear();
      if (p < s.size() && (s[p] == '+' || s[p] == '-')) exponent.push_back(s[p++]);
    } else if (s[p] == '+' || s[p] == '-') {
      exponent = s[p++];
    } else {
      return std::nullopt;
    }
    const std::size_t first = p;
    while (p < s.size() && digit(s[p])) exponent.push_back(s[p++]);
    if (p == first || p != s.size()) return std::nullopt;
  }
  if (!point) {  // the last `decimals` digits typed are the fraction
    whole.insert(0, static_cast<std::size_t>(decimals), '0');
    fraction = whole.substr(whole.size() - decimals);
    whole.resize(whole.size() - decimals);
  }
  const std::string text = sign + whole + "." + fraction + "e" + exponent;
  errno = 0;
  char* end = nullptr;
  const float value = std::strtof(text.c_str(), &end);
  if (end != text.c_str() + text.size()) fail("model text not consumed", text, decimals);
  if (std::isinf(value)) return std::nullopt;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  const unsigned control = data[0];
  InputRecord record{std::string(reinterpret_cast<const char*>(data) + 1, size - 1), 0};
  const std::string& text = record.text;

  for (unsigned f = 0;; ++f) {
    const unsigned choice = (control + f * 0x9Du) & 0xFFu;
    const int width = 1 + static_cast<int>(choice & 7u);
    const int decimals = static_cast<int>((choice >> 3) % 3u);

    // The cutting rule, independently.
    const std::size_t start = std::min(record.cursor, text.size());
    std::string_view columns = std::string_view(text).substr(start, width);
    std::size_t next = record.cursor + width;
    if (const auto comma = columns.find(','); comma != std::string_view::npos) {
      columns = columns.substr(0, comma);
      next = start + comma + 1;
    }

    float value = kSentinel;
    const bool ok = fieldscan::read_fixed_field(record, width, decimals, value);
    if (record.cursor != next) fail("cursor", columns, decimals);

    const std::optional<float> expected = model(columns, decimals);
    if (ok != expected.has_value())
      fail(ok ? "accepted an invalid field" : "rejected a valid field", columns, decimals);
    if (ok && bits(value) != bits(*expected)) fail("value differs from strtof", columns, decimals);
    if (!ok && bits(value) != bits(kSentinel)) fail("value changed on failure", columns, decimals);

    float direct = kSentinel;
    if (fieldscan::convert_fixed(columns, decimals, direct) != ok || bits(direct) != bits(value))
      fail("convert_fixed differs from read_fixed_field", columns, decimals);

    if (start == text.size()) break;  // one field past the end, then stop
  }
  return 0;
}
