// Writes a loaded map as a header-form field table (the form that
// read_table reads back):
//
//   " NX NY NZ", then " 1 X", " 2 Y", " 3 Z", " 4 BX", " 5 BY", " 6 BZ",
//   " 0", then one row "x y z bx by bz" per node, the x index slowest and
//   the z index fastest.
//
// Node coordinates are XMIN + (i - 1) * DX etc., computed in double
// precision and rounded once to single precision, as the map places its
// nodes.  Every number is the shortest decimal that reads back as exactly
// the same single-precision value, so a table read back gives the same
// field values bit for bit.  Lines end with LF.
#pragma once

#include <string>
#include <string_view>

#include "mapfile/grid.h"

namespace fieldscan::fieldmap {

// The table of the grid `grid` with its field values `values` (BMAP order;
// at least 3 * NX * NY * NZ of them).  A grid with a count of 0 or less
// gives the header alone.  A non-empty `length_unit` or `field_unit` is
// written after the names of the coordinate or field columns (" 1 X [mm]").
std::string format_table(const GridSize& grid, const float* values,
                         std::string_view length_unit = {}, std::string_view field_unit = {});

}  // namespace fieldscan::fieldmap
