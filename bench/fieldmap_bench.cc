// fieldmap convert on a full-capacity table: 100 x 100 x 100 nodes in the
// header form, about 60 MB of text (coordinates in millimetres, field values
// with seven significant digits), the z index fastest as such tables come.
//
// Then reading and writing the same map in every other format (BM_Read/*,
// BM_Write/*), each next to the header table under the same measure: the
// goal is at most twice the header table's time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <istream>
#include <numbers>
#include <streambuf>
#include <string>

#include "fieldmap/formats.h"
#include "fieldmap/grid_finder.h"
#include "fieldmap/table_reader.h"
#include "fieldmap/table_writer.h"
#include "mapfile/map_writer.h"

namespace {

using namespace fieldscan;
using namespace fieldscan::fieldmap;

const std::string& big_table() {
  static const std::string text = [] {
    std::string t =
        "          100         100         100\n 1 X [MM]\n 2 Y [MM]\n 3 Z [MM]\n"
        " 4 BX [TESLA]\n 5 BY [TESLA]\n 6 BZ [TESLA]\n 0\n";
    t.reserve(64u << 20);
    char line[160];
    for (int i = 0; i < 100; ++i)
      for (int j = 0; j < 100; ++j)
        for (int k = 0; k < 100; ++k) {
          const double x = -250 + 5.0 * i, y = -250 + 5.0 * j, z = -1000 + 20.0 * k;
          std::snprintf(line, sizeof line, "%10.3f %10.3f %10.3f %14.7e %14.7e %14.7e\n", x, y, z,
                        std::sin(x * 0.01) * 1.5, std::cos(y * 0.02) * 0.3,
                        std::exp(-z * z * 1e-6));
          t += line;
        }
    return t;
  }();
  return text;
}

void BM_ConvertTable(benchmark::State& state) {
  const std::string& text = big_table();
  for (auto _ : state) {
    Table table;
    TableError error;
    MapContents contents;
    if (!read_table(text, ReadOptions{}, table, error) ||
        !build_map(text, table, contents, error)) {
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
  if (!read_table(text, ReadOptions{}, table, error) || !build_map(text, table, contents, error)) {
    state.SkipWithError(error.message.c_str());
    return;
  }
  GridSize grid;
  grid.XMIN = contents.xmin;
  grid.YMIN = contents.ymin;
  grid.ZMIN = contents.zmin;
  grid.DX = contents.dx;
  grid.DY = contents.dy;
  grid.DZ = contents.dz;
  grid.NX = contents.nx;
  grid.NY = contents.ny;
  grid.NZ = contents.nz;
  std::size_t size = 0;
  for (auto _ : state) {
    const std::string out = format_table(grid, contents.values.data());
    size = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_ExportTable)->Unit(benchmark::kMillisecond)->UseRealTime();

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
    build_map(big_table(), table, m.contents, error);
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
      return format_table(m.grid, m.contents.values.data(), "mm", "T");
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
  }
  return out;
}

const std::string& text_of(Format format) {
  static std::string texts[5];
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
      ok = read_table(text, ReadOptions{}, table, error) && build_map(text, table, contents, error);
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
