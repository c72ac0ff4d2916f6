// Writes a map as a header-form field table (the form that read_table reads
// back):
//
//   the header lines of the map ("#map title ...", see map_header.h), then
//   " NX NY NZ", " 1 X", " 2 Y", " 3 Z", " 4 BX", " 5 BY", " 6 BZ", " 0"
//   (with the units that the axis texts record after the names, " 1 X [mm]",
//   " 4 BX [T]", see units.h),
//   then one row "x y z bx by bz" per node, the x index slowest and the z
//   index fastest.
//
// Node coordinates are XMIN + (i - 1) * DX etc., computed in double
// precision and rounded once to single precision, as the map places its
// nodes.  Every number is the shortest decimal that reads back as exactly
// the same single-precision value, so converting the table gives back every
// item of the map bit for bit.  Lines end with LF.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan::fieldmap {

// Empty when `contents` can be written as a table that converts back to the
// same map; otherwise why not: a count below 1, a grid beyond the capacity,
// a step that is not finite and positive, an origin or angle that is not
// finite, nodes that single precision cannot tell apart, a field value that
// is not finite, or fewer values than nodes.
std::string table_problem(const MapContents& contents);

// Writes the table of `contents` (table_problem() empty) in pieces to
// `sink`; stops early when `sink` returns false.
void write_table(const MapContents& contents, const std::function<bool(std::string_view)>& sink);

// The whole table as one text.
std::string format_table(const MapContents& contents);

}  // namespace fieldscan::fieldmap
