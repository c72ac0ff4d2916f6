// Where and why a table cannot become a map.
#pragma once

#include <cstdint>
#include <string>

namespace fieldscan::fieldmap {

// A problem found in a table's text.  `line` and `column` are 1-based
// (the column counts bytes from the start of the line); the tool prints
// them as FILE:LINE:COLUMN in front of `message`.  Line 0 means the text
// could not be read at all (`message` says why): FILE: in front alone.
struct TableError {
  std::uint64_t line = 0;
  std::uint64_t column = 0;
  std::string message;
};

}  // namespace fieldscan::fieldmap
