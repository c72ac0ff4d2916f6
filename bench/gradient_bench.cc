// The gradient batch against the field batch, on the same points of the
// same map (60 x 60 x 60 nodes of a smooth field): random points over the
// whole plane of a quadrant map with three mirror planes, and of a
// 30-degree sector map where nearly every point is folded.
//
// Each case evaluates 65536 points per iteration, one thread:
//  - BM_Field and BM_Gradient: per_point (seconds with an SI prefix) of
//    each, side by side;
//  - BM_GradientAgainstField: the two run alternately on the same points
//    (the one going first changes from pair to pair), each run timed in
//    thread CPU time (time another process took is not counted), and the
//    ratio gradient / field of every pair printed: its minimum, median and
//    maximum (goal: at most 3), and the median time per point of each side.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "fieldscan/field/field_map.h"
#include "fieldscan/field/gradient.h"
#include "fieldscan/mapfile/map_writer.h"
#include "paired.h"

namespace fieldscan {
namespace {

constexpr int kNodes = 60;
constexpr std::size_t kPoints = 65536;

FieldMap smooth_map(float angle) {
  MapContents c;
  c.nx = c.ny = c.nz = kNodes;
  c.ida = c.idb = c.idc = 2;
  c.angle = angle;
  fill_values(c, [](float x, float y, float z) {
    return std::array<float, 3>{static_cast<float>(100 * std::cos(0.05 * x) + z),
                                static_cast<float>(-80 * std::sin(0.05 * (x + y))),
                                static_cast<float>(25 * std::cos(0.05 * z) + 0.1 * x * y)};
  });
  FieldMap map;
  MapError error;
  FieldMap::from_contents(std::move(c), map, error);
  return map;
}

struct Case {
  FieldMap map;
  std::vector<float> x, y, z;
};

Case make_case(float angle) {
  Case c{smooth_map(angle), {}, {}, {}};
  std::mt19937 rng(11);
  // Within the radius every sector reaches, so every point evaluates.
  std::uniform_real_distribution<float> plane(-41, 41), height(-58, 58);
  for (std::size_t n = 0; n < kPoints; ++n) {
    c.x.push_back(plane(rng));
    c.y.push_back(plane(rng));
    c.z.push_back(height(rng));
  }
  return c;
}

const Case& points_on(int which) {
  static const Case quadrant = make_case(90), sector = make_case(30);
  return which == 0 ? quadrant : sector;
}

void BM_Field(benchmark::State& state) {
  const Case& c = points_on(static_cast<int>(state.range(0)));
  std::vector<FieldVector> b(kPoints);
  std::vector<FieldStatus> status(kPoints);
  for (auto _ : state) {
    c.map.field(c.x, c.y, c.z, b, status, 1);
    benchmark::DoNotOptimize(b.data());
  }
  state.counters["per_point"] = benchmark::Counter(
      static_cast<double>(kPoints),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetLabel(state.range(0) == 0 ? "quadrant, 3 mirrors" : "30-degree sector");
}
BENCHMARK(BM_Field)->Arg(0)->Arg(1);

void BM_Gradient(benchmark::State& state) {
  const Case& c = points_on(static_cast<int>(state.range(0)));
  std::vector<FieldGradient> g(kPoints);
  std::vector<FieldStatus> status(kPoints);
  for (auto _ : state) {
    field_gradient(c.map, c.x, c.y, c.z, g, status, 1);
    benchmark::DoNotOptimize(g.data());
  }
  state.counters["per_point"] = benchmark::Counter(
      static_cast<double>(kPoints),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetLabel(state.range(0) == 0 ? "quadrant, 3 mirrors" : "30-degree sector");
}
BENCHMARK(BM_Gradient)->Arg(0)->Arg(1);

void BM_GradientAgainstField(benchmark::State& state) {
  const Case& c = points_on(static_cast<int>(state.range(0)));
  std::vector<FieldVector> b(kPoints);
  std::vector<FieldGradient> g(kPoints);
  std::vector<FieldStatus> status(kPoints);
  const auto field = [&](std::size_t) {
    c.map.field(c.x, c.y, c.z, b, status, 1);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  };
  const auto gradient = [&](std::size_t) {
    field_gradient(c.map, c.x, c.y, c.z, g, status, 1);
    benchmark::DoNotOptimize(g.data());
    benchmark::ClobberMemory();
  };
  bench::run_pairs(state, kPoints, "gradient", gradient, "field", field);
  state.SetLabel(state.range(0) == 0 ? "quadrant, 3 mirrors" : "30-degree sector");
}
BENCHMARK(BM_GradientAgainstField)->ArgNames({"map"})->Arg(0)->Arg(1)->Iterations(100);

}  // namespace
}  // namespace fieldscan

BENCHMARK_MAIN();
