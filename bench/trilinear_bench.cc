// FieldMap's batch evaluation against a minimal trilinear interpolation, and
// sector maps against plain ones, measured in pairs.
//
// The reference is the smallest loop that interpolates a single-precision
// grid: cell by truncation, seven linear interpolations per component, no
// symmetry, no limits beyond keeping the cell inside the grid, no unmeasured
// nodes.  Each case runs the two sides alternately on the same slices of
// 100,000 points (the one going first changes from pair to pair), times
// each run in thread CPU time (a run that other work preempted does not
// count the time it waited), and prints the ratio of every pair: its
// minimum, median and maximum, and the median time per point of each side.
//
//  - BM_AgainstReference/mirror:M/lines:L: the batch against the reference.
//    M 0: a quadrant map without mirror planes, points in the covered
//    octant; M 1: the same grid with all three mirror planes, points in all
//    eight octants (the reference takes their images in the covered
//    octant, so that both read the same cells).  L 0 random points, L 1
//    scan lines along x.  ratio = batch / reference (goal: at most 1).
//  - BM_SectorAgainstPlain/lines:L: the batch on a 30-degree sector map
//    against the batch on the quadrant map, on the same points within the
//    sector map's reach (most of them folded).  ratio = sector / plain
//    (goal: at most 3).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "fieldscan/field/field_map.h"
#include "fieldscan/mapfile/map_writer.h"
#include "paired.h"

namespace fieldscan {
namespace {

constexpr int kNodes = 100;
constexpr std::size_t kSlice = 100'000;
constexpr std::size_t kSlices = 10;
constexpr int kPairs = 200;

// Origin 0, steps 1, 100 nodes per axis, a smooth field; angle in degrees,
// reflection indices all `id`.
const FieldMap& full_map(float angle, int id) {
  static std::vector<std::pair<std::pair<float, int>, FieldMap>> made;
  for (const auto& [key, map] : made) {
    if (key.first == angle && key.second == id) return map;
  }
  MapContents c;
  c.angle = angle;
  c.ida = c.idb = c.idc = id;
  c.nx = c.ny = c.nz = kNodes;
  fill_values(c, [](float x, float y, float z) {
    const double u = x * 0.05, v = y * 0.05, w = z * 0.05;
    return std::array<float, 3>{static_cast<float>(1000.0 * std::cos(u) * std::cosh(0.2 * v) + w),
                                static_cast<float>(-800.0 * std::sin(u + v) + 5.0 * w),
                                static_cast<float>(250.0 * std::cos(w) + 10.0 * u * v)};
  });
  FieldMap map;
  MapError error;
  FieldMap::from_contents(std::move(c), map, error);
  made.reserve(8);
  made.push_back({{angle, id}, std::move(map)});
  return made.back().second;
}

struct Points {
  std::vector<float> x, y, z;
  void add(float a, float b, float c) { x.push_back(a), y.push_back(b), z.push_back(c); }
};

// kSlices * kSlice points: random, or along scan lines of 1000 points in x
// at random y and z.  `kind` 0: the covered octant [0, 99]^3; 1: all eight
// octants; 2: within the reach of the sector map (radius below 98 about the
// z axis on the random points; x from 0 to 60 at y from 20 to 60 on lines).
Points make_points(int kind, bool lines) {
  std::mt19937 rng(lines ? 54321 : 12345);
  std::uniform_real_distribution<float> any(-99.0f, 99.0f), half(0.0f, 99.0f), mid(20.0f, 60.0f);
  std::uniform_real_distribution<double> radius(0.0, 98.0), polar(0.0, 1.5707963);
  Points p;
  const std::size_t total = kSlices * kSlice;
  if (lines) {
    for (std::size_t line = 0; line < total / 1000; ++line) {
      const float y = kind == 2 ? mid(rng) : kind == 1 ? any(rng) : half(rng);
      const float z = kind == 1 ? any(rng) : half(rng);
      for (int n = 0; n < 1000; ++n) {
        const auto s = static_cast<float>(n);
        p.add(kind == 2 ? 0.06f * s : kind == 1 ? -99.0f + 0.198f * s : 0.099f * s, y, z);
      }
    }
    return p;
  }
  for (std::size_t n = 0; n < total; ++n) {
    if (kind == 2) {
      const double r = radius(rng), a = polar(rng);
      p.add(static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a)), half(rng));
    } else if (kind == 1) {
      p.add(any(rng), any(rng), any(rng));
    } else {
      p.add(half(rng), half(rng), half(rng));
    }
  }
  return p;
}

// The minimal trilinear interpolation on a grid of origin 0 and step 1.
void reference(const float values[], std::size_t n, const float x[], const float y[],
               const float z[], FieldVector b[]) {
  constexpr int sx = 3, sy = 3 * kNodes, sz = 3 * kNodes * kNodes;
  const auto cell = [](float p, int& i) {
    i = std::clamp(static_cast<int>(p), 0, kNodes - 2);
    return p - static_cast<float>(i);
  };
  const auto lerp = [](float a, float c, float t) { return a + t * (c - a); };
  for (std::size_t m = 0; m < n; ++m) {
    int i, j, k;
    const float tx = cell(x[m], i), ty = cell(y[m], j), tz = cell(z[m], k);
    const float* v = values + (k * sz + j * sy + i * sx);
    float out[3];
    for (int c = 0; c < 3; ++c) {
      const float c00 = lerp(v[c], v[sx + c], tx);
      const float c10 = lerp(v[sy + c], v[sy + sx + c], tx);
      const float c01 = lerp(v[sz + c], v[sz + sx + c], tx);
      const float c11 = lerp(v[sz + sy + c], v[sz + sy + sx + c], tx);
      out[c] = lerp(lerp(c00, c10, ty), lerp(c01, c11, ty), tz);
    }
    b[m] = FieldVector{out[0], out[1], out[2]};
  }
}

// The first point of pair i's slice.
std::size_t slice(std::size_t i) { return (i % kSlices) * kSlice; }

void BM_AgainstReference(benchmark::State& state) {
  const bool mirror = state.range(0) == 1;
  const bool lines = state.range(1) == 1;
  const FieldMap& map = full_map(90, mirror ? 1 : 0);
  const Points p = make_points(mirror ? 1 : 0, lines);
  Points images = p;  // the reference's points, in the covered octant
  for (std::vector<float>* axis : {&images.x, &images.y, &images.z}) {
    for (float& v : *axis) v = std::fabs(v);
  }
  std::vector<FieldVector> out(kSlice), ref(kSlice);
  std::vector<FieldStatus> status(kSlice);
  const float* values = map.contents().values.data();
  const auto batch = [&](std::size_t i) {
    const auto part = [first = slice(i)](const std::vector<float>& v) {
      return std::span<const float>(v.data() + first, kSlice);
    };
    map.field(part(p.x), part(p.y), part(p.z), out, status);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  };
  const auto minimal = [&](std::size_t i) {
    const std::size_t first = slice(i);
    reference(values, kSlice, images.x.data() + first, images.y.data() + first,
              images.z.data() + first, ref.data());
    benchmark::DoNotOptimize(ref.data());
    benchmark::ClobberMemory();
  };
  bench::run_pairs(state, kSlice, "batch", batch, "reference", minimal);
}
BENCHMARK(BM_AgainstReference)
    ->ArgNames({"mirror", "lines"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(kPairs);

void BM_SectorAgainstPlain(benchmark::State& state) {
  const bool lines = state.range(0) == 1;
  const FieldMap& sector = full_map(30, 0);
  const FieldMap& plain = full_map(90, 0);
  const Points p = make_points(2, lines);
  std::vector<FieldVector> out(kSlice);
  std::vector<FieldStatus> status(kSlice);
  const auto on = [&](const FieldMap& map) {
    return [&](std::size_t i) {
      const auto part = [first = slice(i)](const std::vector<float>& v) {
        return std::span<const float>(v.data() + first, kSlice);
      };
      map.field(part(p.x), part(p.y), part(p.z), out, status);
      benchmark::DoNotOptimize(out.data());
      benchmark::ClobberMemory();
    };
  };
  bench::run_pairs(state, kSlice, "sector", on(sector), "plain", on(plain));
}
BENCHMARK(BM_SectorAgainstPlain)->ArgNames({"lines"})->Arg(0)->Arg(1)->Iterations(kPairs);

}  // namespace
}  // namespace fieldscan

BENCHMARK_MAIN();
