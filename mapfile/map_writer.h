// Writes map files from code, in exactly the format LOAD reads.
//
// Used by the tests (which also need malformed files: encode_records gives
// each record's data unframed, so a test can cut, lengthen or reframe any of
// them), by the build (the demo map) and by the map conversion tool.  The
// fieldscan executable never writes a map.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace fieldscan {

// Everything a map file holds, as stored in the file (ANGLE in degrees).
struct MapContents {
  std::string title = "fieldscan map";  // cut or blank-padded to 80
  std::string date = "08-DEC-2026";     // cut or blank-padded to 18
  std::string axa = "X", axb = "Y", axc = "Z";  // 8 each
  float angle = 90.0f;                  // degrees
  float xmin = 0, ymin = 0, zmin = 0;
  std::int32_t isa = 0, isb = 0, isc = 0;
  std::int32_t ima = 0, imb = 0, imc = 0;
  std::int32_t ida = 0, idb = 0, idc = 0;
  float dx = 1, dy = 1, dz = 1;
  std::int32_t nx = 2, ny = 2, nz = 2;
  // Plane data in file order (component fastest, then x, y, z index);
  // shorter than 3*nx*ny*nz is padded with zeros when encoded.
  std::vector<float> values;
};

// 0-based position in MapContents::values (and in BMAP) of component c (1..3)
// of node (i, j, k) (1-based).
std::size_t value_index(const MapContents& contents, int i, int j, int k, int c);

// Sets values to f(x, y, z) at every node position x = xmin + (i-1)*dx, ...
void fill_values(MapContents& contents,
                 const std::function<std::array<float, 3>(float x, float y, float z)>& f);

// The data (unframed) of each record in file order: 5 header records, then
// one per plane (nz of them; none when nz <= 0; a plane of an empty grid is
// an empty record).
std::vector<std::string> encode_records(const MapContents& contents);

// One record framed by its length words: lead, the data, trail.
std::string frame_record(std::string_view data);
std::string frame_record(std::string_view data, std::uint32_t lead, std::uint32_t trail);

// The whole file: every record of encode_records, framed.
std::string encode_map(const MapContents& contents);

// Writes `bytes` to `path` (created or replaced).  False on any failure.
bool write_file(const std::string& path, std::string_view bytes);
bool write_map_file(const std::string& path, const MapContents& contents);

}  // namespace fieldscan
