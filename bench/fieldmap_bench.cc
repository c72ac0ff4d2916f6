// fieldmap convert on a full-capacity table: 100 x 100 x 100 nodes in the
// header form, about 60 MB of text (coordinates in millimetres, field values
// with seven significant digits), the z index fastest as such tables come.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>

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

}  // namespace

BENCHMARK_MAIN();
