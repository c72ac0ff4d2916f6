#include "fieldscan/formats/grid_finder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "fieldscan/formats/unicode_text.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

// One unit in the last place of single precision at magnitude `m`.
double float_ulp(double m) {
  const float f = static_cast<float>(std::fabs(m));
  return static_cast<double>(std::nextafter(f, std::numeric_limits<float>::infinity())) -
         static_cast<double>(f);
}

const char* const kAxis[3] = {"x", "y", "z"};
const char* const kCount[3] = {"NX", "NY", "NZ"};

// `v` with three significant digits.
std::string rounded_text(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3g", v);
  return buffer;
}

// How many of `values` the grid of step `step` puts exactly on a node
// position (as the map's readers compute it: in double, rounded to float).
std::size_t exact_nodes(const std::vector<float>& values, double min, float step) {
  std::size_t exact = 0;
  for (const float v : values) {
    const double k = std::nearbyint((static_cast<double>(v) - min) / step);
    if (to_single(min + k * static_cast<double>(step)) == v) ++exact;
  }
  return exact;
}

// Tries a grid of `n` nodes from values.front() to values.back().
bool try_grid(const std::vector<float>& values, std::int32_t n, double single_plane_tolerance,
              AxisGrid& g) {
  const double lo = values.front();
  const double span = static_cast<double>(values.back()) - lo;
  const double ulp = float_ulp(std::max(std::fabs(lo), std::fabs(double{values.back()})));
  g.min = values.front();
  g.n = n;
  if (n == 1) {
    g.step = 1.0f;
    g.tolerance = single_plane_tolerance;
    return span <= g.tolerance;
  }
  if (!(span > single_plane_tolerance)) return false;  // one plane cannot make n > 1
  const double exact_step = span / (n - 1);
  // The rounding of the coordinates leaves the step uncertain by about one
  // unit in the last place of the largest coordinate over the n - 1 steps;
  // look at every single-precision step within that (and two more units).
  const float rounded = to_single(exact_step);
  if (!std::isfinite(rounded)) return false;
  const double step_ulp = float_ulp(rounded);
  const double spread = ulp / step_ulp / static_cast<double>(n - 1);
  const int radius = 2 + static_cast<int>(std::min(spread, 64.0));
  float best = rounded;
  bool best_full = false;
  std::size_t best_digits = SIZE_MAX;
  float candidate = rounded;
  for (int d = 0; d < radius && candidate > 0; ++d) candidate = std::nextafter(candidate, 0.0f);
  for (int c = 0; c <= 2 * radius; ++c, candidate = std::nextafter(candidate, INFINITY)) {
    if (!(candidate > 0)) continue;
    const bool full = exact_nodes(values, lo, candidate) == values.size();
    const std::size_t digits = float_text(candidate).size();
    const bool better = full != best_full ? full
                        : digits != best_digits
                            ? digits < best_digits
                            : std::fabs(candidate - exact_step) < std::fabs(best - exact_step);
    if (better) {
      best = candidate;
      best_full = full;
      best_digits = digits;
    }
  }
  g.step = best;
  g.tolerance = 1e-3 * static_cast<double>(best) + ulp;
  if (!(g.step > 0) || !std::isfinite(g.step)) return false;
  return std::all_of(values.begin(), values.end(), [&](float v) { return node_of(g, v) >= 0; });
}

}  // namespace

std::int64_t grid_node(double min, double step, std::int64_t n, double tolerance, double v) {
  const double k = std::nearbyint((v - min) / step);
  if (!(k >= 0 && k < static_cast<double>(n))) return -1;
  if (std::fabs(v - (min + k * step)) > tolerance) return -1;
  return static_cast<std::int64_t>(k);
}

std::int64_t node_of(const AxisGrid& g, float v) {
  return grid_node(g.min, g.step, g.n, g.tolerance, v);
}

float node_position(const AxisGrid& g, std::int64_t k) {
  return to_single(static_cast<double>(g.min) +
                   static_cast<double>(k) * static_cast<double>(g.step));
}

AxisGrid fixed_axis(float min, float step, std::int32_t n) {
  AxisGrid g;
  g.min = min;
  g.step = step;
  g.n = n;
  g.tolerance = grid_tolerance(min, step, n);
  return g;
}

double grid_tolerance(double min, double step, std::int32_t n) {
  const double last = min + (n - 1.0) * step;
  return 1e-3 * step + float_ulp(std::max(std::fabs(min), std::fabs(last)));
}

AxisFit fit_axis(const std::vector<float>& values, std::int32_t count, AxisGrid& grid) {
  const double lo = values.front();
  const double hi = values.back();
  const double ulp = float_ulp(std::max(std::fabs(lo), std::fabs(hi)));
  // Group the values into planes: a value further than `eps` from the first
  // value of the current plane opens the next one.  The largest gap between
  // neighbours is the step when every plane holds a value, however many
  // slightly different values a plane holds.
  double gap = 0;
  for (std::size_t i = 1; i < values.size(); ++i) {
    gap = std::max(gap, static_cast<double>(values[i]) - static_cast<double>(values[i - 1]));
  }
  const double eps = 1e-3 * gap + ulp;
  std::int32_t planes = 0;
  double plane_start = -INFINITY;
  for (const float v : values) {
    if (static_cast<double>(v) - plane_start > eps) {
      ++planes;
      plane_start = v;
    }
  }
  const std::int32_t n = count > 0 ? count : planes;
  if (try_grid(values, n, eps, grid)) return AxisFit::regular;
  if (count > 0 && planes != count) {
    AxisGrid other;
    if (try_grid(values, planes, eps, other)) {
      grid = other;
      return AxisFit::count_mismatch;
    }
  }
  return AxisFit::irregular;
}

namespace {

// The grid along axis `a` from the header lines' origin and step: with the
// header's count, or (plain form) as many nodes as reach the largest
// coordinate.  False when that count is beyond any grid the map can hold.
bool header_axis(const Table& table, int a, std::int64_t capacity, AxisGrid& g) {
  const float min = (*table.header.origin)[static_cast<std::size_t>(a)];
  const float step = (*table.header.steps)[static_cast<std::size_t>(a)];
  std::int32_t n = table.header_form ? table.counts[a] : 1;
  if (!table.header_form) {
    double top = 0;
    for (const TableRow& r : table.rows) {
      const float v = a == 0 ? r.x : a == 1 ? r.y : r.z;
      top = std::max(top, std::nearbyint((static_cast<double>(v) - min) / step));
    }
    if (!(top < static_cast<double>(capacity))) return false;
    n = static_cast<std::int32_t>(top) + 1;
  }
  g = fixed_axis(min, step, n);
  return true;
}

bool fail(TableError& error, std::uint64_t line, std::uint64_t column, const std::string& message) {
  error.line = line;
  error.column = column;
  error.message = printable(message);
  return false;
}

// The grid of every axis: from the #map lines when they give origin and
// steps, otherwise fitted to the distinct coordinates of the rows.
bool find_axes(const Table& table, std::int64_t capacity, AxisGrid* grid, TableError& error) {
  const TableRow& first = table.rows.front();
  const bool fixed = table.header.origin.has_value() && table.header.steps.has_value();
  std::vector<float> values;
  if (!fixed) values.reserve(table.rows.size());
  for (int a = 0; a < 3; ++a) {
    if (fixed) {
      if (!header_axis(table, a, capacity, grid[a])) {
        return fail(error, first.line, first.column(a),
                    std::string("on the grid of the #map lines the ") + kAxis[a] +
                        " coordinates need more than the capacity of " + std::to_string(capacity) +
                        " values");
      }
      continue;
    }
    values.clear();
    for (const TableRow& r : table.rows) values.push_back(a == 0 ? r.x : a == 1 ? r.y : r.z);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    const std::int32_t count = table.header_form ? table.counts[a] : 0;
    if (fit_axis(values, count, grid[a]) == AxisFit::count_mismatch) {
      return fail(error, table.counts_line, table.counts_column[a],
                  std::string("the count does not match the header: ") + kCount[a] + " is " +
                      std::to_string(count) + " but the " + kAxis[a] + " coordinates lie on " +
                      std::to_string(grid[a].n) + " grid planes");
    }
  }
  return true;
}

// Every node must have a place of its own in single precision, or the
// map could not be written back as a table.
bool nodes_distinct(const Table& table, const AxisGrid* grid, TableError& error) {
  const TableRow& first = table.rows.front();
  for (int a = 0; a < 3; ++a) {
    for (std::int32_t k = 0; k < grid[a].n; ++k) {
      const float v = node_position(grid[a], k);
      if (!std::isfinite(v) || node_of(grid[a], v) != k) {
        return fail(error, first.line, first.column(a),
                    std::string("the ") + kAxis[a] + " position of node " + std::to_string(k + 1) +
                        " (" + float_text(v) + ") of the grid " + float_text(grid[a].min) +
                        " + k * " + float_text(grid[a].step) +
                        " cannot be told apart from its neighbours in single precision");
      }
    }
  }
  return true;
}

// The node index of `row` on the grid, or false (with the message) when a
// coordinate lies on no node.
bool node_index(const TableRow& row, const AxisGrid* grid, bool fixed, std::size_t* index,
                TableError& error) {
  const float coordinate[3] = {row.x, row.y, row.z};
  for (int a = 0; a < 3; ++a) {
    const std::int64_t k = node_of(grid[a], coordinate[a]);
    if (k < 0) {
      const AxisGrid& g = grid[a];
      return fail(error, row.line, row.column(a),
                  std::string("irregular grid: ") + kAxis[a] + " = " + float_text(coordinate[a]) +
                      " is not within " + rounded_text(g.tolerance) + " of " + float_text(g.min) +
                      " + k * " + float_text(g.step) + " for any k from 0 to " +
                      std::to_string(g.n - 1) + (fixed ? " (the grid of the #map lines)" : ""));
    }
    index[a] = static_cast<std::size_t>(k);
  }
  return true;
}

// Stores the field of `row` at `node`; a finite field that reads as
// unmeasured without being the mark itself is noted.
void store_row(const TableRow& row, std::size_t node, MapContents& contents, BuildNotes* notes) {
  if (!(std::isfinite(row.b[0]) && std::isfinite(row.b[1]) && std::isfinite(row.b[2]))) return;
  std::copy(row.b, row.b + 3, contents.values.begin() + static_cast<std::ptrdiff_t>(3 * node));
  const bool marked =
      row.b[0] == kUnmeasuredMark && row.b[1] == kUnmeasuredMark && row.b[2] == kUnmeasuredMark;
  if (notes && is_unmeasured(row.b) && !marked) {
    if (notes->made_unmeasured_lines.size() < 5) notes->made_unmeasured_lines.push_back(row.line);
    ++notes->made_unmeasured;
  }
}

// Puts every row on its node of `grid` (nodes no row gives stay unmeasured).
bool place_rows(const Table& table, const AxisGrid* grid, std::size_t node_count,
                MapContents& contents, TableError& error, BuildNotes* notes) {
  const bool fixed = table.header.origin.has_value() && table.header.steps.has_value();
  const auto nx = static_cast<std::size_t>(grid[0].n);
  const auto ny = static_cast<std::size_t>(grid[1].n);
  std::vector<std::uint32_t> row_at(node_count, 0);  // 1-based row number, 0: absent
  contents.values.assign(3 * node_count, kUnmeasuredMark);

  for (std::size_t r = 0; r < table.rows.size(); ++r) {
    const TableRow& row = table.rows[r];
    std::size_t index[3];
    if (!node_index(row, grid, fixed, index, error)) return false;
    const std::size_t node = (index[2] * ny + index[1]) * nx + index[0];
    if (row_at[node] != 0) {
      return fail(error, row.line, row.column(0),
                  "duplicate node (" + std::to_string(index[0] + 1) + ", " +
                      std::to_string(index[1] + 1) + ", " + std::to_string(index[2] + 1) +
                      "), first given on line " +
                      std::to_string(table.rows[row_at[node] - 1].line));
    }
    row_at[node] = static_cast<std::uint32_t>(r + 1);
    store_row(row, node, contents, notes);
  }
  return true;
}

}  // namespace

bool build_map(const Table& table, MapContents& contents, TableError& error, BuildNotes* notes,
               std::int64_t capacity) {
  if (table.rows.empty()) return fail(error, 1, 1, "the table has no rows");
  const TableRow& first = table.rows.front();

  AxisGrid grid[3];
  if (!find_axes(table, capacity, grid, error)) return false;
  if (!nodes_distinct(table, grid, error)) return false;

  const unsigned __int128 nodes = static_cast<unsigned __int128>(grid[0].n) *
                                  static_cast<unsigned __int128>(grid[1].n) *
                                  static_cast<unsigned __int128>(grid[2].n);
  if (3 * nodes > static_cast<unsigned __int128>(capacity)) {
    return fail(error, first.line, first.column(0),
                "the grid of " + std::to_string(grid[0].n) + " x " + std::to_string(grid[1].n) +
                    " x " + std::to_string(grid[2].n) + " nodes needs more than the capacity of " +
                    std::to_string(capacity) + " values");
  }
  if (!place_rows(table, grid, static_cast<std::size_t>(nodes), contents, error, notes)) {
    return false;
  }

  contents.xmin = grid[0].min;
  contents.ymin = grid[1].min;
  contents.zmin = grid[2].min;
  contents.dx = grid[0].step;
  contents.dy = grid[1].step;
  contents.dz = grid[2].step;
  contents.nx = grid[0].n;
  contents.ny = grid[1].n;
  contents.nz = grid[2].n;
  return true;
}

}  // namespace fieldscan::fieldmap
