// field_at MAP X Y Z: the field of a map at one point.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "field/fields.h"
#include "mapfile/load.h"

static float BMAP[fieldscan::MXS];

int main(int argc, char** argv) {
  using namespace fieldscan;
  if (argc != 5) {
    std::fprintf(stderr, "usage: field_at MAP X Y Z\n");
    return 2;
  }
  Text80 message = make_text<80>("");
  std::int16_t status = 0;
  LOAD(make_text<80>(argv[1]), BMAP, MXS, message, status);
  if (status != 0) {
    std::printf("LOAD %d: %s\n", status, std::string(trim_blanks(view(message))).c_str());
    return 1;
  }
  const float x = std::strtof(argv[2], nullptr);
  const float y = std::strtof(argv[3], nullptr);
  const float z = std::strtof(argv[4], nullptr);
  float bx = 0, by = 0, bz = 0;
  FIELDS(BMAP, MXS, x, y, z, bx, by, bz, message, status);
  if (status != 0) {
    std::printf("FIELDS %d: %s\n", status, std::string(trim_blanks(view(message))).c_str());
  } else {
    std::printf("%.9g %.9g %.9g\n", bx, by, bz);
  }
  return 0;
}
