// FIELDS: the field of the loaded map at one point.
//
// The map covers part of space; the rest follows from its symmetries, all
// centred on the grid origin (XMIN, YMIN, ZMIN): mirror planes x = XMIN,
// y = YMIN, z = ZMIN enabled by the reflection indices IDA, IDB, IDC, and a
// sector symmetry of angle |ANGLE| about the z axis through the origin
// (ANGLE = 0: full rotational symmetry).  Inside the covered region the
// field is the trilinear interpolation of the eight nodes of the cell.
#pragma once

#include <cstdint>

#include "fieldscan/mapfile/grid.h"
#include "fieldscan/textio/text.h"

namespace fieldscan {

// Evaluates the map loaded into SIZE and BMAP (of capacity MXS) at
// (X, Y, Z).  Reads at most the eight nodes of one cell, never a node
// outside the loaded grid, and allocates nothing.
//
// STATUS 0: BX, BY, BZ hold the field; MESSAGE is left untouched.
// STATUS 1..4: MESSAGE holds the reason, blank-padded to 80 characters, and
// BX, BY, BZ are left untouched:
//   1 "Point is outside X-limits"   3 "Point is outside Z-limits"
//   2 "Point is outside Y-limits"   4 "Non measured point - probably iron"
void FIELDS(const float BMAP[], const std::int32_t& MXS, const float& X, const float& Y,
            const float& Z, float& BX, float& BY, float& BZ, Text80& MESSAGE, std::int16_t& STATUS);

}  // namespace fieldscan
