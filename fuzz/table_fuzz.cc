// Fuzz target for the field table readers and the grid finder: arbitrary
// bytes as a table, read through the streaming reader (with a source that
// hands the bytes over in small, uneven pieces, so that lines and line ends
// straddle every refill), then fitted to a grid.
//
// Checks:
//  - a failure names a message, and a line and column unless the source
//    itself failed;
//  - an accepted table gives a map whose counts are positive, whose steps
//    are finite and positive and which holds exactly its nodes' values, none
//    of them a NaN or an infinity;
//  - the map can be written as a table (export), and converting that table
//    gives back the same map, every header item and value bit for bit.
// Any difference aborts.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fieldscan/formats/grid_finder.h"
#include "fieldscan/formats/map_header.h"
#include "fieldscan/formats/table_reader.h"
#include "fieldscan/formats/table_writer.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_writer.h"

namespace {

using namespace fieldscan;
using namespace fieldscan::fieldmap;

constexpr std::size_t kMaxInput = 1 << 16;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "table_fuzz: %s: %s\n", what, detail.c_str());
  std::abort();
}

// The bytes in pieces of 1 to 64 bytes, the sizes taken from the bytes.
class PieceSource final : public TextSource {
 public:
  explicit PieceSource(std::string_view bytes) : bytes_(bytes) {}
  std::ptrdiff_t read(char* dst, std::size_t n, std::string&) override {
    std::size_t k = 1 + (pos_ < bytes_.size() ? static_cast<unsigned char>(bytes_[pos_]) % 64 : 0);
    k = std::min({k, n, bytes_.size() - pos_});
    std::memcpy(dst, bytes_.data() + pos_, k);
    pos_ += k;
    return static_cast<std::ptrdiff_t>(k);
  }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

// The map convert makes of a table, or false with the error.
bool convert(TextSource& source, MapContents& contents, TableError& error) {
  Table table;
  contents = MapContents{};
  contents.title = "fuzz";
  contents.date = "01-JAN-2000";
  if (!read_table(source, ReadOptions{}, table, error) || !build_map(table, contents, error)) {
    return false;
  }
  apply_header(table.header, contents);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  PieceSource source(bytes);
  MapContents map;
  TableError error;
  if (!convert(source, map, error)) {
    if (error.message.empty()) fail("a failure without a message", "");
    // Only a refusal of the whole file (a UTF-16 text) has no line and column.
    const bool whole_file = error.message.find("UTF-16") != std::string::npos;
    if (!whole_file && (error.line == 0 || error.column == 0)) {
      fail("a failure without a position", error.message);
    }
    return 0;
  }
  const std::int64_t nodes = std::int64_t{map.nx} * map.ny * map.nz;
  if (map.nx < 1 || map.ny < 1 || map.nz < 1 || 3 * nodes > MXS) fail("bad counts", "");
  for (const float step : {map.dx, map.dy, map.dz}) {
    if (!std::isfinite(step) || !(step > 0)) fail("bad step", std::to_string(step));
  }
  if (map.values.size() != static_cast<std::size_t>(3 * nodes)) fail("wrong number of values", "");
  for (const float v : map.values) {
    if (!std::isfinite(v)) fail("a value that is not finite", std::to_string(v));
  }
  const std::string problem = table_problem(map);
  if (!problem.empty()) fail("an accepted table cannot be exported", problem);

  const std::string table = format_table(map);
  StringSource again(table);
  MapContents back;
  if (!convert(again, back, error)) {
    fail("the exported table does not convert",
         std::to_string(error.line) + ":" + std::to_string(error.column) + ": " + error.message);
  }
  if (encode_map(back) != encode_map(map))
    fail("the round trip changes the map", table.substr(0, 600));
  return 0;
}
