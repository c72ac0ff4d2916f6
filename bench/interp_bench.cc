// Interpolation cost and the VTK export on a 100 x 100 x 100 map.
//
// BM_Batch: FieldMap::field on a batch of random points inside a quadrant map
// with its three mirror planes (points on both sides of them), one thread,
// by the linear method (the vector batch) and the cubic one; per_point is
// the time per point.
// BM_CubicAgainstLinear/points:P: the two methods alternately on the same
// points (P 0 random, 1 the grid of BM_Batch, 2 random points within the
// reach of the same nodes as a 30-degree sector map), 100 pairs, the one
// going first changing from pair to pair, each run timed in thread CPU time
// (time spent preempted does not count); ratio = cubic / linear per pair,
// its minimum, median and maximum, and the median time per point of each.
// BM_WriteVti: the .vti text of the whole map (raw appended arrays).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "fieldscan/field/field_map.h"
#include "fieldscan/formats/formats.h"
#include "paired.h"

namespace fieldscan {
namespace {

constexpr int kNodes = 100;

// A smooth field on 100 x 100 x 100 nodes with three mirror planes (index
// 1), as a quadrant map or, with angle 30, a 30-degree sector map.
FieldMap made_map(float angle) {
  MapContents c;
  c.nx = c.ny = c.nz = kNodes;
  c.ida = c.idb = c.idc = 1;
  c.angle = angle;
  c.values.reserve(std::size_t{3} * kNodes * kNodes * kNodes);
  for (int k = 0; k < kNodes; ++k) {
    for (int j = 0; j < kNodes; ++j) {
      for (int i = 0; i < kNodes; ++i) {
        const double x = i * 0.05, y = j * 0.05, z = k * 0.05;
        c.values.push_back(static_cast<float>(1000.0 * std::cos(x) * std::cosh(0.2 * y) + z));
        c.values.push_back(static_cast<float>(-800.0 * std::sin(x + y) + 5.0 * z));
        c.values.push_back(static_cast<float>(250.0 * std::cos(z) + 10.0 * x * y));
      }
    }
  }
  FieldMap m;
  MapError error;
  FieldMap::from_contents(std::move(c), m, error);
  return m;
}

const FieldMap& smooth_map(bool sector = false) {
  static const FieldMap maps[2] = {made_map(90), made_map(30)};
  return maps[sector ? 1 : 0];
}

constexpr std::size_t kPoints = 1 << 16;

struct Points {
  std::vector<float> x, y, z;
};

// Random points over the whole map (nearly every point a cache miss), or
// (`grid`) a grid of 64 x 32 x 32 points 0.3 of a step apart, x fastest (as
// sample_grid and resample go).
Points make_points(bool grid) {
  Points p;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> coordinate(-(kNodes - 1), kNodes - 1);
  for (std::size_t n = 0; n < kPoints; ++n) {
    if (grid) {
      p.x.push_back(10.15f + 0.3f * static_cast<float>(n % 64));
      p.y.push_back(10.15f + 0.3f * static_cast<float>(n / 64 % 32));
      p.z.push_back(10.15f + 0.3f * static_cast<float>(n / 2048));
    } else {
      p.x.push_back(coordinate(rng));
      p.y.push_back(coordinate(rng));
      p.z.push_back(coordinate(rng));
    }
  }
  return p;
}

// Random points within the reach of the sector map: radius below 98 about
// the z axis, nearly all of them folded.
Points sector_points() {
  Points p;
  std::mt19937 rng(8);
  std::uniform_real_distribution<double> radius(0.0, 98.0), polar(0.0, 1.5707963);
  std::uniform_real_distribution<float> height(-(kNodes - 1), kNodes - 1);
  for (std::size_t n = 0; n < kPoints; ++n) {
    const double r = radius(rng), a = polar(rng);
    p.x.push_back(static_cast<float>(r * std::cos(a)));
    p.y.push_back(static_cast<float>(r * std::sin(a)));
    p.z.push_back(height(rng));
  }
  return p;
}

// 0: random points, 1: the grid, 2: random points of the sector map.
const Points& points(int kind) {
  static const Points made[3] = {make_points(false), make_points(true), sector_points()};
  return made[kind];
}

// range(0): the method; range(1): 0 random points, 1 the grid.
void BM_Batch(benchmark::State& state) {
  const FieldMap& map = smooth_map();
  const auto method = static_cast<Interpolation>(state.range(0));
  const Points& p = points(state.range(1) == 1 ? 1 : 0);
  std::vector<FieldVector> b(kPoints);
  std::vector<FieldStatus> status(kPoints);
  for (auto _ : state) {
    map.field(p.x, p.y, p.z, b, status, 1, method);
    benchmark::DoNotOptimize(b.data());
  }
  state.SetLabel(std::string(interpolation_name(method)) +
                 (state.range(1) == 0 ? ", random points" : ", grid"));
  state.counters["per_point"] = benchmark::Counter(
      static_cast<double>(kPoints),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Batch)
    ->ArgsProduct({{static_cast<int>(Interpolation::kLinear),
                    static_cast<int>(Interpolation::kCubic)},
                   {0, 1}})
    ->Unit(benchmark::kMillisecond);

// range(0): 0 random points, 1 the grid, 2 random points of the sector map.
void BM_CubicAgainstLinear(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const FieldMap& map = smooth_map(kind == 2);
  const Points& p = points(kind);
  std::vector<FieldVector> b(kPoints);
  std::vector<FieldStatus> status(kPoints);
  const auto on = [&](Interpolation method) {
    return [&, method](std::size_t) {
      map.field(p.x, p.y, p.z, b, status, 1, method);
      benchmark::DoNotOptimize(b.data());
      benchmark::ClobberMemory();
    };
  };
  bench::run_pairs(state, kPoints, "cubic", on(Interpolation::kCubic), "linear",
                   on(Interpolation::kLinear));
}
BENCHMARK(BM_CubicAgainstLinear)->ArgNames({"points"})->DenseRange(0, 2)->Iterations(100);

void BM_WriteVti(benchmark::State& state) {
  const FieldMap& map = smooth_map();
  std::string text, why;
  for (auto _ : state) {
    fieldmap::write_vti(map.contents(), {}, false, text, why);
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_WriteVti)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace fieldscan

BENCHMARK_MAIN();
