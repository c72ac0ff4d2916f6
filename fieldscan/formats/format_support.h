// Pieces shared by the format readers and writers (formats.h): the choice
// of the map's units, conversion of coordinates and field values, and the
// text of node coordinates.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fieldscan/formats/formats.h"
#include "fieldscan/formats/table_error.h"
#include "fieldscan/textio/text_lines.h"

namespace fieldscan::fieldmap {

// Converts a file's values into the map's units.
class ToMapUnits {
 public:
  // `file` are the file's units (either may be unknown).
  ToMapUnits(const Units& file, const FormatRequest& request);

  // The map's units: the requested ones, else the file's.  The length unit is
  // unknown when the coordinates are scaled and no unit was requested.
  const Units& map_units() const { return map_; }

  // A coordinate (or a step) in the map's unit, in double precision.
  double length(double v) const;

  // Three field components `raw`, multiplied by `norm` and converted, each
  // rounded once.  A node whose raw components are all above the unmeasured
  // limit keeps them as they are.
  void field(const double raw[3], double norm, float out[3]) const;

 private:
  Units file_;
  Units map_;
  double scale_;
};

// From the map's units into a format's fixed ones; false with a message that
// names --units when the map's units are unknown.
bool check_export_units(const Units& map_units, std::string_view format, std::string& why);

// False with a message when the map's sector angle or reflection indices
// (`reflections` false: any of them) cannot be written in `format`.
bool check_export_symmetry(const GridSize& grid, std::string_view format, bool reflections,
                           std::string& why);

// Node positions along one axis converted by `factor_length` and rounded to
// single precision, as text.
std::vector<std::string> node_texts(float min, float step, std::int32_t n, LengthUnit from,
                                    LengthUnit to);

// Field value `v` in unit `from` converted to `to`, appended as shortest text.
void append_field(std::string& out, const float b[3], FieldUnit from, FieldUnit to);

// One row "x y z bx by bz" per node, x fastest, z slowest: the positions
// from `nodes` (one list of texts per axis), the field converted from
// `from` to `to`.  Nothing when an axis has no nodes.
void append_node_rows(std::string& out, const std::vector<std::string> (&nodes)[3],
                      const float* values, FieldUnit from, FieldUnit to);

bool fail_at(TableError& error, std::uint64_t line, std::uint64_t column, std::string message);

// A number field; on failure sets `error` ("\"abc\" is not a number").
bool number_at(const TextField& f, std::uint64_t line, double& value, TableError& error);

}  // namespace fieldscan::fieldmap
