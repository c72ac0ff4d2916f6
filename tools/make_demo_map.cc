// make_demo_map <output path>
//
// Writes the demo map bundled with fieldscan: one quadrant of the field of a
// long H-type dipole magnet, measured on a 1 cm grid.
//
//   grid       21 x 11 x 11 nodes, x 0..20 cm, y 0..10 cm, z 0..10 cm,
//              origin (0, 0, 0) = magnet centre on the median plane
//   symmetry   quadrant map (angle 90); mirror planes x = 0 (IDA = 1, BX
//              changes sign), y = 0 (IDB = 1, BY changes sign) and the
//              median plane z = 0 (IDC = 2, BX and BY change sign)
//   field      gauss; BZ about 1100 G in the centre, falling off across the
//              pole edge at x = 11 cm; BX grows off the median plane near
//              the edge; BY = 0 (the magnet is long in y)
//   iron       nodes x 18..20 cm, y 0..4 cm, z 0..3 cm are unmeasured
//              (999999 in all three components): a steel coil clamp
//
// The field is a vacuum field: BZ + i BX is an analytic function of
// x + i z, the sum of two complex Enge-like edge profiles, so it is free of
// divergence and curl, even in x and z as the mirror indices say.  The
// profiles' poles lie at z = +-pi * 4.5 cm, about where the pole faces are.
//
// Scans along the line y = 0: with the default request (BX at z = 0,
// x 0..10) every point is measured and BX is 0 on the median plane; BZ
// ("z") shows the field; x 0..20 at z = 0 reaches the clamp at x = 18.
#include <complex>
#include <cstdio>

#include "fieldscan/mapfile/map_writer.h"

namespace {

using fieldscan::MapContents;
using Complex = std::complex<double>;

constexpr double kCentralField = 1300.0;  // gauss, before the edge profile
constexpr double kPoleEdge = 11.0;        // cm from the centre
constexpr double kFringe = 4.5;           // cm, fringe length
constexpr float kUnmeasured = 999999.0f;

Complex logistic(Complex u) { return 1.0 / (1.0 + std::exp(-u)); }

// BZ + i BX at (x, z); independent of y.
Complex field(double x, double z) {
  const Complex w(x, z);
  return kCentralField *
         (logistic((kPoleEdge - w) / kFringe) + logistic((kPoleEdge + w) / kFringe) - 1.0);
}

bool in_clamp(float x, float y, float z) { return x >= 18.0f && y <= 4.0f && z <= 3.0f; }

MapContents demo_map() {
  MapContents contents;
  contents.title = "DEMO DIPOLE D1 - QUADRANT OF THE GAP FIELD, 1 CM GRID, FIELD IN GAUSS";
  contents.date = "14-NOV-2025 10:42";
  contents.axa = "X (CM)";
  contents.axb = "Y (CM)";
  contents.axc = "Z (CM)";
  contents.angle = 90.0f;
  contents.xmin = contents.ymin = contents.zmin = 0.0f;
  contents.isa = contents.isb = contents.isc = 1;
  contents.ida = 1;
  contents.idb = 1;
  contents.idc = 2;
  contents.dx = contents.dy = contents.dz = 1.0f;
  contents.nx = 21;
  contents.ny = 11;
  contents.nz = 11;
  fieldscan::fill_values(contents, [](float x, float y, float z) -> std::array<float, 3> {
    if (in_clamp(x, y, z)) return {kUnmeasured, kUnmeasured, kUnmeasured};
    const Complex b = field(x, z);
    return {static_cast<float>(b.imag()), 0.0f, static_cast<float>(b.real())};
  });
  return contents;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_demo_map <output path>\n");
    return 2;
  }
  if (!fieldscan::write_map_file(argv[1], demo_map())) {
    std::fprintf(stderr, "make_demo_map: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
