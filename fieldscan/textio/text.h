// Fixed-length texts.
//
// Every text the tool keeps (map file name, messages, listing file name,
// answer lines) has a fixed length and is padded with blanks.  It is held
// as an array of exactly N characters, without terminator.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace fieldscan {

template <std::size_t N>
using Text = std::array<char, N>;

using Text80 = Text<80>;

// The first N characters of `s`, padded with blanks.
template <std::size_t N>
Text<N> make_text(std::string_view s) {
  Text<N> t;
  t.fill(' ');
  std::copy_n(s.begin(), std::min(s.size(), N), t.begin());
  return t;
}

// All N characters of `t`, trailing blanks included.
template <std::size_t N>
std::string_view view(const Text<N>& t) {
  return std::string_view(t.data(), N);
}

// `s` without leading and trailing blanks (only ' ' counts as a blank).
inline std::string_view trim_blanks(std::string_view s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

}  // namespace fieldscan
