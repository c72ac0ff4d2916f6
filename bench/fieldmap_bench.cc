// fieldmap convert on a full-capacity table: 100 x 100 x 100 nodes in the
// header form, about 60 MB of text (coordinates in millimetres, field values
// with seven significant digits), the z index fastest as such tables come.
//
// Then reading and writing the same map in every other format (BM_Read/*,
// BM_Write/*), each next to the header table under the same measure: the
// goal is at most twice the header table's time.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <istream>
#include <numbers>
#include <streambuf>
#include <string>

#include "fieldscan/formats/formats.h"
#include "fieldscan/formats/grid_finder.h"
#include "fieldscan/formats/table_reader.h"
#include "fieldscan/formats/table_writer.h"
#include "fieldscan/mapfile/map_writer.h"

namespace {

using namespace fieldscan;
using namespace fieldscan::fieldmap;

// Hands the table to `sink` a piece at a time.
template <typename Sink>
void generate_table(Sink&& sink) {
  std::string t =
      "          100         100         100\n 1 X [MM]\n 2 Y [MM]\n 3 Z [MM]\n"
      " 4 BX [TESLA]\n 5 BY [TESLA]\n 6 BZ [TESLA]\n 0\n";
  char line[160];
  for (int i = 0; i < 100; ++i) {
    for (int j = 0; j < 100; ++j)
      for (int k = 0; k < 100; ++k) {
        const double x = -250 + 5.0 * i, y = -250 + 5.0 * j, z = -1000 + 20.0 * k;
        std::snprintf(line, sizeof line, "%10.3f %10.3f %10.3f %14.7e %14.7e %14.7e\n", x, y, z,
                      std::sin(x * 0.01) * 1.5, std::cos(y * 0.02) * 0.3, std::exp(-z * z * 1e-6));
        t += line;
      }
    sink(t);
    t.clear();
  }
}

const std::string& big_table() {
  static const std::string text = [] {
    std::string t;
    t.reserve(80u << 20);
    generate_table([&t](const std::string& piece) { t += piece; });
    return t;
  }();
  return text;
}

// Registered first, so that it runs before any benchmark builds the text
// in memory.  The fieldmap executable converting the table from a file, in a process
// of its own: its peak resident memory, and that less the map's 12 MB.
// The goal is at most 64 MiB beyond the map: the table is read as a stream,
// so the 78 MB of text never sit in memory at once.
void BM_ConvertProcessPeakMemory(benchmark::State& state) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("fieldmap_bench_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string table = (dir / "big.table").string();
  const std::string map = (dir / "big.map").string();
  {
    // Written without holding the text: this process stays small, so the
    // child's figure is its own.
    std::FILE* f = std::fopen(table.c_str(), "wb");
    if (!f) {
      state.SkipWithError("cannot write the table");
      return;
    }
    generate_table(
        [f](const std::string& piece) { std::fwrite(piece.data(), 1, piece.size(), f); });
    std::fclose(f);
  }
  long peak_kib = 0;
  for (auto _ : state) {
    const char* argv[] = {FIELDMAP_BINARY, "convert", table.c_str(), map.c_str(), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, FIELDMAP_BINARY, nullptr, nullptr, const_cast<char**>(argv), environ) !=
        0) {
      state.SkipWithError("cannot start fieldmap");
      break;
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("fieldmap convert failed");
      break;
    }
    peak_kib = std::max(peak_kib, usage.ru_maxrss);
  }
  std::filesystem::remove_all(dir);
  const double map_mib = 12001038.0 / (1 << 20);
  state.counters["peak_rss_MiB"] = static_cast<double>(peak_kib) / 1024.0;
  state.counters["beyond_map_MiB"] = static_cast<double>(peak_kib) / 1024.0 - map_mib;
}
BENCHMARK(BM_ConvertProcessPeakMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_ConvertTable(benchmark::State& state) {
  const std::string& text = big_table();
  for (auto _ : state) {
    Table table;
    TableError error;
    MapContents contents;
    if (!read_table(text, ReadOptions{}, table, error) || !build_map(table, contents, error)) {
      state.SkipWithError(error.message.c_str());
      return;
    }
    const std::string bytes = encode_map(contents);
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["table_MB"] = static_cast<double>(text.size()) / 1e6;
}
BENCHMARK(BM_ConvertTable)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ExportTable(benchmark::State& state) {
  const std::string& text = big_table();
  Table table;
  TableError error;
  MapContents contents;
  if (!read_table(text, ReadOptions{}, table, error) || !build_map(table, contents, error)) {
    state.SkipWithError(error.message.c_str());
    return;
  }
  std::size_t size = 0;
  for (auto _ : state) {
    const std::string out = format_table(contents);
    size = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_ExportTable)->Unit(benchmark::kMillisecond)->UseRealTime();

Units kMillimetreTeslaUnits() { return Units{LengthUnit::mm, FieldUnit::T}; }

// The converted big table: its grid as LOAD would leave it, and its values.
struct BigMap {
  GridSize grid;
  MapContents contents;
};

const BigMap& big_map() {
  static const BigMap map = [] {
    BigMap m;
    Table table;
    TableError error;
    read_table(big_table(), ReadOptions{}, table, error);
    build_map(table, m.contents, error);
    record_units(kMillimetreTeslaUnits(), m.contents);
    const MapContents& c = m.contents;
    m.grid.XMIN = c.xmin;
    m.grid.YMIN = c.ymin;
    m.grid.ZMIN = c.zmin;
    m.grid.DX = c.dx;
    m.grid.DY = c.dy;
    m.grid.DZ = c.dz;
    m.grid.NX = c.nx;
    m.grid.NY = c.ny;
    m.grid.NZ = c.nz;
    m.grid.ANGLE = static_cast<float>(std::numbers::pi / 2);
    return m;
  }();
  return map;
}

const Units kMillimetreTesla{LengthUnit::mm, FieldUnit::T};

std::string write_format(Format format) {
  const BigMap& m = big_map();
  std::string out, why;
  switch (format) {
    case Format::table:
      return format_table(m.contents);
    case Format::csv:
      return write_csv(m.grid, m.contents.values.data(), kMillimetreTesla);
    case Format::bdsim:
      write_bdsim(m.grid, m.contents.values.data(), kMillimetreTesla, out, why);
      return out;
    case Format::g4beamline:
      write_g4beamline(m.grid, m.contents.values.data(), kMillimetreTesla, out, why);
      return out;
    case Format::comsol: {
      // The CSV text under a COMSOL header, blank-separated.
      out = write_csv(m.grid, m.contents.values.data(), kMillimetreTesla);
      out.erase(0, out.find('\n') + 1);
      for (char& c : out) {
        if (c == ',') c = ' ';
      }
      return "% Model: bench.mph\n% Length unit: mm\n% x y z mf.Bx (T) mf.By (T) mf.Bz (T)\n" + out;
    }
    case Format::vti:
      write_vti(m.contents, kMillimetreTesla, false, out, why);
      return out;
  }
  return out;
}

const std::string& text_of(Format format) {
  static std::string texts[6];
  std::string& t = texts[static_cast<int>(format)];
  if (t.empty()) t = write_format(format);
  return t;
}

// An input stream over a string, without copying it.
class ViewBuffer : public std::streambuf {
 public:
  explicit ViewBuffer(const std::string& s) {
    char* p = const_cast<char*>(s.data());
    setg(p, p, p + s.size());
  }
};

void BM_Read(benchmark::State& state) {
  const auto format = static_cast<Format>(state.range(0));
  const std::string& text = text_of(format);
  state.SetLabel(std::string(format_name(format)));
  for (auto _ : state) {
    MapContents contents;
    TableError error;
    Units units;
    bool ok = false;
    if (format == Format::table || format == Format::csv) {
      Table table;
      ok = read_table(text, ReadOptions{}, table, error) && build_map(table, contents, error);
    } else {
      ViewBuffer buffer(text);
      std::istream in(&buffer);
      FormatRequest request;
      ok = format == Format::bdsim        ? read_bdsim(in, request, contents, units, error)
           : format == Format::g4beamline ? read_g4beamline(in, request, contents, units, error)
                                          : read_comsol(in, request, contents, units, error);
    }
    if (!ok) {
      state.SkipWithError(error.message.c_str());
      return;
    }
    benchmark::DoNotOptimize(contents.values.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["text_MB"] = static_cast<double>(text.size()) / 1e6;
}
BENCHMARK(BM_Read)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Write(benchmark::State& state) {
  const auto format = static_cast<Format>(state.range(0));
  state.SetLabel(std::string(format_name(format)));
  std::size_t size = 0;
  for (auto _ : state) {
    const std::string out = write_format(format);
    size = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_Write)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
