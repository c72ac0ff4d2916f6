// Map contents whose node values are a given field sampled at the nodes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan::testsupport {

using FieldFormula = std::function<std::array<double, 3>(double x, double y, double z)>;

// nx x ny x nz nodes from `origin` at `step`; each node the formula rounded
// once to single precision.
inline MapContents sampled_map(std::array<std::int32_t, 3> counts, std::array<float, 3> origin,
                               std::array<float, 3> step, const FieldFormula& f) {
  MapContents m;
  m.nx = counts[0], m.ny = counts[1], m.nz = counts[2];
  m.xmin = origin[0], m.ymin = origin[1], m.zmin = origin[2];
  m.dx = step[0], m.dy = step[1], m.dz = step[2];
  m.values.reserve(std::size_t{3} * m.nx * m.ny * m.nz);
  for (std::int32_t k = 0; k < m.nz; ++k) {
    for (std::int32_t j = 0; j < m.ny; ++j) {
      for (std::int32_t i = 0; i < m.nx; ++i) {
        const auto b = f(origin[0] + double{step[0]} * i, origin[1] + double{step[1]} * j,
                         origin[2] + double{step[2]} * k);
        for (double v : b) m.values.push_back(static_cast<float>(v));
      }
    }
  }
  return m;
}

}  // namespace fieldscan::testsupport
