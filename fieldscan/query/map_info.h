// What `fieldmap info` tells about a map: its header items, counts and
// ranges of its nodes, and the report itself.
#pragma once

#include <cstdint>
#include <string>

#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan::fieldmap {

// Node counts and component ranges.  A node is unmeasured by the rule of
// mapfile/node.h; the ranges cover measured nodes only, and a NaN component
// takes no part in them.
struct NodeStats {
  std::int64_t measured = 0;
  std::int64_t unmeasured = 0;
  bool any_range = false;  // false: no measured node holds a number
  float min[3] = {0, 0, 0};
  float max[3] = {0, 0, 0};
};

// Stats of the grid's 3 * NX * NY * NZ values (none when a count is 0 or
// less, or when `contents` holds fewer values).
NodeStats node_stats(const MapContents& contents);

// The report, one item per line: file name, title, date, axis texts,
// angle (degrees as in the file, radians as loaded), reflection indices,
// origin, steps, counts, limits, node counts and component ranges.  The
// stored items come from `contents`, the angle in radians from `grid` (as
// LOAD derives it from the same reading), and the limits are those the
// evaluation applies to `grid` (evaluated_limits), so that each printed
// limit reads back as a coordinate that is evaluated.
std::string format_info(const std::string& path, const MapContents& contents, const GridSize& grid,
                        const NodeStats& stats);

}  // namespace fieldscan::fieldmap
