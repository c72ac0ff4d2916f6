// Reading map files into any storage: the one reader behind LOAD (the
// console's map in SIZE and BMAP) and FieldMap (a map that owns its values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "fieldscan/mapfile/byte_source.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_contents.h"
#include "fieldscan/textio/text.h"

namespace fieldscan {

// Reads the map records from `source` (positioned at the first record).
// Each item goes to `grid` (ANGLE converted to radians once its record is
// complete) or, if the grid description has no place for it, to `items`;
// the grid's items are copied to `items` as well (ANGLE in degrees there).
// After the capacity check (3 * NX * NY * NZ values at most `capacity`),
// `storage(n)` is asked once for room for the n values of the planes, which
// are read straight into it.  On success the limits are derived and 0 is
// returned.  Otherwise the status is LOAD's (2 to 8), `message` holds its
// text blank-padded, every item read completely keeps its new value, planes
// read before the failing one stay in the storage and the limits are
// unchanged.  Never writes past the n values, never allocates memory whose
// size comes from the data, and reads no further than the last record it
// needs.
std::int16_t read_map(ByteSource& source, GridSize& grid, MapContents& items, std::int64_t capacity,
                      const std::function<float*(std::size_t)>& storage, Text80& message);

// The same on the file named `name`, opened read-only; status 1 when it
// cannot be opened or is a directory.
std::int16_t read_map_file(std::string_view name, GridSize& grid, MapContents& items,
                           std::int64_t capacity, const std::function<float*(std::size_t)>& storage,
                           Text80& message);

// LOAD on bytes that are already open (status 2 to 8 only).
void load_from_source(ByteSource& source, float BMAP[], const std::int32_t& MXS, Text80& MESSAGE,
                      std::int16_t& STATUS);

// The symmetry angle in radians, from degrees, as the loader converts it.
float degrees_to_radians(float degrees);

// Whether a map of symmetry angle `angle` (radians) is a plain quadrant
// map: its angle within 1e-5 of 90 degrees.  Such a map covers its own y
// extent, and every other format can hold it.
bool is_quadrant(float angle);

// The limits of the region the map covers (XLOW .. ZHIGH), from its grid,
// steps, angle (radians) and reflection indices.
void derive_limits(GridSize& grid);

}  // namespace fieldscan
