// One output record (a line) built from layout elements.
//
// Elements are applied left to right at a cursor that starts at column 1.
// Literals and fields write at the cursor and raise the high-water column;
// a skip only moves the cursor, so a skip at the end of a layout does not
// lengthen the record.  The record's text is columns 1 to the high-water
// column; columns that were skipped and later passed hold blanks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fieldscan {

class Record {
 public:
  Record& skip(int n);                     // n blank columns
  Record& literal(std::string_view s);     // quoted text, copied as it is
  Record& text(std::string_view s);        // text field as wide as the value
  Record& integer(std::int32_t v, int w);  // integer field of width w
  Record& fixed(float v, int w, int d);    // fixed-point field w.d
  Record& open_line();                     // question: no line end written

  // Columns 1 to the high-water column.
  std::string_view line() const { return std::string_view(buf_).substr(0, high_); }
  // True when at least one field was filled with asterisks.
  bool overflowed() const { return overflowed_; }
  bool is_open_line() const { return open_line_; }

 private:
  void put(std::string_view s);

  std::string buf_;
  std::size_t cursor_ = 0;  // 0-based column of the next element
  std::size_t high_ = 0;    // number of columns written
  bool overflowed_ = false;
  bool open_line_ = false;
};

}  // namespace fieldscan
