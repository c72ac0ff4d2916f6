#include "fieldscan/field/cubic.h"

#include <algorithm>

#include "fieldscan/field/cubic_stencil.h"
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

// True when some node of the interior stencil from `first` is unmeasured.
bool stencil_unmeasured(const float* first, std::int64_t sy, std::int64_t sz) {
  for (int k = 0; k < 4; ++k) {
    for (int j = 0; j < 4; ++j) {
      for (int i = 0; i < 4; ++i) {
        if (is_unmeasured(first + (k * sz + j * sy + 3 * i))) return true;
      }
    }
  }
  return false;
}

// The sum over a stencil wholly inside the grid, whose weights are the
// kernel's for every component: the one cubic_sum forms, in the same order.
FieldStatus interior_sum(const GridSize& grid, const float values[], const AxisCell cell[3],
                         float b[3]) {
  const std::int64_t sy = 3 * static_cast<std::int64_t>(grid.NX);
  const std::int64_t sz = sy * grid.NY;
  const float* first =
      values + ((cell[2].lower - 1) * sz + (cell[1].lower - 1) * sy + 3 * (cell[0].lower - 1));
  double w[3][4];
  for (int a = 0; a < 3; ++a) stencil::kernel(cell[a].frac, w[a]);
  stencil::Columns columns;
  stencil::column_sums(first, sy, sz, w[1], w[2], columns);
  // An unmeasured node has every component above the limit: a stencil
  // without any such value needs no node by node test.
  if (columns.high && stencil_unmeasured(first, sy, sz)) return FieldStatus::kUnmeasured;
  stencil::row_sums(columns, w[0], b);
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

void keys_weights(double t, double w[4]) { stencil::kernel(t, w); }

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

// The sums run along z first, then y, then x (see cubic_stencil.h); each
// starts from -0.0 so that a lone term keeps its sign.
FieldStatus cubic_sum(const GridSize& grid, const float values[], const CubicAxis& x,
                      const CubicAxis& y, const CubicAxis& z, float b[3]) {
  const std::int64_t sy = 3 * static_cast<std::int64_t>(grid.NX);
  const std::int64_t sz = sy * grid.NY;
  const float* first = values + (z.first * sz + y.first * sy + 3 * x.first);
  double xs[3] = {-0.0, -0.0, -0.0};
  for (int i = 0; i < x.count; ++i) {
    double ys[3] = {-0.0, -0.0, -0.0};
    for (int j = 0; j < y.count; ++j) {
      double zs[3] = {-0.0, -0.0, -0.0};
      for (int k = 0; k < z.count; ++k) {
        const float* node = first + (k * sz + j * sy + 3 * i);
        if (is_unmeasured(node)) return FieldStatus::kUnmeasured;
        for (int c = 0; c < 3; ++c) zs[c] += z.w[c][k] * static_cast<double>(node[c]);
      }
      for (int c = 0; c < 3; ++c) ys[c] += y.w[c][j] * zs[c];
    }
    for (int c = 0; c < 3; ++c) xs[c] += x.w[c][i] * ys[c];
  }
  for (int c = 0; c < 3; ++c) b[c] = static_cast<float>(xs[c]);
  return FieldStatus::kOk;
}

namespace {

// The tricubic interpolation among the held nodes, `nodes` per axis.
FieldStatus interpolate_cubic(const GridSize& grid, const float values[],
                              const std::int64_t nodes[3], const AxisCell cell[3], float b[3]) {
  bool inside = true;
  for (int a = 0; a < 3; ++a)
    inside = inside && stencil::interior(cell[a].lower, cell[a].frac, nodes[a]);
  if (inside) return interior_sum(grid, values, cell, b);
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
