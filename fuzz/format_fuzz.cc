// Fuzz target for the readers and writers of other tools' map formats
// (fieldmap/formats.h).
//
// Input: the first byte chooses the reader (BDSIM, G4beamline, COMSOL, by
// its value modulo 3); the remaining bytes are the file.  A failure must
// name a line and give a message.  A success must give a grid whose counts,
// steps and origin are usable and whose values fill it.  A BDSIM or
// G4beamline map is then written in its own format and read again: when that
// succeeds, every node value must come back bit for bit.  Any difference
// aborts.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <sstream>
#include <string>

#include "fieldscan/formats/formats.h"

namespace {

using namespace fieldscan;
using namespace fieldscan::fieldmap;

constexpr std::size_t kMaxInput = 1 << 16;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "format_fuzz: %s\n", what);
  std::abort();
}

bool read(int reader, const std::string& text, MapContents& contents, Units& units,
          TableError& error) {
  std::istringstream in(text);
  const FormatRequest request;
  if (reader == 0) return read_bdsim(in, request, contents, units, error);
  if (reader == 1) return read_g4beamline(in, request, contents, units, error);
  return read_comsol(in, request, contents, units, error);
}

std::uint32_t bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxInput) return 0;
  const int reader = data[0] % 3;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  MapContents contents;
  Units units;
  TableError error;
  if (!read(reader, text, contents, units, error)) {
    if (error.line < 1 || error.column < 1 || error.message.empty()) fail("unplaced failure");
    return 0;
  }
  const std::int32_t n[3] = {contents.nx, contents.ny, contents.nz};
  const float step[3] = {contents.dx, contents.dy, contents.dz};
  const float min[3] = {contents.xmin, contents.ymin, contents.zmin};
  std::uint64_t nodes = 1;
  for (int a = 0; a < 3; ++a) {
    if (n[a] < 1) fail("a count below 1");
    if (!(step[a] > 0) || !std::isfinite(step[a])) fail("a step that is not positive");
    if (!std::isfinite(min[a])) fail("an origin that is not finite");
    nodes *= static_cast<std::uint64_t>(n[a]);
  }
  if (contents.values.size() != 3 * nodes) fail("values do not fill the grid");
  if (reader == 2) return 0;

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
  grid.IDA = contents.ida;
  grid.IDB = contents.idb;
  grid.IDC = contents.idc;
  grid.ANGLE = static_cast<float>(std::numbers::pi / 2);
  std::string out, why;
  const bool written = reader == 0
                           ? write_bdsim(grid, contents.values.data(), units, out, why)
                           : write_g4beamline(grid, contents.values.data(), units, out, why);
  if (!written) fail("a map read from the format cannot be written in it");
  MapContents back;
  Units back_units;
  if (!read(reader, out, back, back_units, error)) return 0;
  if (back.values.size() != contents.values.size()) fail("the map read back has other counts");
  for (std::size_t v = 0; v < back.values.size(); ++v) {
    const float a = contents.values[v], b = back.values[v];
    if (bits(a) != bits(b)) fail("a node value changed on the way back");
  }
  if (back.ida != contents.ida || back.idb != contents.idb || back.idc != contents.idc) {
    fail("the reflection indices changed on the way back");
  }
  return 0;
}
