// Writes the seed corpora of the fuzz targets:
//   make_fuzz_seeds <corpus directory>
// fills <dir>/load_fuzz (map files, valid and broken), <dir>/fields_fuzz
// (grid descriptions and points in the byte layout fields_fuzz.cc reads)
// and <dir>/dialogue_fuzz (answer scripts).  The files are small and
// deterministic; rerunning the generator rewrites the same bytes.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fieldscan/mapfile/map_writer.h"

namespace {

using fieldscan::MapContents;
namespace fs = std::filesystem;

bool put(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  return fieldscan::write_file((dir / name).string(), bytes);
}

MapContents small_map() {
  MapContents contents;
  contents.xmin = -1.5f;
  contents.ida = 1;
  contents.idb = 2;
  for (int n = 0; n < 24; ++n) contents.values.push_back(0.5f * static_cast<float>(n) - 3.0f);
  return contents;
}

std::string framed(const std::vector<std::string>& records) {
  std::string out;
  for (const auto& r : records) out += fieldscan::frame_record(r);
  return out;
}

// --- fields_fuzz inputs, in the order the target reads them -----------------
class Description {
 public:
  Description& u8(int v) {
    bytes_.push_back(static_cast<char>(v & 0xFF));
    return *this;
  }
  Description& u32(std::uint32_t v) {
    for (int b = 0; b < 4; ++b) u8(static_cast<int>(v >> (8 * b)));
    return *this;
  }
  Description& real(float f) { return u32(std::bit_cast<std::uint32_t>(f)); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  bool ok = true;

  // Maps.
  const fs::path maps = root / "load_fuzz";
  MapContents small = small_map();
  ok &= put(maps, "small_2x2x2", fieldscan::encode_map(small));
  MapContents worked;
  worked.angle = 45.0f;
  worked.xmin = -10;
  worked.zmin = 5;
  worked.ida = worked.idb = 1;
  worked.dx = 2;
  worked.dy = 5;
  worked.dz = 0.5f;
  worked.nx = 3;
  worked.ny = 2;
  worked.nz = 4;
  ok &= put(maps, "worked_example", fieldscan::encode_map(worked));
  MapContents flat = small;
  flat.nz = 0;
  ok &= put(maps, "no_planes", fieldscan::encode_map(flat));
  MapContents empty = small;
  empty.nx = -2;
  empty.nz = 2;
  ok &= put(maps, "empty_planes", fieldscan::encode_map(empty));
  MapContents full;  // 16 x 16 x 16 fills the fuzz target's capacity exactly
  full.nx = full.ny = full.nz = 16;
  ok &= put(maps, "full_capacity", fieldscan::encode_map(full));
  MapContents big = small;  // 101^3: only the header, the capacity check fails
  big.nx = big.ny = big.nz = 101;
  auto big_records = fieldscan::encode_records(big);
  big_records.resize(5);
  ok &= put(maps, "too_big", framed(big_records));
  auto records = fieldscan::encode_records(small);
  records[0] += std::string(20, 'T');
  records[6] += std::string(7, '\xFF');
  ok &= put(maps, "long_records", framed(records) + fieldscan::frame_record("extra"));
  std::string cut = fieldscan::encode_map(small);
  cut.resize(cut.size() - 2);
  ok &= put(maps, "cut_in_last_trailer", cut);
  ok &= put(maps, "huge_length", fieldscan::frame_record(records[0], 0x7FFFFFF0u, 100));

  // Grid descriptions and points.
  const fs::path grids = root / "fields_fuzz";
  // Palette mode: origin 0, unit steps, 90 degrees, 2 x 2 x 2, no mirrors,
  // four points at steps from the origin, all nodes from the formula.
  Description quadrant;
  quadrant.u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(3).u8(4).u8(4).u8(4).u8(0).u8(0).u8(0);
  quadrant.u8(0).u8(3);
  for (int p : {0, 2, 4, 8}) quadrant.u8(5).u8(p).u8(5).u8(p).u8(5).u8(p);
  ok &= put(grids, "quadrant_2x2x2", quadrant.bytes());
  // 30 degrees, mirrors in every plane, 5 x 4 x 3, poisoned slack of one
  // plane, points at limits and one ulp beyond, some unmeasured nodes.
  Description sector;
  sector.u8(0).u8(0).u8(4).u8(252).u8(1).u8(0).u8(2).u8(1).u8(7).u8(6).u8(5).u8(1).u8(2).u8(1);
  sector.u8(2).u8(7);
  for (int m = 0; m < 8; ++m) sector.u8(m % 5 + 1).u8(5).u8(m * 7).u8(m % 5 + 1).u8(2).u8(m * 3);
  for (int n = 0; n < 60; ++n) sector.u8(n % 7 == 3 ? 1 : (n % 5 == 4 ? 2 : 0));
  ok &= put(grids, "sector_mirrors", sector.bytes());
  // Raw steps: zero, negative, not a number.
  Description steps;
  steps.u8(2).u8(0).u8(0).u8(0).real(0.0f).real(-1.0f).real(std::bit_cast<float>(0x7FC00000u));
  steps.u8(3).u8(5).u8(5).u8(5).u8(0).u8(0).u8(0).u8(0).u8(3);
  for (int p = 0; p < 4; ++p) steps.u8(5).u8(p * 9).u8(5).u8(p * 5).u8(5).u8(p * 3);
  ok &= put(grids, "degenerate_steps", steps.bytes());
  // Raw counts whose product passes the capacity check: huge and negative.
  Description counts;
  counts.u8(8).u8(0).u8(0).u8(0).u8(0).u8(0).u8(0).u8(1).u32(0x7FFFFFFFu).u32(0xFFFFFFFFu).u32(3);
  counts.u8(1).u8(1).u8(1).u8(3).u8(2);
  for (int p = 0; p < 3; ++p) counts.u8(5).u8(p * 40).u8(1).u8(5).u8(p * 4).u8(2);
  ok &= put(grids, "huge_negative_counts", counts.bytes());
  // Raw limits: a y limit far beyond the grid's y extent, on a 5-degree map.
  Description limits;
  limits.u8(32).u8(0).u8(0).u8(0).u8(1).u8(0).u8(3).u8(9).u8(6).u8(4).u8(3).u8(0).u8(0).u8(0);
  limits.real(0).real(0).real(0).real(7.5f).real(100.0f).real(2.0f);
  limits.u8(3).u8(5);
  for (int p = 0; p < 6; ++p) limits.u8(5).u8(p * 11).u8(5).u8(p * 30).u8(5).u8(p * 2);
  ok &= put(grids, "limits_beyond_grid", limits.bytes());
  // Raw angle and raw point coordinates: infinities, NaN, huge, tiny.
  Description raw;
  raw.u8(5).real(1.0f).real(-2.0f).real(0.5f).u8(0).u8(1).u8(2).real(
      std::bit_cast<float>(0x00000001u));
  raw.u8(5).u8(4).u8(3).u8(0).u8(1).u8(2).u8(1).u8(4);
  const float odd[] = {INFINITY, -INFINITY, std::bit_cast<float>(0x7FC00000u),
                       3.0e38f,  1.0e-40f,  -0.0f};
  for (float x : odd) raw.u8(0).real(x).u8(0).real(-x).u8(1);
  ok &= put(grids, "raw_angle_and_points", raw.bytes());

  // Answer scripts.
  const fs::path scripts = root / "dialogue_fuzz";
  ok &= put(scripts, "default_request", "\n\n\n");
  ok &= put(scripts, "two_requests", "z\n1.5\n0.,8.,0.5\nx\n 3\n-8.,8.,1.\n");
  ok &= put(scripts, "rejected_letters", "y\nX\nZ\nzebra\n-1.\n0,80,5\n");
  ok &= put(scripts, "hundred_points", "\n\n0.,100.,1.\n");
  ok &= put(scripts, "zero_step", "x\n0.5\n1.,2.,0.\n");
  ok &= put(scripts, "bad_height", "\nabc\n");
  ok &= put(scripts, "bad_range", "\n\n1.,2.,x\n");
  ok &= put(scripts, "name_overflow", "\n99999.\n\n\n-150.\n\n");
  static const char binary[] = "\0\0\n\xff\xfe\n\r\n\t1.5\n,,\n";
  ok &= put(scripts, "binary", std::string(binary, sizeof binary - 1));
  ok &= put(scripts, "exponents", "\n1.5+2\n1E1,-2D1,1Q-1\nz\n-.5\n-100.1001.\n");
  if (!ok) {
    std::fprintf(stderr, "could not write every seed\n");
    return 1;
  }
  return 0;
}
