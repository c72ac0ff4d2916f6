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
// brackets is dropped) are taken by name, each of the six named exactly once
// (a name given twice or missing is an error); when none of the columns
// bears one of these names, the first six in that order.  Other columns are
// not read.  The column lines and the "0" line may be left out altogether:
// when the line after the counts is a row (six or more numbers), the columns
// are x y z bx by bz and those after them, in that order, with no units named.
//
// Plain form: any other first line.  Rows of x y z bx by bz.  The first
// line may instead name the columns: it is a name line when its first field
// is not a number and either every name on it is one the reader knows (x, y,
// z, bx, by, bz in any case, with a unit glued on in brackets or
// parentheses or standing alone in them) or none of its fields is a number.
// Any other first line is a row, and a field of it that is not a number is
// an error there.  A name line's names choose the columns as above and set
// how many fields every row has.  Without a name line rows have six fields.
//
// Both forms: fields are separated by blanks, tabs, or a comma with optional
// blanks around it; "#" starts a comment to the end of the line, except
// that header lines ("#map ...", see map_header.h) before the first row are
// read; blank lines are skipped.  Lines are cut as text_lines.h says (LF,
// CR LF or a CR alone; a byte-order mark skipped; UTF-16 refused).  Rows may
// come in any order.
//
// The text is read as a stream: memory grows with the number of rows, not
// with the length of the text.  A line longer than kMaxLineBytes is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "fieldscan/formats/map_header.h"
#include "fieldscan/formats/table_error.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/textio/text_lines.h"

namespace fieldscan::fieldmap {

// The longest line the reader takes, without its line end.
inline constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

struct TableRow {
  float x = 0, y = 0, z = 0;  // coordinates, after scaling
  float b[3] = {0, 0, 0};     // field components, as written
  std::uint64_t line = 0;     // 1-based line number
  // 1-based columns of the x, y and z fields, 21 bits each (a line is at
  // most kMaxLineBytes long).
  std::uint64_t columns = 0;

  std::uint64_t column(int axis) const { return (columns >> (21 * axis)) & 0x1FFFFF; }
  void set_column(int axis, std::uint64_t column) { columns |= (column & 0x1FFFFF) << (21 * axis); }
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
  // The map's header items given by header lines (scaled like the rows).
  MapHeader header;
  // A deque grows without moving what it holds: no peak of twice the rows.
  std::deque<TableRow> rows;
};

struct ReadOptions {
  // Multiplies every coordinate (not the field).  With 1 a coordinate is
  // the correctly rounded single-precision value of its text; otherwise it
  // is parsed in double precision, multiplied and rounded once.
  double scale = 1.0;
  // Called now and then with the fraction of the text read so far (only
  // when the source knows its size).
  std::function<void(double)> progress;
  // Called once the columns (and their units) are known, before the first
  // row, with factors of 1: it may set factors by which the value of each of
  // x, y, z, bx, by, bz is multiplied (in double precision with `scale`,
  // rounded once; a row whose three field values are all above 900000, the
  // unmeasured mark, keeps them unchanged), or fail with `error` set.
  std::function<bool(const Table& table, double factor[6], TableError& error)> columns_known;
  // The most values the map may hold (a header's counts, or rows in the
  // plain form, beyond it are refused); more than MXS only for maps that
  // are not for the console.
  std::int64_t capacity = MXS;
};

// Reads the table from `source`.  On success fills `table` and returns
// true.  On failure returns false with `error` naming the first problem
// (line 0 for a failure to read the source itself); `table` is then
// unspecified.  Problems: a first line that starts a header but is not
// three positive counts; a header whose grid needs more than MXS values; a
// bad column line or a missing "0" line; fewer than six columns; a row with
// the wrong number of fields; a field that is not a number; a coordinate
// that is not finite; more rows than the header's counts allow (header
// form) or than MXS / 3 nodes (plain form); no rows at all; a line longer
// than kMaxLineBytes; a bad header line or one after the first row.  A field
// value that is not finite is kept as it is.
bool read_table(TextSource& source, const ReadOptions& options, Table& table, TableError& error);

// The same for a text held in memory.
bool read_table(std::string_view text, const ReadOptions& options, Table& table, TableError& error);

}  // namespace fieldscan::fieldmap
