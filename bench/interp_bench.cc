// Interpolation cost and the VTK export on a 100 x 100 x 100 map.
//
// BM_Batch: FieldMap::field on a batch of random points inside a quadrant map
// with its three mirror planes (points on both sides of them), one thread,
// by the linear method (the vector batch) and the cubic one; per_point is
// the time per point.
// BM_CubicAgainstLinear/grid:G: the two methods alternately on the same
// points (G 0 random, 1 the grid of BM_Batch), 100 pairs, the one going
// first changing from pair to pair, each run timed in thread CPU time (time
// spent preempted does not count); ratio = cubic / linear per pair, its
// minimum, median and maximum, and the median time per point of each.
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

const FieldMap& smooth_map() {
  static const FieldMap map = [] {
    MapContents c;
    c.nx = c.ny = c.nz = kNodes;
    c.ida = c.idb = c.idc = 1;
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
  }();
  return map;
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

const Points& points(bool grid) {
  static const Points made[2] = {make_points(false), make_points(true)};
  return made[grid ? 1 : 0];
}

// range(0): the method; range(1): 0 random points, 1 the grid.
void BM_Batch(benchmark::State& state) {
  const FieldMap& map = smooth_map();
  const auto method = static_cast<Interpolation>(state.range(0));
  const Points& p = points(state.range(1) == 1);
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

void BM_CubicAgainstLinear(benchmark::State& state) {
  const FieldMap& map = smooth_map();
  const Points& p = points(state.range(0) == 1);
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
BENCHMARK(BM_CubicAgainstLinear)->ArgNames({"grid"})->Arg(0)->Arg(1)->Iterations(100);

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
