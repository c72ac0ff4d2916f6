// A field map as a value: its header items, its node values and the field
// at any point, with exactly the arithmetic of FIELDS (mirror planes, sector
// symmetry, unmeasured nodes, trilinear interpolation).
//
// Unlike LOAD and FIELDS, which work on the one map of the console (SIZE and
// the fixed-capacity BMAP), a FieldMap owns storage sized to its map, any
// number of them may exist at once, and a const FieldMap may be evaluated
// from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fieldscan/field/field_status.h"
#include "fieldscan/field/interpolation.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan {

// The limits the evaluation applies along each axis of `grid`: low[a] and
// high[a] are the lowest and highest single-precision coordinates on that
// axis (the other two inside) that are not refused as outside it.  They are
// the grid's XLOW .. ZHIGH except where the fold of the point (its offset
// from the origin, rounded, added back to the origin, rounded) carries a
// coordinate at a limit a few units in the last place past it; then the
// nearest coordinate that stays inside.  On a sector map the y limits hold
// along the y axis only (elsewhere the sector fold decides).
void evaluated_limits(const GridSize& grid, float low[3], float high[3]);

// Why a map could not be made: LOAD's status (1..8) and message, without
// its blank padding.
struct MapError {
  std::int16_t status = 0;
  std::string message;
};

class FieldMap {
 public:
  // An empty map (no nodes): every point is outside its limits.
  FieldMap() = default;

  // Reads the map file named `name` (leading and trailing blanks removed)
  // as LOAD does, with a capacity of `capacity` values (LOAD's is MXS).
  // True and `map` replaced on success; false with LOAD's status and
  // message in `error`, and `map` untouched, on failure.
  static bool load(std::string_view name, FieldMap& map, MapError& error,
                   std::int64_t capacity = MXS);

  // The same on the bytes of a whole map file held in memory.
  static bool load_bytes(std::string_view bytes, FieldMap& map, MapError& error,
                         std::int64_t capacity = MXS);

  // A map from items held in memory (ANGLE in degrees, as stored in a
  // file), with the limits derived exactly as LOAD derives them.
  // `contents.values` must hold 3 * nx * ny * nz values (none when a count is
  // not positive); otherwise false with status 8 and LOAD's message for
  // unreadable planes.  No capacity applies.
  static bool from_contents(MapContents contents, FieldMap& map, MapError& error);

  // The items as stored in the file (ANGLE in degrees) and the node values,
  // component fastest, then x, y and z index.
  const MapContents& contents() const { return contents_; }
  // The grid as LOAD leaves SIZE: ANGLE in radians, limits derived.
  const GridSize& grid() const { return grid_; }

  // The field at (x, y, z): kOk and `b` set, or the reason and `b`
  // untouched.  Bit for bit what FIELDS gives for the same map.
  FieldStatus field(float x, float y, float z, FieldVector& b) const;

  // The field at the points (x[n], y[n], z[n]): b[n] and status[n] as
  // field() would give them (b[n] is left untouched where status[n] is not
  // kOk).  All five spans must have the same length.  The points are shared
  // among at most `threads` threads (0: one per core), as many as
  // batch_threads (field/batch_threads.h) finds worth starting.
  void field(std::span<const float> x, std::span<const float> y, std::span<const float> z,
             std::span<FieldVector> b, std::span<FieldStatus> status, unsigned threads = 1) const;

  // The same by the interpolation `method` (field/cubic.h); linear is the
  // calls above, bit for bit.
  FieldStatus field(float x, float y, float z, FieldVector& b, Interpolation method) const;
  void field(std::span<const float> x, std::span<const float> y, std::span<const float> z,
             std::span<FieldVector> b, std::span<FieldStatus> status, unsigned threads,
             Interpolation method) const;

 private:
  MapContents contents_;
  GridSize grid_;
};

}  // namespace fieldscan
