// How a map's field between its nodes is found: the trilinear interpolation
// of the eight nodes of a cell (FIELDS' own), or the tricubic convolution of
// the 4 x 4 x 4 nodes around the point (see field/cubic.h).
#pragma once

#include <string_view>

namespace fieldscan {

enum class Interpolation { kLinear, kCubic };

// "linear" or "cubic"; false for any other name.
inline bool parse_interpolation(std::string_view name, Interpolation& method) {
  if (name == "linear") {
    method = Interpolation::kLinear;
  } else if (name == "cubic") {
    method = Interpolation::kCubic;
  } else {
    return false;
  }
  return true;
}

inline std::string_view interpolation_name(Interpolation method) {
  return method == Interpolation::kCubic ? "cubic" : "linear";
}

}  // namespace fieldscan
