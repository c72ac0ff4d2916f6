#include "fieldscan/formats/unicode_text.h"

#include <cctype>
#include <cstdint>

namespace fieldscan::fieldmap {
namespace {

// The length of the UTF-8 sequence at `p` (of `n` bytes) and its code point
// in `cp`; 0 when it is not valid UTF-8 (overlong forms and surrogates
// included).
std::size_t utf8_sequence(const unsigned char* p, std::size_t n, char32_t& cp) {
  const unsigned char b = p[0];
  std::size_t length = 0;
  char32_t min = 0;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2, cp = b & 0x1F, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3, cp = b & 0x0F, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4, cp = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (length > n) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

// Characters that show as nothing or as a blank.
bool invisible(char32_t cp) {
  return cp <= 0xA0 || cp == 0xAD || cp == 0x034F || cp == 0x1680 || cp == 0x180E ||
         (cp >= 0x2000 && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) ||
         (cp >= 0x205F && cp <= 0x206F) || cp == 0x3000 || cp == 0xFEFF ||
         (cp >= 0xFFF9 && cp <= 0xFFFB);
}

void append_hex(std::string& out, unsigned char b) {
  static const char digits[] = "0123456789ABCDEF";
  out += "\\x";
  out += digits[b >> 4];
  out += digits[b & 0xF];
}

}  // namespace

std::string_view blank_unicode_spaces(std::string_view line, std::string& storage) {
  const auto at = [&line](std::size_t i) { return static_cast<unsigned char>(line[i]); };
  bool copied = false;
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    std::size_t length = 0;
    if (at(i) == 0xC2 && at(i + 1) == 0xA0) {
      length = 2;
    } else if (at(i) == 0xE2 && i + 2 < line.size() && at(i + 1) == 0x80 &&
               (at(i + 2) == 0x87 || at(i + 2) == 0xAF)) {
      length = 3;
    }
    if (length == 0) continue;
    if (!copied) storage.assign(line);
    copied = true;
    storage.replace(i, length, length, ' ');
    i += length - 1;
  }
  return copied ? std::string_view(storage) : line;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    if (p[i] >= 0x20 && p[i] < 0x7F) {
      out += static_cast<char>(p[i++]);
      continue;
    }
    char32_t cp = 0;
    const std::size_t length = p[i] < 0x80 ? 1 : utf8_sequence(p + i, text.size() - i, cp);
    if (length > 1 && !invisible(cp)) {
      out.append(text.substr(i, length));
    } else {
      for (std::size_t k = 0; k < (length == 0 ? 1 : length); ++k) append_hex(out, p[i + k]);
    }
    i += length == 0 ? 1 : length;
  }
  return out;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace fieldscan::fieldmap
