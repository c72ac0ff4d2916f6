#include "driver/scan.h"

#include "fieldscan/field/fields.h"
#include "fieldscan/mapfile/grid.h"

namespace fieldscan {

float percent_column(float v) {
  const double quotient = static_cast<double>(v) / 100.0;
  if (quotient < static_cast<double>(0.01f)) return 0.01f;
  return static_cast<float>(quotient);
}

ScanOutcome run_scan(const ScanRequest& request, const float BMAP[], OutputStream& console,
                     OutputStream& listing, Text80& MESSAGE, std::int16_t& STATUS) {
  const float y = 0.0f;
  float x = request.x0;
  float bx = 0.0f, by = 0.0f, bz = 0.0f;
  int points = 0;
  for (;;) {
    FIELDS(BMAP, MXS, x, y, request.z, bx, by, bz, MESSAGE, STATUS);
    if (STATUS != 0) {
      console.write_free_form({view(MESSAGE)});
    } else {
      const float v = request.direction == 1 ? bx : bz;
      Record point;
      point.fixed(x, 5, 1).fixed(v, 10, 2).fixed(percent_column(v), 8, 2);
      console.write_record(point);
      listing.write_record(point);
    }
    // Accumulated, never recomputed from x0: rounding of the sum decides
    // whether xmax itself is reached.
    x = x + request.xinc;
    if (x > request.xmax) return ScanOutcome::kPassedEnd;
    if (++points == kMaxScanPoints) return ScanOutcome::kPointLimit;
  }
}

}  // namespace fieldscan
