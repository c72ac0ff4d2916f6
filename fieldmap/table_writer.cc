#include "fieldmap/table_writer.h"

#include <cstddef>
#include <vector>

#include "fieldmap/number.h"

namespace fieldscan::fieldmap {
namespace {

// Node positions along one axis, as text.
std::vector<std::string> positions(float min, float step, std::int32_t n) {
  std::vector<std::string> out;
  for (std::int32_t i = 0; i < n; ++i) {
    std::string s;
    append_float(
        s, to_float(static_cast<double>(min) + static_cast<double>(i) * static_cast<double>(step)));
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace

std::string format_table(const GridSize& grid, const float* values, std::string_view length_unit,
                         std::string_view field_unit) {
  std::string out;
  out += ' ' + std::to_string(grid.NX) + ' ' + std::to_string(grid.NY) + ' ' +
         std::to_string(grid.NZ) + '\n';
  const std::string l = length_unit.empty() ? "" : " [" + std::string(length_unit) + "]";
  const std::string f = field_unit.empty() ? "" : " [" + std::string(field_unit) + "]";
  out += " 1 X" + l + "\n 2 Y" + l + "\n 3 Z" + l + "\n 4 BX" + f + "\n 5 BY" + f + "\n 6 BZ" + f +
         "\n 0\n";
  if (grid.NX <= 0 || grid.NY <= 0 || grid.NZ <= 0) return out;

  const auto xs = positions(grid.XMIN, grid.DX, grid.NX);
  const auto ys = positions(grid.YMIN, grid.DY, grid.NY);
  const auto zs = positions(grid.ZMIN, grid.DZ, grid.NZ);
  const auto nx = static_cast<std::size_t>(grid.NX);
  const auto ny = static_cast<std::size_t>(grid.NY);
  const auto nz = static_cast<std::size_t>(grid.NZ);
  out.reserve(out.size() + nx * ny * nz * 64);
  for (std::size_t i = 0; i < nx; ++i) {
    for (std::size_t j = 0; j < ny; ++j) {
      for (std::size_t k = 0; k < nz; ++k) {
        out += xs[i];
        out += ' ';
        out += ys[j];
        out += ' ';
        out += zs[k];
        const float* b = values + 3 * ((k * ny + j) * nx + i);
        for (int c = 0; c < 3; ++c) {
          out += ' ';
          append_float(out, b[c]);
        }
        out += '\n';
      }
    }
  }
  return out;
}

}  // namespace fieldscan::fieldmap
