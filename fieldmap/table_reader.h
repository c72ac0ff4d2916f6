// Reads a field table (text) into rows of coordinates and field values.
//
// Two forms are read; the first line that holds anything tells them apart.
//
// Header form: that line holds three or four numbers "NX NY NZ [extra]"
// (node counts; the fourth number is ignored).  One line per column
// follows, "1 X [unit]", "2 Y", ..., numbered from 1, then a line whose
// first field is "0" (anything after it, such as a unit, is ignored), then
// one row per node.  Every row has as many fields as the header has
// columns.  Columns named X, Y, Z, BX, BY, BZ (any case, a unit glued on in
// brackets is dropped) are taken by name when all six are there, otherwise
// the first six columns in that order; other columns are not read.
//
// Plain form: any other first line.  Rows of x y z bx by bz.  The first
// line may instead name the columns (it is a name line when its first field
// is not a number); its names choose the columns as above and set how many
// fields every row has.  Without a name line rows have six fields.
//
// Both forms: fields are separated by blanks, tabs, or a comma with optional
// blanks around it; "#" starts a comment to the end of the line; blank lines
// are skipped; a CR before the LF is ignored.  Rows may come in any order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fieldmap/table_error.h"

namespace fieldscan::fieldmap {

struct TableRow {
  float x = 0, y = 0, z = 0;  // coordinates, after scaling
  float b[3] = {0, 0, 0};     // field components, as written
  std::uint64_t line = 0;     // 1-based line number
  std::uint64_t offset = 0;   // byte offset of the line's start in the text
};

struct Table {
  bool header_form = false;
  // Header form only: the node counts and where each of them stands.
  std::int32_t counts[3] = {0, 0, 0};
  std::uint64_t counts_line = 0;
  std::uint64_t counts_column[3] = {0, 0, 0};
  // Position (0-based field number) of x, y, z, bx, by, bz in a row.
  int field_of[6] = {0, 1, 2, 3, 4, 5};
  // The unit written with each of x, y, z, bx, by, bz (in brackets or
  // parentheses after the column's name, brackets kept; empty when none) and
  // where it stands; and, header form, the unit on the closing "0" line
  // ("0 [METRE]"), which such tables give for their coordinates.
  std::string unit[6];
  std::uint64_t unit_line[6] = {0, 0, 0, 0, 0, 0};
  std::uint64_t unit_column[6] = {0, 0, 0, 0, 0, 0};
  std::string zero_unit;
  std::uint64_t zero_unit_line = 0, zero_unit_column = 0;
  std::vector<TableRow> rows;
};

struct ReadOptions {
  // Multiplies every coordinate (not the field).  With 1 a coordinate is
  // the correctly rounded single-precision value of its text; otherwise it
  // is parsed in double precision, multiplied and rounded once.
  double scale = 1.0;
  // Called now and then with the fraction of the text read so far.
  std::function<void(double)> progress;
  // Called once the columns (and their units) are known, before the first
  // row, with factors of 1: it may set factors by which the value of each of
  // x, y, z, bx, by, bz is multiplied (in double precision with `scale`,
  // rounded once; a row whose three field values are all above 900000, the
  // unmeasured mark, keeps them unchanged), or fail with `error` set.
  std::function<bool(const Table& table, double factor[6], TableError& error)> columns_known;
};

// Reads `text`.  On success fills `table` and returns true.  On failure
// returns false with `error` naming the first problem; `table` is then
// unspecified.  Problems: a first line that starts a header but is not
// three positive counts; a header whose grid needs more than MXS values; a
// bad column line or a missing "0" line; fewer than six columns; a row with
// the wrong number of fields; a field that is not a number; a coordinate
// that is not finite; more rows than the header's counts allow (header
// form) or than MXS / 3 nodes (plain form); no rows at all.  A field
// value that is not finite is kept as it is.
bool read_table(std::string_view text, const ReadOptions& options, Table& table, TableError& error);

// 1-based column of field `field` (0-based) of the line that starts at byte
// `offset` of `text`, by the field rules above; the line's end when the
// line has fewer fields.
std::uint64_t field_column(std::string_view text, std::uint64_t offset, int field);

}  // namespace fieldscan::fieldmap
