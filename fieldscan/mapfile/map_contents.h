// The items of a map file as they are stored, held in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fieldscan {

// Everything a map file holds, as stored in the file (ANGLE in degrees).
struct MapContents {
  std::string title = "fieldscan map";          // cut or blank-padded to 80
  std::string date = "08-DEC-2026";             // cut or blank-padded to 18
  std::string axa = "X", axb = "Y", axc = "Z";  // 8 each
  float angle = 90.0f;                          // degrees
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

}  // namespace fieldscan
