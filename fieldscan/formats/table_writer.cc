#include "fieldscan/formats/table_writer.h"

#include <cmath>
#include <cstddef>
#include <vector>

#include "fieldscan/formats/grid_finder.h"
#include "fieldscan/formats/map_header.h"
#include "fieldscan/formats/units.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

const char* const kAxis[3] = {"x", "y", "z"};

AxisGrid axis_of(const MapContents& c, int a) {
  return a == 0   ? fixed_axis(c.xmin, c.dx, c.nx)
         : a == 1 ? fixed_axis(c.ymin, c.dy, c.ny)
                  : fixed_axis(c.zmin, c.dz, c.nz);
}

// Node positions along one axis, as text.
std::vector<std::string> positions(const AxisGrid& g) {
  std::vector<std::string> out;
  for (std::int32_t i = 0; i < g.n; ++i) {
    std::string s;
    append_float(s, node_position(g, i));
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace

std::string table_problem(const MapContents& c) {
  const std::int32_t counts[3] = {c.nx, c.ny, c.nz};
  const float origin[3] = {c.xmin, c.ymin, c.zmin};
  const float steps[3] = {c.dx, c.dy, c.dz};
  static const char* const count_name[3] = {"NX", "NY", "NZ"};
  static const char* const step_name[3] = {"DX", "DY", "DZ"};
  static const char* const min_name[3] = {"XMIN", "YMIN", "ZMIN"};
  for (int a = 0; a < 3; ++a) {
    if (counts[a] < 1) {
      return std::string("the count ") + count_name[a] + " is " + std::to_string(counts[a]) +
             ", a table needs at least one node along each axis";
    }
  }
  const std::int64_t nodes = std::int64_t{c.nx} * c.ny * c.nz;
  if (3 * nodes > MXS)
    return "the grid needs more than the capacity of " + std::to_string(MXS) + " values";
  for (int a = 0; a < 3; ++a) {
    std::string value;
    append_float(value, steps[a]);
    if (!std::isfinite(steps[a]) || !(steps[a] > 0)) {
      return std::string("the step ") + step_name[a] + " is " + value +
             ", a table needs a finite positive step";
    }
    if (!std::isfinite(origin[a])) return std::string(min_name[a]) + " is not a finite number";
  }
  if (!std::isfinite(c.angle)) return "the angle is not a finite number";
  for (int a = 0; a < 3; ++a) {
    const AxisGrid g = axis_of(c, a);
    for (std::int32_t k = 0; k < g.n; ++k) {
      const float v = node_position(g, k);
      if (!std::isfinite(v) || node_of(g, v) != k) {
        std::string at;
        append_float(at, v);
        return std::string("the ") + kAxis[a] + " position of node " + std::to_string(k + 1) +
               " (" + at + ") cannot be told apart from its neighbours in single precision";
      }
    }
  }
  if (c.values.size() < static_cast<std::size_t>(3 * nodes)) {
    return "the map holds fewer values than its nodes need";
  }
  for (std::size_t n = 0; n < static_cast<std::size_t>(3 * nodes); ++n) {
    if (!std::isfinite(c.values[n])) {
      const std::size_t node = n / 3;
      const auto nx = static_cast<std::size_t>(c.nx), ny = static_cast<std::size_t>(c.ny);
      return "node (" + std::to_string(node % nx + 1) + ", " + std::to_string(node / nx % ny + 1) +
             ", " + std::to_string(node / nx / ny + 1) +
             ") holds a value that is not a finite number, which a table cannot carry back";
    }
  }
  return {};
}

void write_table(const MapContents& c, const std::function<bool(std::string_view)>& sink) {
  std::string out = format_header_lines(c);
  out +=
      ' ' + std::to_string(c.nx) + ' ' + std::to_string(c.ny) + ' ' + std::to_string(c.nz) + '\n';
  // The units that the axis texts record, after the column names.
  const Units units = recorded_units(c.axa, c.axb, c.axc);
  const std::string l = units.length ? " [" + std::string(unit_name(*units.length)) + "]" : "";
  const std::string f = units.field ? " [" + std::string(unit_name(*units.field)) + "]" : "";
  out += " 1 X" + l + "\n 2 Y" + l + "\n 3 Z" + l + "\n 4 BX" + f + "\n 5 BY" + f + "\n 6 BZ" + f +
         "\n 0\n";
  if (c.nx <= 0 || c.ny <= 0 || c.nz <= 0) {
    sink(out);
    return;
  }
  const auto xs = positions(axis_of(c, 0));
  const auto ys = positions(axis_of(c, 1));
  const auto zs = positions(axis_of(c, 2));
  const auto nx = static_cast<std::size_t>(c.nx);
  const auto ny = static_cast<std::size_t>(c.ny);
  const auto nz = static_cast<std::size_t>(c.nz);
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  for (std::size_t i = 0; i < nx; ++i) {
    for (std::size_t j = 0; j < ny; ++j) {
      for (std::size_t k = 0; k < nz; ++k) {
        out += xs[i];
        out += ' ';
        out += ys[j];
        out += ' ';
        out += zs[k];
        const std::size_t at = 3 * ((k * ny + j) * nx + i);
        for (std::size_t m = 0; m < 3; ++m) {
          out += ' ';
          append_float(out, at + m < c.values.size() ? c.values[at + m] : 0.0f);
        }
        out += '\n';
        if (out.size() >= kPiece) {
          if (!sink(out)) return;
          out.clear();
        }
      }
    }
  }
  if (!out.empty()) sink(out);
}

std::string format_table(const MapContents& contents) {
  std::string table;
  write_table(contents, [&table](std::string_view piece) {
    table += piece;
    return true;
  });
  return table;
}

}  // namespace fieldscan::fieldmap
