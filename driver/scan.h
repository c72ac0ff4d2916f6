// The scan listing: one answered scan request walked point by point.
//
// x starts at x0 and grows by repeated single-precision addition of xinc;
// the scan ends as soon as x exceeds xmax, or after 100 points.  Each point
// that FIELDS evaluates gives a record of 23 columns (x F5.1, the listed
// component F10.2, the component / 100 but at least 0.01 F8.2), written to
// the console and then to the listing file; a rejected point gives FIELDS'
// message on the console only.
#pragma once

#include <cstdint>

#include "fieldscan/textio/output.h"
#include "fieldscan/textio/text.h"

namespace fieldscan {

struct ScanRequest {
  int direction = 1;  // 1 lists BX, 2 lists BZ
  float z = 0.0f;
  float x0 = 0.0f;
  float xmax = 10.0f;
  float xinc = 1.0f;
};

enum class ScanOutcome {
  kPassedEnd,   // x exceeded xmax: the next request follows
  kPointLimit,  // 100 points without passing xmax: the run ends
};

inline constexpr int kMaxScanPoints = 100;

// The percent column: v / 100, or 0.01 when that quotient is below the
// single-precision 0.01 (compared before the quotient is rounded).
float percent_column(float v);

// Runs the scan on the loaded map (SIZE, BMAP).  MESSAGE and STATUS are the
// driver's, shared with every FIELDS call.
ScanOutcome run_scan(const ScanRequest& request, const float BMAP[], OutputStream& console,
                     OutputStream& listing, Text80& MESSAGE, std::int16_t& STATUS);

}  // namespace fieldscan
