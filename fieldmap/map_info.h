// What `fieldmap info` tells about a map: the texts of its first records
// (which LOAD reads but does not keep), counts and ranges of its nodes,
// and the report itself.
#pragma once

#include <cstdint>
#include <string>

#include "mapfile/grid.h"

namespace fieldscan::fieldmap {

// Records 1 to 3 of a map file, as stored (texts with their blanks).
struct MapTexts {
  std::string title;          // 80 characters
  std::string date;           // 18
  std::string axa, axb, axc;  // 8 each
  float angle_degrees = 0;    // the file's angle, before conversion
};

// Reads records 1 to 3 of the map file `path` by the map's record framing
// (a record may be longer than its items; the rest is skipped).  False,
// `texts` unspecified, when the file cannot be opened or one of the three
// records is missing, short or cut off.
bool read_map_texts(const std::string& path, MapTexts& texts);

// Node counts and component ranges.  A node is unmeasured when all three
// of its components are above 900000.0; the ranges cover measured nodes
// only, and a NaN component takes no part in them.
struct NodeStats {
  std::int64_t measured = 0;
  std::int64_t unmeasured = 0;
  bool any_range = false;  // false: no measured node holds a number
  float min[3] = {0, 0, 0};
  float max[3] = {0, 0, 0};
};

// Stats of the grid's 3 * NX * NY * NZ values (none when a count is 0 or
// less).
NodeStats node_stats(const GridSize& grid, const float* values);

// The report, one item per line: file name, title, date, axis texts,
// angle (degrees as in the file, radians as loaded), reflection indices,
// origin, steps, counts, limits, node counts and component ranges.
std::string format_info(const std::string& path, const MapTexts& texts, const GridSize& grid,
                        const NodeStats& stats);

}  // namespace fieldscan::fieldmap
