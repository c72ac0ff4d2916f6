// A map on another grid: each node of the new grid holds the field of the
// input map there, by the interpolation chosen.
//
// The new grid spans a box (by default the input's stored nodes) with given
// steps or node counts.  Symmetry: the new map keeps a reflection index
// where its box starts on that mirror plane (the input's first node plane)
// and the sector angle where its box starts at the sector's corner (the
// input's first node on x and y); otherwise it holds the field explicitly,
// unfolded, without that symmetry.  A node the input cannot evaluate
// (outside its limits, unmeasured) becomes unmeasured.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "fieldscan/field/field_map.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan::fieldmap {

struct ResampleRequest {
  // Exactly one of: the steps (each positive) or the node counts (each at
  // least 1) of the three axes.
  std::optional<std::array<double, 3>> step;
  std::optional<std::array<std::int64_t, 3>> counts;
  // First and last coordinate of each axis; unset: the input's stored nodes.
  std::optional<std::array<std::array<double, 2>, 3>> box;
  Interpolation method = Interpolation::kLinear;
  // The most values the new map may hold.
  std::int64_t capacity = MXS;
};

struct ResampleResult {
  MapContents contents;   // header items of the input, the new grid and values
  bool unfolded = false;  // a symmetry of the input is not kept
  std::int64_t unmeasured = 0;
};

// The new map.  False with the reason in `why` for a box axis that is
// reversed or not finite, more than one node on an axis of zero width, and
// a grid of more than `capacity` values (the reason then names node counts
// that fit).
bool resample(const FieldMap& input, const ResampleRequest& request, ResampleResult& result,
              std::string& why);

// "NX x NY x NZ nodes, M measured, U unmeasured; symmetry kept (reflection
// A,B,C, angle D)" or "...; unfolded: no symmetry".
std::string resample_summary(const ResampleResult& result);

}  // namespace fieldscan::fieldmap
