// LOAD of a full-capacity map (100 x 100 x 100 nodes, 12,001,038 bytes)
// from the page cache, against the I/O floor: opening the same file and
// reading all of it into a buffer with a single read.  Prints both and the
// ratio LOAD / floor (goal: at most 1.5).
//
// LOAD of a map of 100,000,000 empty planes (NX = NY = 0: a sparse file of
// 800,000,238 bytes, every plane record an 8-byte pair of zero length
// words), against reading the same file once as `cat file >/dev/null`
// does, in chunks of 128 KiB.  Prints both and the ratio (goal: at most 3).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "fieldscan/mapfile/load.h"
#include "fieldscan/mapfile/map_writer.h"

namespace fieldscan {
namespace {

std::string g_path;
std::size_t g_size = 0;
std::string g_sparse_path;
constexpr std::int32_t kEmptyPlanes = 100'000'000;
constexpr std::size_t kSparseSize = 238 + std::size_t{8} * kEmptyPlanes;

// Both buffers exist once and are touched before timing starts.
std::vector<float>& Bmap() {
  static std::vector<float> bmap(MXS, 1.0f);
  return bmap;
}
std::vector<char>& FloorBuffer() {
  static std::vector<char> buffer(g_size, 1);
  return buffer;
}

void BM_Load(benchmark::State& state) {
  const Text80 name = make_text<80>(g_path);
  Text80 message = make_text<80>("");
  std::int16_t status = 0;
  for (auto _ : state) {
    LOAD(name, Bmap().data(), MXS, message, status);
    if (status != 0) {
      state.SkipWithError("LOAD failed");
      break;
    }
    benchmark::DoNotOptimize(Bmap().data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_size));
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);

void BM_ReadFloor(benchmark::State& state) {
  std::vector<char>& buffer = FloorBuffer();
  for (auto _ : state) {
    const int fd = ::open(g_path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd < 0 ? -1 : ::read(fd, buffer.data(), buffer.size());
    if (fd >= 0) ::close(fd);
    if (got != static_cast<ssize_t>(buffer.size())) {
      state.SkipWithError("single read came back short");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_size));
}
BENCHMARK(BM_ReadFloor)->Unit(benchmark::kMillisecond);

void BM_LoadEmptyPlanes(benchmark::State& state) {
  const Text80 name = make_text<80>(g_sparse_path);
  Text80 message = make_text<80>("");
  std::int16_t status = 0;
  for (auto _ : state) {
    LOAD(name, Bmap().data(), MXS, message, status);
    if (status != 0 || SIZE.NZ != kEmptyPlanes) {
      state.SkipWithError("LOAD of the empty planes failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSparseSize));
}
BENCHMARK(BM_LoadEmptyPlanes)->Unit(benchmark::kMillisecond);

// Reads the whole file in chunks of 128 KiB; the bytes read.
std::size_t read_in_chunks(const std::string& path) {
  static std::vector<char> chunk(128 * 1024);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::size_t total = 0;
  for (ssize_t got; (got = ::read(fd, chunk.data(), chunk.size())) > 0;)
    total += static_cast<std::size_t>(got);
  ::close(fd);
  return total;
}

void BM_CatEmptyPlanes(benchmark::State& state) {
  for (auto _ : state) {
    if (read_in_chunks(g_sparse_path) != kSparseSize) {
      state.SkipWithError("reading the sparse file came back short");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSparseSize));
}
BENCHMARK(BM_CatEmptyPlanes)->Unit(benchmark::kMillisecond);

// The map of empty planes: its five header records, then a hole up to the
// full length, which reads as zero bytes, that is, as empty plane records.
bool write_sparse_map(const std::string& path) {
  MapContents contents;
  contents.nx = contents.ny = contents.nz = 0;
  std::string header = encode_map(contents);
  for (int b = 0; b < 4; ++b)  // NZ, the last item of record 5
    header[238 - 8 + b] =
        static_cast<char>((static_cast<std::uint32_t>(kEmptyPlanes) >> (8 * b)) & 0xFF);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok =
      ::write(fd, header.data(), header.size()) == static_cast<ssize_t>(header.size()) &&
      ::ftruncate(fd, static_cast<off_t>(kSparseSize)) == 0;
  return ::close(fd) == 0 && ok;
}

// The console report, plus the fastest real time of each benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      Best& best = best_[run.run_name.function_name];
      best.real = std::min(best.real, run.GetAdjustedRealTime());
      best.cpu = std::min(best.cpu, run.GetAdjustedCPUTime());
    }
  }
  struct Best {
    double real = std::numeric_limits<double>::infinity();
    double cpu = std::numeric_limits<double>::infinity();
  };
  const std::map<std::string, Best>& best() const { return best_; }

 private:
  std::map<std::string, Best> best_;
};

}  // namespace
}  // namespace fieldscan

int main(int argc, char** argv) {
  using namespace fieldscan;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  g_path = (std::filesystem::temp_directory_path() /
            ("fieldscan_load_bench_" + std::to_string(::getpid()) + ".map"))
               .string();
  if (g_path.size() > 80) {
    std::fprintf(stderr, "temporary file name longer than 80 characters: %s\n", g_path.c_str());
    return 1;
  }
  {
    MapContents contents;
    contents.nx = contents.ny = contents.nz = 100;
    contents.values.resize(MXS);
    for (std::size_t n = 0; n < contents.values.size(); ++n)
      contents.values[n] = static_cast<float>(n % 1000) * 0.5f;
    const std::string bytes = encode_map(contents);
    g_size = bytes.size();
    if (!write_file(g_path, bytes)) {
      std::fprintf(stderr, "cannot write %s\n", g_path.c_str());
      return 1;
    }
  }
  g_sparse_path = (std::filesystem::temp_directory_path() /
                   ("fieldscan_load_bench_" + std::to_string(::getpid()) + "_sparse.map"))
                      .string();
  if (g_sparse_path.size() > 80 || !write_sparse_map(g_sparse_path)) {
    std::fprintf(stderr, "cannot write the sparse map %s\n", g_sparse_path.c_str());
    std::filesystem::remove(g_path);
    std::filesystem::remove(g_sparse_path);
    return 1;
  }
  Bmap();
  FloorBuffer();
  read_in_chunks(g_sparse_path);  // both timings start from the page cache

  RatioReporter reporter(::isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                 : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::filesystem::remove(g_path);
  std::filesystem::remove(g_sparse_path);

  const auto& best = reporter.best();
  const auto load = best.find("BM_Load"), floor = best.find("BM_ReadFloor");
  if (load != best.end() && floor != best.end()) {
    const auto& l = load->second;
    const auto& f = floor->second;
    std::printf(
        "map file %zu bytes, fastest run: LOAD %.3f ms real (%.3f ms CPU), single read %.3f ms "
        "real (%.3f ms CPU); ratio LOAD / floor %.2f real, %.2f CPU (goal <= 1.5)\n",
        g_size, l.real, l.cpu, f.real, f.cpu, l.real / f.real, l.cpu / f.cpu);
  }
  const auto planes = best.find("BM_LoadEmptyPlanes"), cat = best.find("BM_CatEmptyPlanes");
  if (planes != best.end() && cat != best.end()) {
    const auto& l = planes->second;
    const auto& c = cat->second;
    std::printf(
        "map of %d empty planes, %zu bytes, fastest run: LOAD %.1f ms real (%.1f ms CPU), "
        "one read of the file in 128 KiB chunks %.1f ms real (%.1f ms CPU); ratio %.2f real, "
        "%.2f CPU (goal <= 3)\n",
        kEmptyPlanes, kSparseSize, l.real, l.cpu, c.real, c.cpu, l.real / c.real, l.cpu / c.cpu);
  }
  benchmark::Shutdown();
  return 0;
}
