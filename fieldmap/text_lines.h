// Line-by-line reading of a text file for the format readers, and the
// blank-separated fields of a line.
//
// Memory stays bounded by the longest line allowed (kMaxFormatLineBytes) whatever
// the length of the file.  A carriage return before the line feed, and a byte
// order mark at the start, are dropped.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace fieldscan::fieldmap {

inline constexpr std::size_t kMaxFormatLineBytes = std::size_t{1} << 20;

class LineReader {
 public:
  explicit LineReader(std::istream& in) : in_(in) {}

  // The next line, valid until the following call.  False at the end of the
  // input or on a problem (failed() then tells which).
  bool next(std::string_view& line);

  // 1-based number of the line last returned.
  std::uint64_t line_number() const { return line_; }

  // Empty, or why reading stopped early ("line longer than 1 MiB", "read
  // error").
  const std::string& failure() const { return failure_; }

 private:
  bool fill();

  std::istream& in_;
  std::string buffer_;
  std::size_t pos_ = 0;
  std::uint64_t line_ = 0;
  bool at_end_ = false;
  std::string failure_;
};

struct TextField {
  std::string_view text;
  std::uint64_t column;  // 1-based byte column in its line
};

// Splits `line` at blanks and tabs, and also at commas when `commas` is set.
void split_line(std::string_view line, std::vector<TextField>& fields, bool commas = false);

}  // namespace fieldscan::fieldmap
