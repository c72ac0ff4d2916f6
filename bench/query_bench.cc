// Asking full-capacity maps (100 x 100 x 100 nodes) for their field.
//
//  - BM_BatchEvaluation/sector:S/lines:L/threads:T: FieldMap's batch
//    evaluation of 1,000,000 points, no output.  S 0 is a quadrant map with
//    all three mirror planes, 1 a 30-degree sector map.  L 0: random points
//    (all octants on the quadrant map, within radius 98 of the axis on the
//    sector map, mostly folded); L 1: along scan lines.  Read per_point
//    (elapsed time, so that two threads count as such; on a busy machine
//    compare the CPU time of the one-thread cases).
//  - BM_SampleCsv: "fieldmap sample MAP --points FILE -o OUT" on 1,000,000
//    random points of the quadrant map: load, read the points, evaluate and
//    write the CSV file.  Read the time per iteration.
//  - BM_DiffFullMaps: "fieldmap diff A B" of two full-capacity maps that
//    differ at one node (both loaded, compared at the million nodes of A).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <random>
#include <vector>

#include "fieldmap/cli.h"
#include "fieldscan/field/field_map.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/textio/number.h"

namespace fieldscan {
namespace {

constexpr int kNodes = 100;
constexpr std::size_t kPoints = 1'000'000;

// Origin 0, steps 1, 100 nodes per axis, a smooth field; angle in degrees,
// reflection indices all `id`.
MapContents full_map(float angle, int id) {
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
  return c;
}

struct Points {
  std::vector<float> x, y, z;
};

Points random_points(bool sector) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> any(-99.0f, 99.0f), half(0.0f, 99.0f);
  std::uniform_real_distribution<double> radius(0.0, 98.0), polar(0.0, 1.5707963);
  Points p;
  for (std::size_t n = 0; n < kPoints; ++n) {
    if (sector) {
      const double r = radius(rng), a = polar(rng);
      p.x.push_back(static_cast<float>(r * std::cos(a)));
      p.y.push_back(static_cast<float>(r * std::sin(a)));
      p.z.push_back(half(rng));
    } else {
      p.x.push_back(any(rng));
      p.y.push_back(any(rng));
      p.z.push_back(any(rng));
    }
  }
  return p;
}

// 1000 scan lines of 1000 points along x, each at its own random y and z:
// on the quadrant map x from -99 to 99 (crossing the mirror plane), on the
// sector map x from 0 to 60 at y from 20 to 60 (folded where the polar angle
// is beyond 30 degrees).
Points scan_lines(bool sector) {
  std::mt19937 rng(54321);
  std::uniform_real_distribution<float> any(-99.0f, 99.0f), half(0.0f, 99.0f), mid(20.0f, 60.0f);
  Points p;
  for (int line = 0; line < 1000; ++line) {
    const float y = sector ? mid(rng) : any(rng), z = sector ? half(rng) : any(rng);
    for (int n = 0; n < 1000; ++n) {
      p.x.push_back(sector ? 0.06f * static_cast<float>(n)
                           : -99.0f + 0.198f * static_cast<float>(n));
      p.y.push_back(y);
      p.z.push_back(z);
    }
  }
  return p;
}

void BM_BatchEvaluation(benchmark::State& state) {
  const bool sector = state.range(0) == 1;
  const bool lines = state.range(1) == 1;
  const auto threads = static_cast<unsigned>(state.range(2));
  FieldMap map;
  MapError error;
  if (!FieldMap::from_contents(sector ? full_map(30, 0) : full_map(90, 1), map, error)) {
    state.SkipWithError(error.message.c_str());
    return;
  }
  const Points p = lines ? scan_lines(sector) : random_points(sector);
  std::vector<FieldVector> b(kPoints);
  std::vector<FieldStatus> status(kPoints);
  for (auto _ : state) {
    map.field(p.x, p.y, p.z, b, status, threads);
    benchmark::DoNotOptimize(b.data());
    benchmark::ClobberMemory();
  }
  std::int64_t failed = 0;
  for (const FieldStatus s : status) failed += s != FieldStatus::kOk;
  const auto total = static_cast<double>(state.iterations()) * kPoints;
  state.counters["per_point"] =
      benchmark::Counter(total, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(BM_BatchEvaluation)
    ->ArgNames({"sector", "lines", "threads"})
    ->ArgsProduct({{0, 1}, {0, 1}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Files of the CLI cases, in a scratch directory (short names: map names
// are limited to 80 characters).
struct Files {
  std::filesystem::path dir;
  std::string map_a, map_b, points, out;
  Files() {
    dir = std::filesystem::temp_directory_path() / ("qb" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    map_a = (dir / "a.map").string();
    map_b = (dir / "b.map").string();
    points = (dir / "points.txt").string();
    out = (dir / "out.csv").string();
    MapContents a = full_map(90, 1);
    write_map_file(map_a, a);
    a.values[value_index(a, 50, 60, 70, 2)] += 1.0f;
    write_map_file(map_b, a);
    const Points p = random_points(false);
    std::string text;
    for (std::size_t n = 0; n < kPoints; ++n) {
      fieldmap::append_float(text, p.x[n]);
      text += ' ';
      fieldmap::append_float(text, p.y[n]);
      text += ' ';
      fieldmap::append_float(text, p.z[n]);
      text += '\n';
    }
    write_file(points, text);
  }
  ~Files() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

const Files& files() {
  static const Files f;
  return f;
}

void run_cli(benchmark::State& state, const std::vector<std::string>& args, int expected) {
  for (auto _ : state) {
    fieldmap::CliStreams io;
    const int status = fieldmap::run_fieldmap(args, io);
    if (status != expected) {
      state.SkipWithError(io.err.c_str());
      return;
    }
  }
}

void BM_SampleCsv(benchmark::State& state) {
  const Files& f = files();
  run_cli(state, {"sample", f.map_a, "--points", f.points, "-o", f.out}, 0);
  state.counters["bytes_out"] = static_cast<double>(std::filesystem::file_size(f.out));
}
BENCHMARK(BM_SampleCsv)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DiffFullMaps(benchmark::State& state) {
  const Files& f = files();
  run_cli(state, {"diff", f.map_a, f.map_b}, 1);
}
BENCHMARK(BM_DiffFullMaps)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace fieldscan

BENCHMARK_MAIN();
