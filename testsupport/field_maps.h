// Maps of fields given by formulas, for tests of the analyses: the nodes of
// a grid filled from a function of the position (mapfile/map_writer.h).
// Fields linear in the coordinates are reproduced by the trilinear
// interpolation to rounding, so what a test expects can be written from the
// formula.
#pragma once

#include <array>
#include <functional>
#include <string>

#include "fieldscan/field/field_map.h"
#include "fieldscan/mapfile/map_contents.h"
#include "fieldscan/mapfile/map_writer.h"

namespace fieldscan::testsupport {

using FieldFormula = std::function<std::array<float, 3>(double x, double y, double z)>;

// A grid of n x n x nz nodes of step `step` starting at (origin, origin,
// zmin), with `angle` (degrees) and reflection indices (ida, idb, idc).
struct GridSpec {
  float origin = 0, zmin = 0, step = 1;
  int n = 21, nz = 3;
  float angle = 90;
  std::array<int, 3> reflection = {0, 0, 0};
};

inline MapContents formula_contents(const GridSpec& g, const FieldFormula& f) {
  MapContents c;
  c.xmin = c.ymin = g.origin;
  c.zmin = g.zmin;
  c.dx = c.dy = c.dz = g.step;
  c.nx = c.ny = g.n;
  c.nz = g.nz;
  c.angle = g.angle;
  c.ida = g.reflection[0], c.idb = g.reflection[1], c.idc = g.reflection[2];
  fill_values(c, [&f](float x, float y, float z) { return f(x, y, z); });
  return c;
}

inline FieldMap formula_map(const GridSpec& g, const FieldFormula& f) {
  FieldMap map;
  MapError error;
  if (!FieldMap::from_contents(formula_contents(g, f), map, error)) return FieldMap{};
  return map;
}

// The normal quadrupole B = G (y, x, 0) and the skew one B = G (-x, y, 0).
inline FieldFormula quadrupole(double g) {
  return [g](double x, double y, double) {
    return std::array<float, 3>{static_cast<float>(g * y), static_cast<float>(g * x), 0.0f};
  };
}
inline FieldFormula skew_quadrupole(double g) {
  return [g](double x, double y, double) {
    return std::array<float, 3>{static_cast<float>(-g * x), static_cast<float>(g * y), 0.0f};
  };
}

}  // namespace fieldscan::testsupport
