// fields_reference MAP: loads MAP with LOAD and evaluates FIELDS at points
// read from standard input (single-precision x, y, z, native byte order),
// writing for each point its BX, BY, BZ (NaN where not evaluated) and its
// status as four single-precision values.  The Python tests compare the
// module's evaluation with this, the console's own.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "fieldscan/field/fields.h"
#include "fieldscan/mapfile/load.h"

namespace {
float g_bmap[fieldscan::MXS];
}

int main(int argc, char** argv) {
  using namespace fieldscan;
  if (argc != 2) {
    std::fprintf(stderr, "usage: fields_reference MAP < points > fields\n");
    return 2;
  }
  Text80 message = make_text<80>("");
  std::int16_t status = 0;
  LOAD(make_text<80>(argv[1]), g_bmap, MXS, message, status);
  if (status != 0) {
    std::fprintf(stderr, "fields_reference: %s: %.80s\n", argv[1], message.data());
    return 1;
  }
  float point[3];
  while (std::fread(point, sizeof point, 1, stdin) == 1) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    float out[4] = {nan, nan, nan, 0};
    FIELDS(g_bmap, MXS, point[0], point[1], point[2], out[0], out[1], out[2], message, status);
    out[3] = status;
    if (std::fwrite(out, sizeof out, 1, stdout) != 1) return 1;
  }
  return std::ferror(stdin) ? 1 : 0;
}
