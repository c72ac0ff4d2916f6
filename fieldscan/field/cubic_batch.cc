// The tricubic evaluation of many points at once.
//
// The points go through evaluate_cubic()'s stages a block at a time: folded
// and located (their nodes fetched meanwhile), then interpolated.  A point
// whose stencil lies inside the grid on every axis takes the interior sum
// of cubic_stencil.h, compiled here for the widest vector unit the
// processor has; every other point, and one whose stencil comes near the
// unmeasured mark or whose sum is not a number, is interpolated as
// evaluate_cubic() does it.  Points along a line in x that share a cell
// share its column sums, which are kept from one point to the next.
#include <algorithm>
#include <cstdint>

#include "fieldscan/field/cubic.h"
#include "fieldscan/field/cubic_stencil.h"

namespace fieldscan {
namespace {

// The column sums last formed: those of the stencil from `first` with the
// fractions fy and fz.
struct ColumnCache {
  const float* first = nullptr;
  double fy = 0, fz = 0;
  stencil::Columns columns;
};

// The interior sum of a located point, kOk; or kUnmeasured when the point
// must be interpolated as evaluate_cubic() does it.
FIELDSCAN_INLINE FieldStatus interior_point(const float values[], std::int64_t sy, std::int64_t sz,
                                            const std::int64_t nodes[3], const AxisCell c[3],
                                            ColumnCache& cache, float v[3]) {
  for (int a = 0; a < 3; ++a) {
    if (!stencil::interior(c[a].lower, c[a].frac, nodes[a])) return FieldStatus::kUnmeasured;
  }
  const float* first =
      values + ((c[2].lower - 1) * sz + (c[1].lower - 1) * sy + 3 * (c[0].lower - 1));
  if (first != cache.first || c[1].frac != cache.fy || c[2].frac != cache.fz) {
    double wy[4], wz[4];
    stencil::kernel(c[1].frac, wy);
    stencil::kernel(c[2].frac, wz);
    stencil::column_sums(first, sy, sz, wy, wz, cache.columns);
    cache.first = first, cache.fy = c[1].frac, cache.fz = c[2].frac;
  }
  if (cache.columns.high) return FieldStatus::kUnmeasured;
  double wx[4];
  stencil::kernel(c[0].frac, wx);
  stencil::row_sums(cache.columns, wx, v);
  // Which of two NaN operands a sum carries may differ between instruction
  // sets: such a point is left to the one-point code.
  if (v[0] != v[0] || v[1] != v[1] || v[2] != v[2]) return FieldStatus::kUnmeasured;
  return FieldStatus::kOk;
}

FIELDSCAN_INLINE void run_blocks(const GridSize& grid, const float values[], std::int64_t capacity,
                                 std::size_t n, const float x[], const float y[], const float z[],
                                 FieldVector b[], FieldStatus status[]) {
  const std::int64_t nodes[3] = {grid.NX, grid.NY, held_planes(grid, capacity)};
  const std::int64_t sy = 3 * static_cast<std::int64_t>(grid.NX);
  const std::int64_t sz = sy * grid.NY;
  Fold fold[kLocateBlock];
  AxisCell cell[kLocateBlock][3];
  ColumnCache cache;
  for (std::size_t start = 0; start < n; start += kLocateBlock) {
    const std::size_t count = std::min(kLocateBlock, n - start);
    locate_points(Interpolation::kCubic, grid, values, capacity, nodes, x, y, z, start, count, fold,
                  cell, status);
    for (std::size_t m = 0; m < count; ++m) {
      const std::size_t p = start + m;
      if (status[p] != FieldStatus::kOk) continue;
      float v[3];
      if (interior_point(values, sy, sz, nodes, cell[m], cache, v) != FieldStatus::kOk) {
        status[p] = interpolate_cells(Interpolation::kCubic, grid, values, capacity, cell[m], v);
        if (status[p] != FieldStatus::kOk) continue;
      }
      unfold_field(grid, fold[m], x[p], y[p], z[p], v);
      b[p] = FieldVector{v[0], v[1], v[2]};
    }
  }
}

void run_plain(const GridSize& grid, const float values[], std::int64_t capacity, std::size_t n,
               const float x[], const float y[], const float z[], FieldVector b[],
               FieldStatus status[]) {
  run_blocks(grid, values, capacity, n, x, y, z, b, status);
}

#ifdef FIELDSCAN_LANES
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) void run_avx512(
    const GridSize& grid, const float values[], std::int64_t capacity, std::size_t n,
    const float x[], const float y[], const float z[], FieldVector b[], FieldStatus status[]) {
  run_blocks(grid, values, capacity, n, x, y, z, b, status);
}

__attribute__((target("avx2"))) void run_avx2(const GridSize& grid, const float values[],
                                              std::int64_t capacity, std::size_t n, const float x[],
                                              const float y[], const float z[], FieldVector b[],
                                              FieldStatus status[]) {
  run_blocks(grid, values, capacity, n, x, y, z, b, status);
}
#endif

BatchFunction best_variant() {
#ifdef FIELDSCAN_LANES
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq")) {
    return run_avx512;
  }
  if (__builtin_cpu_supports("avx2")) return run_avx2;
#endif
  return run_plain;
}

}  // namespace

void evaluate_cubic_many(const GridSize& grid, const float values[], std::int64_t capacity,
                         std::size_t n, const float x[], const float y[], const float z[],
                         FieldVector b[], FieldStatus status[]) {
  static const BatchFunction best = best_variant();
  best(grid, values, capacity, n, x, y, z, b, status);
}

}  // namespace fieldscan
