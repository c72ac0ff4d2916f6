#include "fieldscan/field/gradient.h"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>
#include <vector>

#include "fieldscan/field/batch_threads.h"
#include "fieldscan/field/cubic.h"
#include "fieldscan/field/evaluate.h"
#include "fieldscan/field/gradient_lanes.h"
#include "fieldscan/field/sector_chain.h"
#include "fieldscan/field/sector_lanes.h"
#include "fieldscan/mapfile/node.h"

namespace fieldscan {
namespace {

using Matrix = double[3][3];

// One axis of the cell for the derivative: the lower node, the fraction,
// and the derivative of the upper node's weight along the axis (1 / step),
// 0 when the axis has no second node to differentiate against.
struct DerivativeAxis {
  std::int64_t lower = 0;
  double frac = 0.0;
  double slope = 0.0;
};

// The evaluation's cell of one axis, moved down one cell on the last node
// plane (where the evaluation reads the last node only) so that the
// derivative has two nodes to work with.
DerivativeAxis derivative_axis(const AxisCell& cell, float step, std::int64_t nodes) {
  DerivativeAxis a{cell.lower, cell.frac, 0.0};
  const bool usable_step = step > 0.0f && std::isfinite(step);
  if (!usable_step || nodes < 2) return a;
  if (a.lower + 1 >= nodes) {
    a.lower = nodes - 2;
    a.frac = 1.0;
  }
  a.slope = 1.0 / static_cast<double>(step);
  return a;
}

// The interpolated field `b` and its derivatives `j` (j[a][c] = dB_a / dq_c
// in the folded frame) over the cell's eight nodes.  A node is read when
// the field or any derivative gives it weight; an unmeasured one fails.
FieldStatus differentiate_cell(const GridSize& s, const float values[], const DerivativeAxis ax[3],
                               double b[3], Matrix& j) {
  const std::int64_t stride[3] = {3, 3 * static_cast<std::int64_t>(s.NX),
                                  3 * static_cast<std::int64_t>(s.NX) * s.NY};
  // Per axis, the weights of the lower and upper node and their slopes.
  double w[3][2], dw[3][2];
  std::int64_t base = 0;
  for (int c = 0; c < 3; ++c) {
    base += ax[c].lower * stride[c];
    w[c][0] = 1.0 - ax[c].frac, w[c][1] = ax[c].frac;
    dw[c][0] = -ax[c].slope, dw[c][1] = ax[c].slope;
  }
  double sum[4][3] = {};  // the field, then its derivative along x, y, z
  for (int corner = 0; corner < 8; ++corner) {
    const int i = corner & 1, k = corner >> 1 & 1, l = corner >> 2;
    const double weight[4] = {w[0][i] * w[1][k] * w[2][l], dw[0][i] * w[1][k] * w[2][l],
                              w[0][i] * dw[1][k] * w[2][l], w[0][i] * w[1][k] * dw[2][l]};
    if (weight[0] == 0.0 && weight[1] == 0.0 && weight[2] == 0.0 && weight[3] == 0.0) continue;
    const float* node = values + (base + i * stride[0] + k * stride[1] + l * stride[2]);
    if (is_unmeasured(node)) return FieldStatus::kUnmeasured;
    const double v[3] = {node[0], node[1], node[2]};
    for (int m = 0; m < 4; ++m) {
      for (int a = 0; a < 3; ++a) sum[m][a] += weight[m] * v[a];
    }
  }
  for (int a = 0; a < 3; ++a) {
    b[a] = sum[0][a];
    for (int c = 0; c < 3; ++c) j[a][c] = sum[c + 1][a];
  }
  return FieldStatus::kOk;
}

// The stencils of one axis for the cubic interpolant: `value` with Keys'
// weights, `slope` with their derivatives along the axis (per length unit).
// On the last node plane the cell below is taken at its upper end (the
// same value), so that the ghost node beyond the plane is built from nodes
// within the stencil.  An axis of a single node, or without a usable step,
// has no slope stencil (count 0): the derivative along it is 0.
void cubic_axes(AxisCell cell, std::int64_t nodes, float step, std::int32_t mirror, int normal,
                CubicAxis& value, CubicAxis& slope) {
  const bool usable = step > 0.0f && std::isfinite(step) && nodes >= 2;
  if (usable && cell.lower + 1 >= nodes) cell = AxisCell{nodes - 2, 1.0};
  double kernel[4];
  keys_weights(cell.frac, kernel);
  cubic_axis(cell, nodes, mirror, normal, kernel, value);
  slope = CubicAxis{};
  if (!usable) return;
  keys_slopes(cell.frac, kernel);
  for (double& k : kernel) k /= static_cast<double>(step);
  cubic_axis(cell, nodes, mirror, normal, kernel, slope);
}

// The tensor sum of three stencils over the node values, kept in double
// precision; kUnmeasured when a node of the stencils is unmeasured.
FieldStatus stencil_sum(const GridSize& s, const float values[], const CubicAxis& x,
                        const CubicAxis& y, const CubicAxis& z, double out[3]) {
  const std::int64_t sy = 3 * static_cast<std::int64_t>(s.NX);
  const std::int64_t sz = sy * s.NY;
  double zs[3] = {};
  for (int k = 0; k < z.count; ++k) {
    double ys[3] = {};
    for (int j = 0; j < y.count; ++j) {
      const float* row = values + ((z.first + k) * sz + (y.first + j) * sy + 3 * x.first);
      double xs[3] = {};
      for (int i = 0; i < x.count; ++i) {
        const float* node = row + 3 * i;
        if (is_unmeasured(node)) return FieldStatus::kUnmeasured;
        for (int c = 0; c < 3; ++c) xs[c] += x.w[c][i] * static_cast<double>(node[c]);
      }
      for (int c = 0; c < 3; ++c) ys[c] += y.w[c][j] * xs[c];
    }
    for (int c = 0; c < 3; ++c) zs[c] += z.w[c][k] * ys[c];
  }
  for (int c = 0; c < 3; ++c) out[c] = zs[c];
  return FieldStatus::kOk;
}

// The cubic interpolant `b` and its derivatives `j` (as differentiate_cell
// gives them for the trilinear one): the value stencils of the three axes,
// with one of them replaced by its slope stencil for each derivative.
FieldStatus differentiate_cubic(const GridSize& s, const float values[],
                                const std::int64_t nodes[3], const AxisCell cell[3], double b[3],
                                Matrix& j) {
  const float step[3] = {s.DX, s.DY, s.DZ};
  const std::int32_t mirror[3] = {s.IDA, s.IDB, s.IDC};
  CubicAxis value[3], slope[3];
  for (int a = 0; a < 3; ++a)
    cubic_axes(cell[a], nodes[a], step[a], mirror[a], a, value[a], slope[a]);
  FieldStatus status = stencil_sum(s, values, value[0], value[1], value[2], b);
  for (int c = 0; c < 3 && status == FieldStatus::kOk; ++c) {
    CubicAxis axis[3] = {value[0], value[1], value[2]};
    axis[c] = slope[c];
    double d[3];
    status = stencil_sum(s, values, axis[0], axis[1], axis[2], d);
    for (int a = 0; a < 3; ++a) j[a][c] = d[a];
  }
  return status;
}

// The last stage of evaluate_gradient: the interpolated field `b` and its
// derivatives `folded` (folded[a][c] = dB_a / dq_c at the folded point q)
// carried back to the raw point (x, y, z) through the sector fold `fold`
// (ct and st: cos and sin of its theta, where it turned the point) and the
// mirror planes, each derivative rounded once into `g`.
void unfold_gradient(const GridSize& grid, const Fold& fold, double ct, double st, float x, float y,
                     float z, const double b[3], const double folded[3][3], FieldGradient& g) {
  Matrix j;
  for (int a = 0; a < 3; ++a) {
    for (int c = 0; c < 3; ++c) j[a][c] = folded[a][c];
  }
  if (fold.turned) {
    const double u = std::fabs(static_cast<double>(x) - static_cast<double>(grid.XMIN));
    const double v = std::fabs(static_cast<double>(y) - static_cast<double>(grid.YMIN));
    const chain::SectorTurn<double> turn{fold.theta, fold.cphi, fold.sphi, ct,
                                         st,         fold.k_t,  fold.k_n};
    const double field[3] = {b[0], b[1], b[2]};
    chain::unfold_sector(std::fabs(grid.ANGLE), turn, u, v, field, j);
  }
  // The mirror images: the offsets run against the coordinates below a
  // plane, and the field's components take the image's signs.
  float sign[3] = {1.0f, 1.0f, 1.0f};
  unfold_field(grid, Fold{}, x, y, z, sign);
  const double along[3] = {x < grid.XMIN ? -1.0 : 1.0, y < grid.YMIN ? -1.0 : 1.0,
                           z < grid.ZMIN ? -1.0 : 1.0};
  for (int a = 0; a < 3; ++a) {
    for (int c = 0; c < 3; ++c) {
      g.d[a][c] = static_cast<float>(static_cast<double>(sign[a]) * j[a][c] * along[c]);
    }
  }
}

// The gradient at the raw point (x, y, z) from its fold and cells, the
// held nodes numbering `nodes` per axis.
FieldStatus gradient_at(const GridSize& grid, const float values[], const std::int64_t nodes[3],
                        const Fold& fold, const AxisCell cell[3], float x, float y, float z,
                        FieldGradient& g, Interpolation method) {
  double b[3];
  Matrix j;
  FieldStatus status;
  if (method == Interpolation::kCubic) {
    status = differentiate_cubic(grid, values, nodes, cell, b, j);
  } else {
    const DerivativeAxis ax[3] = {derivative_axis(cell[0], grid.DX, nodes[0]),
                                  derivative_axis(cell[1], grid.DY, nodes[1]),
                                  derivative_axis(cell[2], grid.DZ, nodes[2])};
    status = differentiate_cell(grid, values, ax, b, j);
  }
  if (status != FieldStatus::kOk) return status;
  double ct = 1.0, st = 0.0;
  if (fold.turned) polar_sin_cos(grid, x, y, fold.theta, ct, st);
  unfold_gradient(grid, fold, ct, st, x, y, z, b, j, g);
  return FieldStatus::kOk;
}

// The stages of evaluate_gradient, a block of points at a time: the points
// folded and located (their nodes fetched meanwhile), then differentiated.
void gradient_blocks(const GridSize& grid, const float values[], std::int64_t capacity,
                     std::size_t n, const float x[], const float y[], const float z[],
                     FieldGradient g[], FieldStatus status[], Interpolation method) {
  const std::int64_t nodes[3] = {grid.NX, grid.NY, held_planes(grid, capacity)};
  Fold fold[kLocateBlock];
  AxisCell cell[kLocateBlock][3];
  for (std::size_t start = 0; start < n; start += kLocateBlock) {
    const std::size_t count = std::min(kLocateBlock, n - start);
    locate_points(method, grid, values, capacity, nodes, x, y, z, start, count, fold, cell, status);
    for (std::size_t m = 0; m < count; ++m) {
      const std::size_t p = start + m;
      if (status[p] != FieldStatus::kOk) continue;
      status[p] =
          gradient_at(grid, values, nodes, fold[m], cell[m], x[p], y[p], z[p], g[p], method);
    }
  }
}

}  // namespace

void gradient_point_by_point(const GridSize& grid, const float values[], std::int64_t capacity,
                             std::size_t n, const float x[], const float y[], const float z[],
                             FieldGradient g[], FieldStatus status[]) {
  gradient_blocks(grid, values, capacity, n, x, y, z, g, status, Interpolation::kLinear);
}

FieldStatus evaluate_gradient(const GridSize& grid, const float values[], std::int64_t capacity,
                              float x, float y, float z, FieldGradient& g, Interpolation method) {
  Fold fold;
  FieldStatus status = fold_point(grid, x, y, z, fold);
  if (status != FieldStatus::kOk) return status;
  AxisCell cell[3];
  status = locate_cell(grid, capacity, fold, cell[0], cell[1], cell[2]);
  if (status != FieldStatus::kOk) return status;
  const std::int64_t nodes[3] = {grid.NX, grid.NY, held_planes(grid, capacity)};
  return gradient_at(grid, values, nodes, fold, cell, x, y, z, g, method);
}

void evaluate_gradient_many(const GridSize& grid, const float values[], std::int64_t capacity,
                            std::size_t n, const float x[], const float y[], const float z[],
                            FieldGradient g[], FieldStatus status[], Interpolation method) {
  if (method == Interpolation::kLinear) {
    static const GradientBatch best = gradient_variants().front().run;
    best(grid, values, capacity, n, x, y, z, g, status);
  } else {
    gradient_blocks(grid, values, capacity, n, x, y, z, g, status, method);
  }
}

FieldStatus field_gradient(const FieldMap& map, float x, float y, float z, FieldGradient& g,
                           Interpolation method) {
  const std::vector<float>& v = map.contents().values;
  return evaluate_gradient(map.grid(), v.data(), static_cast<std::int64_t>(v.size()), x, y, z, g,
                           method);
}

void field_gradient(const FieldMap& map, std::span<const float> x, std::span<const float> y,
                    std::span<const float> z, std::span<FieldGradient> g,
                    std::span<FieldStatus> status, unsigned threads, Interpolation method) {
  const std::size_t n = std::min({x.size(), y.size(), z.size(), g.size(), status.size()});
  const std::vector<float>& v = map.contents().values;
  const auto run = [&](std::size_t begin, std::size_t end) {
    evaluate_gradient_many(map.grid(), v.data(), static_cast<std::int64_t>(v.size()), end - begin,
                           x.data() + begin, y.data() + begin, z.data() + begin, g.data() + begin,
                           status.data() + begin, method);
  };
  const std::size_t parts = batch_threads(n, threads);
  const std::size_t chunk = (n + parts - 1) / std::max<std::size_t>(parts, 1);
  std::vector<std::thread> workers;
  std::size_t done = chunk;  // this thread takes the first share
  try {
    for (; done < n && workers.size() + 1 < parts; done += chunk) {
      workers.emplace_back(run, done, std::min(n, done + chunk));
    }
  } catch (const std::system_error&) {
  }
  run(0, std::min(n, chunk));
  if (done < n) run(done, n);  // shares no thread could be started for
  for (auto& w : workers) w.join();
}

}  // namespace fieldscan
