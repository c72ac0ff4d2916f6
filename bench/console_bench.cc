// The console's whole run on a full-capacity map (100 x 100 x 100 nodes,
// 12,001,038 bytes, in the page cache) against `cat` of the same file, in
// CPU time (user and system, of the child process).
//
// The run: the map named on the command line is loaded, the header
// written, one scan of 100 points along x listed (to the console and a
// listing file), and the input ends.  The two processes run alternately,
// 200 pairs, the one going first changing from pair to pair; the benchmark
// prints the ratio of every pair (minimum, median, maximum; goal: at most
// 1.5) and the median CPU time of each, with the minor page faults.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "fieldscan/mapfile/map_writer.h"

namespace fieldscan {
namespace {

namespace fs = std::filesystem;

struct Cost {
  double cpu_ms = 0;
  long faults = 0;
};

// Runs argv with stdin from `input`, stdout and stderr to /dev/null, in
// `dir`; its CPU time and minor faults.
Cost run_child(const std::vector<std::string>& args, const std::string& input,
               const fs::path& dir) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  pid_t child = 0;
  Cost cost;
  if (posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec * 1e-3; };
    cost.cpu_ms = ms(usage.ru_utime) + ms(usage.ru_stime);
    cost.faults = usage.ru_minflt;
  }
  posix_spawn_file_actions_destroy(&actions);
  return cost;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

void BM_ConsoleAgainstCat(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("cb" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string map = (dir / "full.map").string(), input = (dir / "answers").string();
  MapContents c;
  c.nx = c.ny = c.nz = 100;
  fill_values(c, [](float x, float y, float z) {
    return std::array<float, 3>{std::sin(0.05f * x) * 1000, y * z, std::cos(0.05f * z) * 300};
  });
  write_map_file(map, c);
  write_file(input, "x\n37\n0,99,1\n");  // 100 points: 0.0 to 9.9 by 0.1
  std::vector<double> console, cat, ratio;
  long console_faults = 0, cat_faults = 0;
  for (auto _ : state) {
    Cost a, b;
    if (ratio.size() % 2 == 0) {
      a = run_child({FIELDSCAN_BINARY, map}, input, dir);
      b = run_child({"cat", map}, input, dir);
    } else {
      b = run_child({"cat", map}, input, dir);
      a = run_child({FIELDSCAN_BINARY, map}, input, dir);
    }
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() == ".lis") fs::remove(entry.path());
    }
    console.push_back(a.cpu_ms), cat.push_back(b.cpu_ms);
    ratio.push_back(b.cpu_ms > 0 ? a.cpu_ms / b.cpu_ms : NAN);
    console_faults = a.faults, cat_faults = b.faults;
  }
  fs::remove_all(dir);
  state.counters["ratio_min"] = *std::min_element(ratio.begin(), ratio.end());
  state.counters["ratio_med"] = median(ratio);
  state.counters["ratio_max"] = *std::max_element(ratio.begin(), ratio.end());
  state.counters["console_ms"] = median(console);
  state.counters["cat_ms"] = median(cat);
  state.counters["console_faults"] = static_cast<double>(console_faults);
  state.counters["cat_faults"] = static_cast<double>(cat_faults);
}
BENCHMARK(BM_ConsoleAgainstCat)->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace fieldscan

BENCHMARK_MAIN();
