// line_of_table TABLE X0 Y0 Z0 X1 Y1 Z1 N: reads a field table in any format
// the kit reads (a G4beamline file, say) through the installed formats and
// query libraries, and prints the field at N points from (X0, Y0, Z0) to
// (X1, Y1, Z1), one "x y z bx by bz" line each, after the map's units.
#include <fieldscan/query/input_map.h>
#include <fieldscan/query/sample.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  namespace fm = fieldscan::fieldmap;
  if (argc != 9) {
    std::fprintf(stderr, "usage: line_of_table TABLE X0 Y0 Z0 X1 Y1 Z1 N\n");
    return 2;
  }
  fieldscan::FieldMap map;
  fm::Units units;
  std::string why;
  if (!fm::read_input_map(argv[1], fm::FormatOptions{}, fieldscan::MXS, map, units, why)) {
    std::printf("%s\n", why.c_str());
    return 1;
  }
  std::printf("%s\n", fm::describe_units(units).c_str());
  const fm::Point3 a{std::strtof(argv[2], nullptr), std::strtof(argv[3], nullptr),
                     std::strtof(argv[4], nullptr)};
  const fm::Point3 b{std::strtof(argv[5], nullptr), std::strtof(argv[6], nullptr),
                     std::strtof(argv[7], nullptr)};
  const fm::Samples s = fm::sample_line(map, a, b, std::atoll(argv[8]));
  for (std::size_t n = 0; n < s.points.size(); ++n) {
    const fieldscan::FieldVector& f = s.fields.b[n];
    std::printf("%.9g %.9g %.9g ", s.points.x[n], s.points.y[n], s.points.z[n]);
    if (s.fields.status[n] == fieldscan::FieldStatus::kOk) {
      std::printf("%.9g %.9g %.9g\n", f.bx, f.by, f.bz);
    } else {
      std::printf("%s\n", std::string(fm::status_reason(s.fields.status[n])).c_str());
    }
  }
  return 0;
}
