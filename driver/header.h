// The map header: the geometry of the loaded map, written once to the
// console after a successful load and before the first scan request.
#pragma once

#include "fieldscan/mapfile/grid.h"
#include "fieldscan/textio/output.h"

namespace fieldscan {

// Writes the header rows for `size`: symmetry angle in degrees and its
// repeat count, reflection indices, reference point, the limits of the
// covered region and the grid steps.  No empty line follows the last row.
void write_map_header(OutputStream& console, const GridSize& size);

}  // namespace fieldscan
