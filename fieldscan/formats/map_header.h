// The header items of a map carried in a table as comment lines.
//
// `export` writes, in front of the table, one line per header item of the
// map; `convert` reads them back, so that a map survives the round trip
// through a table with every item that LOAD reads:
//
//   #map title "PURGING MAGNET"
//   #map date "08-DEC-2026"
//   #map axes "X" "Y" "Z"
//   #map angle 90
//   #map origin -0.05 -0.05 -0.26
//   #map steps 0.02 0.044 0.04
//   #map integers 0 0 0 0 0 0 0 0 0
//
// A header line starts with "#map" in its first column followed by a blank,
// a keyword and its values, separated by blanks.  Texts are in double
// quotes: a quote or a backslash inside is written \" or \\, a control
// byte (below 0x20, or 0x7F) as \xHH; trailing blanks are left out (the map
// pads its texts with blanks).  Numbers are as in the rows.  "integers" are
// the nine integers of the origin record, ISA ISB ISC IMA IMB IMC IDA IDB
// IDC.  A "#" outside quotes starts a comment.  Every item is optional and may be given once;
// "origin" and "steps" go together and fix the grid (the rows must lie on it).  To other readers
// these are comments.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan::fieldmap {

struct MapHeader {
  std::optional<std::string> title;                // at most 80 bytes
  std::optional<std::string> date;                 // at most 18
  std::optional<std::array<std::string, 3>> axes;  // at most 8 each
  std::optional<float> angle;                      // degrees, finite
  std::optional<std::array<float, 3>> origin;      // finite
  std::optional<std::array<float, 3>> steps;       // finite and positive
  std::optional<std::array<std::int32_t, 9>> integers;
  std::uint64_t origin_line = 0;  // where "origin" stands, for messages
  std::uint64_t steps_line = 0;
};

// True when `line` (a whole line of the table) is a header line.
bool is_header_line(std::string_view line);

// Reads the header line `line` into `header`.  False, with the 1-based
// column of the problem and a message, for an unknown keyword, an item
// given twice, a wrong number of values or a value that is not allowed.
bool parse_header_line(std::string_view line, std::uint64_t line_number, MapHeader& header,
                       std::uint64_t& column, std::string& message);

// The header lines of `contents` (each ending with LF).
std::string format_header_lines(const MapContents& contents);

// Copies the texts, the angle and the integers that `header` holds into
// `contents` (the origin and the steps belong to the grid finder).
void apply_header(const MapHeader& header, MapContents& contents);

// The header of a map converted from the table file `path`: the items of
// its header lines, the title being the file's name and the date today's
// where the header gives none.
void apply_table_header(std::string_view path, const MapHeader& header, MapContents& contents);

}  // namespace fieldscan::fieldmap
