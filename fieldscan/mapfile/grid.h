// The loaded field map: the grid description SIZE and the capacity MXS of
// the field array BMAP.
//
// BMAP holds three single-precision values per grid node, the component
// fastest, then the x, y and z node index: the value of component c (1..3)
// at node (i, j, k) (1-based) is element
//   3 * (((k - 1) * NY + (j - 1)) * NX + (i - 1)) + (c - 1).
#pragma once

#include <cstdint>

namespace fieldscan {

// Capacity of the field array, in single-precision values.  An enumerator
// rather than a variable: LOAD and FIELDS take the capacity as a parameter
// of the same name, and a parameter may hide a constant but would shadow a
// variable.
enum : std::int32_t { MXS = 3'000'000 };

// Grid description, written only by LOAD and read by the header and FIELDS.
struct GridSize {
  float XMIN = 0, YMIN = 0, ZMIN = 0;      // grid origin, node (1, 1, 1)
  float DX = 0, DY = 0, DZ = 0;            // grid steps
  float XLOW = 0, YLOW = 0, ZLOW = 0;      // lower limits of the covered region
  float XHIGH = 0, YHIGH = 0, ZHIGH = 0;   // upper limits
  float ANGLE = 0;                         // symmetry angle, radians
  std::int32_t NX = 0, NY = 0, NZ = 0;     // grid point counts
  std::int32_t IDA = 0, IDB = 0, IDC = 0;  // reflection indices
  std::int32_t IMA = 0, IMB = 0, IMC = 0;  // stored, never used
};

// The one grid description of the run: all zero until LOAD succeeds.
extern GridSize SIZE;

}  // namespace fieldscan
