// FIELDS on a full-capacity map (100 x 100 x 100 nodes, MXS values).
//
// Each case evaluates a batch of points per iteration; the figure to read is
// per_point, the time per point (seconds with an SI prefix).  Cases: a scan
// line on a quadrant map (the scan listing's y = 0 line, no folding), a line
// on a 30-degree sector map where every point is folded, and random points
// (quadrant map with all three mirror planes, and the sector map).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "fieldscan/field/fields.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/textio/text.h"

namespace fieldscan {
namespace {

constexpr int kNodes = 100;

// SIZE for a map with origin 0, steps 1, 100 nodes per axis, the angle in
// degrees, reflection indices all `id`; limits derived as the loader does.
GridSize full_map(double angle_deg, int id) {
  GridSize s;
  s.DX = s.DY = s.DZ = 1.0f;
  s.NX = s.NY = s.NZ = kNodes;
  s.IDA = s.IDB = s.IDC = id;
  const float p = static_cast<float>(std::atan2(0.0, -1.0));
  s.ANGLE = static_cast<float>(angle_deg / 180.0 * p);
  const float extent = static_cast<float>(kNodes - 1);
  s.XHIGH = s.YHIGH = s.ZHIGH = extent;  // LX = LY: the quadrant test does not matter
  s.XLOW = s.YLOW = s.ZLOW = id != 0 ? -extent : 0.0f;
  return s;
}

// A smooth field at every node, MXS values.
const std::vector<float>& smooth_field() {
  static const std::vector<float> values = [] {
    std::vector<float> v(static_cast<std::size_t>(MXS));
    std::size_t n = 0;
    for (int k = 0; k < kNodes; ++k)
      for (int j = 0; j < kNodes; ++j)
        for (int i = 0; i < kNodes; ++i) {
          const double x = i * 0.05, y = j * 0.05, z = k * 0.05;
          v[n++] = static_cast<float>(1000.0 * std::cos(x) * std::cosh(0.2 * y) + z);
          v[n++] = static_cast<float>(-800.0 * std::sin(x + y) + 5.0 * z);
          v[n++] = static_cast<float>(250.0 * std::cos(z) + 10.0 * x * y);
        }
    return v;
  }();
  return values;
}

struct Point {
  float x, y, z;
};

void run(benchmark::State& state, const GridSize& size, const std::vector<Point>& points) {
  const std::vector<float>& bmap = smooth_field();
  const GridSize saved = SIZE;
  SIZE = size;
  float bx = 0, by = 0, bz = 0;
  Text80 message = make_text<80>("");
  std::int16_t status = 0;
  std::int64_t failed = 0;
  for (auto _ : state) {
    for (const Point& p : points) {
      FIELDS(bmap.data(), MXS, p.x, p.y, p.z, bx, by, bz, message, status);
      failed += status != 0;
      benchmark::DoNotOptimize(bx);
      benchmark::DoNotOptimize(by);
      benchmark::DoNotOptimize(bz);
    }
  }
  SIZE = saved;
  const auto total = static_cast<double>(state.iterations()) * points.size();
  // Seconds per point, printed with an SI prefix (n for nanoseconds).
  state.counters["per_point"] =
      benchmark::Counter(total, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["failed"] = static_cast<double>(failed) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<std::int64_t>(total));
}

// The scan listing's line: y = 0, x from 0 to 99 in steps of 0.37.
void BM_QuadrantScanLine(benchmark::State& state) {
  std::vector<Point> points;
  for (float x = 0.0f; x <= 99.0f; x += 0.37f) points.push_back({x, 0.0f, 37.3f});
  run(state, full_map(90.0, 0), points);
}
BENCHMARK(BM_QuadrantScanLine);

// A line at y = 40 from x = 0 to 60 on a 30-degree map: polar angles from
// 90 down to 33.7 degrees, every point folded.
void BM_SectorScanLineFolded(benchmark::State& state) {
  std::vector<Point> points;
  for (float x = 0.0f; x <= 60.0f; x += 0.23f) points.push_back({x, 40.0f, 37.3f});
  run(state, full_map(30.0, 0), points);
}
BENCHMARK(BM_SectorScanLineFolded);

// Random points over the whole covered region: arg 0 the quadrant map with
// mirror planes (points in all octants), arg 1 the 30-degree sector map
// (points within radius 99 of the axis, mostly folded).
void BM_RandomPoints(benchmark::State& state) {
  const bool sector = state.range(0) == 1;
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> any(-99.0f, 99.0f), half(0.0f, 99.0f);
  std::uniform_real_distribution<double> radius(0.0, 98.0), polar(0.0, 1.5707963);
  std::vector<Point> points;
  for (int n = 0; n < 4096; ++n) {
    if (sector) {
      const double r = radius(rng), a = polar(rng);
      points.push_back(
          {static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a)), half(rng)});
    } else {
      points.push_back({any(rng), any(rng), any(rng)});
    }
  }
  run(state, sector ? full_map(30.0, 0) : full_map(90.0, 1), points);
}
BENCHMARK(BM_RandomPoints)->Arg(0)->Arg(1);

}  // namespace
}  // namespace fieldscan

BENCHMARK_MAIN();
