#include "fieldscan/field/cubic.h"

#include <algorithm>

#include "fieldscan/mapfile/node.h"

namespace fieldscan {
namespace {

// The held nodes of one axis of the grid.
std::int64_t axis_nodes(const GridSize& grid, std::int64_t capacity, int axis) {
  if (axis == 0) return grid.NX;
  if (axis == 1) return grid.NY;
  return held_planes(grid, capacity);
}

// Adds the weight `w` of the missing node `p` (-1 or `nodes`) of an axis to
// the weights `acc` of the real nodes it stands for; acc[m] belongs to node
// lower - 1 + m.
void add_missing(std::int64_t p, std::int64_t lower, std::int64_t nodes, std::int32_t mirror_index,
                 int normal, double w, double acc[3][4]) {
  const auto add = [&](std::int64_t node, double factor) {
    for (int c = 0; c < 3; ++c) acc[c][node - (lower - 1)] += factor * w;
  };
  if (p < 0 && mirror_index != 0) {
    // Node 1 seen in the mirror: the reversed components change sign.
    for (int c = 0; c < 3; ++c) {
      const bool reversed = (mirror_index == 1) == (c == normal);
      acc[c][1 - (lower - 1)] += reversed ? -w : w;
    }
    return;
  }
  const std::int64_t edge = p < 0 ? 0 : nodes - 1;
  const std::int64_t inward = p < 0 ? 1 : -1;
  if (nodes >= 3) {
    add(edge, 3.0);
    add(edge + inward, -3.0);
    add(edge + 2 * inward, 1.0);
  } else {
    add(edge, 2.0);
    add(edge + inward, -1.0);
  }
}

// True when the whole stencil of the cell lies inside the axis's nodes and
// no node has zero weight: then the weights are the kernel's for every
// component, and the sum is the one cubic_sum forms, in the same order.
bool interior(const AxisCell& c, std::int64_t nodes) {
  return c.frac != 0.0 && c.lower >= 1 && c.lower + 2 < nodes;
}

FieldStatus interior_sum(const GridSize& grid, const float values[], const AxisCell cell[3],
                         const double w[3][4], float b[3]) {
  const std::int64_t sy = 3 * static_cast<std::int64_t>(grid.NX);
  const std::int64_t sz = sy * grid.NY;
  const float* base =
      values + ((cell[2].lower - 1) * sz + (cell[1].lower - 1) * sy + 3 * (cell[0].lower - 1));
  double wx[12];  // the x weight of each value of a row
  for (int n = 0; n < 12; ++n) wx[n] = w[0][n / 3];
  double zs[3] = {-0.0, -0.0, -0.0};
  for (int k = 0; k < 4; ++k) {
    double ys[3] = {-0.0, -0.0, -0.0};
    for (int j = 0; j < 4; ++j) {
      const float* row = base + (k * sz + j * sy);
      // An unmeasured node has every component above the limit: a row
      // without any such value needs no node by node test.
      bool high = false;
      for (int n = 0; n < 12; ++n) high |= row[n] > kUnmeasuredLimit;
      for (int i = 0; high && i < 4; ++i) {
        if (is_unmeasured(row + 3 * i)) return FieldStatus::kUnmeasured;
      }
      // The products of the row's twelve values in one sweep, then each
      // component's sum in node order (-0.0 + p is p, so this is the sum
      // cubic_sum forms).
      double p[12];
      for (int n = 0; n < 12; ++n) p[n] = wx[n] * static_cast<double>(row[n]);
      double xs[3];
      for (int c = 0; c < 3; ++c) xs[c] = ((p[c] + p[3 + c]) + p[6 + c]) + p[9 + c];
      for (int c = 0; c < 3; ++c) ys[c] += w[1][j] * xs[c];
    }
    for (int c = 0; c < 3; ++c) zs[c] += w[2][k] * ys[c];
  }
  for (int c = 0; c < 3; ++c) b[c] = static_cast<float>(zs[c]);
  return FieldStatus::kOk;
}

}  // namespace

void prefetch_cells(Interpolation method, const GridSize& grid, const float values[],
                    const std::int64_t nodes[3], const AxisCell cell[3]) {
  // The linear method reads two nodes a row from the lower node, the cubic
  // one four from the node below it; the indices stay on the grid.
  const int below = method == Interpolation::kCubic ? 1 : 0, width = 2 + 2 * below;
  const auto clamp = [&](std::int64_t i, int a) {
    return std::max<std::int64_t>(0, std::min<std::int64_t>(i, nodes[a] - 1));
  };
  const std::int64_t sy = 3 * static_cast<std::int64_t>(grid.NX);
  const std::int64_t sz = sy * grid.NY;
  const std::int64_t first = 3 * clamp(cell[0].lower - below, 0);
  const std::int64_t last = 3 * clamp(cell[0].lower - below + width - 1, 0) + 2;
  for (int k = 0; k < width; ++k) {
    for (int j = 0; j < width; ++j) {
      const std::int64_t row =
          clamp(cell[2].lower - below + k, 2) * sz + clamp(cell[1].lower - below + j, 1) * sy;
      __builtin_prefetch(values + row + first);
      __builtin_prefetch(values + row + last);
    }
  }
}

void keys_weights(double t, double w[4]) {
  const double t2 = t * t, t3 = t2 * t;
  w[0] = (-t3 + 2.0 * t2 - t) * 0.5;
  w[1] = (3.0 * t3 - 5.0 * t2 + 2.0) * 0.5;
  w[2] = (-3.0 * t3 + 4.0 * t2 + t) * 0.5;
  w[3] = (t3 - t2) * 0.5;
}

void keys_slopes(double t, double w[4]) {
  const double t2 = t * t;
  w[0] = (-3.0 * t2 + 4.0 * t - 1.0) * 0.5;
  w[1] = (9.0 * t2 - 10.0 * t) * 0.5;
  w[2] = (-9.0 * t2 + 8.0 * t + 1.0) * 0.5;
  w[3] = (3.0 * t2 - 2.0 * t) * 0.5;
}

void cubic_axis(const AxisCell& cell, std::int64_t nodes, std::int32_t mirror_index, int normal,
                const double kernel[4], CubicAxis& axis) {
  const std::int64_t lower = cell.lower;
  double acc[3][4] = {};
  for (int m = 0; m < 4; ++m) {
    const std::int64_t p = lower - 1 + m;
    if (kernel[m] == 0.0) continue;  // never reads past the nodes on a node plane
    if (p >= 0 && p < nodes) {
      for (int c = 0; c < 3; ++c) acc[c][m] += kernel[m];
    } else {
      add_missing(p, lower, nodes, mirror_index, normal, kernel[m], acc);
    }
  }
  const auto used = [&](int m) { return acc[0][m] != 0.0 || acc[1][m] != 0.0 || acc[2][m] != 0.0; };
  int begin = 0, end = 4;
  while (begin < end && !used(begin)) ++begin;
  while (end > begin && !used(end - 1)) --end;
  axis.first = lower - 1 + begin;
  axis.count = end - begin;
  for (int c = 0; c < 3; ++c) {
    for (int m = 0; m < 4; ++m) axis.w[c][m] = m < axis.count ? acc[c][begin + m] : 0.0;
  }
}

// The sums run along x first (rows of nodes are contiguous), then y, then
// z; each starts from -0.0 so that a lone term keeps its sign.
FieldStatus cubic_sum(const GridSize& grid, const float values[], const CubicAxis& x,
                      const CubicAxis& y, const CubicAxis& z, float b[3]) {
  const std::int64_t sy = 3 * static_cast<std::int64_t>(grid.NX);
  const std::int64_t sz = sy * grid.NY;
  double zs[3] = {-0.0, -0.0, -0.0};
  for (int k = 0; k < z.count; ++k) {
    double ys[3] = {-0.0, -0.0, -0.0};
    for (int j = 0; j < y.count; ++j) {
      const float* row = values + ((z.first + k) * sz + (y.first + j) * sy + 3 * x.first);
      double xs[3] = {-0.0, -0.0, -0.0};
      for (int i = 0; i < x.count; ++i) {
        const float* node = row + 3 * i;
        if (is_unmeasured(node)) return FieldStatus::kUnmeasured;
        for (int c = 0; c < 3; ++c) xs[c] += x.w[c][i] * static_cast<double>(node[c]);
      }
      for (int c = 0; c < 3; ++c) ys[c] += y.w[c][j] * xs[c];
    }
    for (int c = 0; c < 3; ++c) zs[c] += z.w[c][k] * ys[c];
  }
  for (int c = 0; c < 3; ++c) b[c] = static_cast<float>(zs[c]);
  return FieldStatus::kOk;
}

namespace {

// The tricubic interpolation among the held nodes, `nodes` per axis.
FieldStatus interpolate_cubic(const GridSize& grid, const float values[],
                              const std::int64_t nodes[3], const AxisCell cell[3], float b[3]) {
  bool inside = true;
  for (int a = 0; a < 3; ++a) inside = inside && interior(cell[a], nodes[a]);
  if (inside) {
    double w[3][4];
    for (int a = 0; a < 3; ++a) keys_weights(cell[a].frac, w[a]);
    return interior_sum(grid, values, cell, w, b);
  }
  const std::int32_t mirror[3] = {grid.IDA, grid.IDB, grid.IDC};
  CubicAxis axis[3];
  for (int a = 0; a < 3; ++a) {
    double kernel[4];
    keys_weights(cell[a].frac, kernel);
    cubic_axis(cell[a], nodes[a], mirror[a], a, kernel, axis[a]);
  }
  return cubic_sum(grid, values, axis[0], axis[1], axis[2], b);
}

}  // namespace

FieldStatus interpolate_cells(Interpolation method, const GridSize& grid, const float values[],
                              std::int64_t capacity, const AxisCell cell[3], float b[3]) {
  if (method == Interpolation::kLinear) {
    return interpolate(grid, values, cell[0], cell[1], cell[2], b);
  }
  const std::int64_t nodes[3] = {axis_nodes(grid, capacity, 0), axis_nodes(grid, capacity, 1),
                                 axis_nodes(grid, capacity, 2)};
  return interpolate_cubic(grid, values, nodes, cell, b);
}

FieldStatus evaluate_cubic(const GridSize& grid, const float values[], std::int64_t capacity,
                           float x, float y, float z, float b[3]) {
  Fold fold;
  FieldStatus status = fold_point(grid, x, y, z, fold);
  if (status != FieldStatus::kOk) return status;
  AxisCell cell[3];
  status = locate_cell(grid, capacity, fold, cell[0], cell[1], cell[2]);
  if (status != FieldStatus::kOk) return status;
  float field[3];
  status = interpolate_cells(Interpolation::kCubic, grid, values, capacity, cell, field);
  if (status != FieldStatus::kOk) return status;
  unfold_field(grid, fold, x, y, z, field);
  b[0] = field[0];
  b[1] = field[1];
  b[2] = field[2];
  return FieldStatus::kOk;
}

void locate_points(Interpolation method, const GridSize& grid, const float values[],
                   std::int64_t capacity, const std::int64_t nodes[3], const float x[],
                   const float y[], const float z[], std::size_t start, std::size_t count,
                   Fold fold[], AxisCell cell[][3], FieldStatus status[]) {
  for (std::size_t m = 0; m < count; ++m) {
    const std::size_t p = start + m;
    status[p] = fold_point(grid, x[p], y[p], z[p], fold[m]);
    if (status[p] != FieldStatus::kOk) continue;
    status[p] = locate_cell(grid, capacity, fold[m], cell[m][0], cell[m][1], cell[m][2]);
    if (status[p] == FieldStatus::kOk) prefetch_cells(method, grid, values, nodes, cell[m]);
  }
}

void evaluate_cubic_many(const GridSize& grid, const float values[], std::int64_t capacity,
                         std::size_t n, const float x[], const float y[], const float z[],
                         FieldVector b[], FieldStatus status[]) {
  // The stages of evaluate_cubic, a block of points at a time: the points
  // folded and located (their nodes fetched meanwhile), then interpolated.
  const std::int64_t nodes[3] = {axis_nodes(grid, capacity, 0), axis_nodes(grid, capacity, 1),
                                 axis_nodes(grid, capacity, 2)};
  Fold fold[kLocateBlock];
  AxisCell cell[kLocateBlock][3];
  for (std::size_t start = 0; start < n; start += kLocateBlock) {
    const std::size_t count = std::min(kLocateBlock, n - start);
    locate_points(Interpolation::kCubic, grid, values, capacity, nodes, x, y, z, start, count, fold,
                  cell, status);
    for (std::size_t m = 0; m < count; ++m) {
      const std::size_t p = start + m;
      if (status[p] != FieldStatus::kOk) continue;
      float v[3];
      status[p] = interpolate_cubic(grid, values, nodes, cell[m], v);
      if (status[p] != FieldStatus::kOk) continue;
      unfold_field(grid, fold[m], x[p], y[p], z[p], v);
      b[p] = FieldVector{v[0], v[1], v[2]};
    }
  }
}

FieldStatus evaluate_by(Interpolation method, const GridSize& grid, const float values[],
                        std::int64_t capacity, float x, float y, float z, float b[3]) {
  if (method == Interpolation::kCubic) return evaluate_cubic(grid, values, capacity, x, y, z, b);
  return evaluate(grid, values, capacity, x, y, z, b);
}

void evaluate_many_by(Interpolation method, const GridSize& grid, const float values[],
                      std::int64_t capacity, std::size_t n, const float x[], const float y[],
                      const float z[], FieldVector b[], FieldStatus status[]) {
  if (method == Interpolation::kCubic) {
    evaluate_cubic_many(grid, values, capacity, n, x, y, z, b, status);
  } else {
    evaluate_many(grid, values, capacity, n, x, y, z, b, status);
  }
}

}  // namespace fieldscan
