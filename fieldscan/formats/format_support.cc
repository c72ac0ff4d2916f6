#include "fieldscan/formats/format_support.h"

#include <cmath>
#include <numbers>

#include "fieldscan/formats/unicode_text.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/map_reader.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {

ToMapUnits::ToMapUnits(const Units& file, const FormatRequest& request)
    : file_(file), scale_(request.scale) {
  map_.length = request.want.length    ? request.want.length
                : request.scale == 1.0 ? file.length
                                       : std::nullopt;
  map_.field = request.want.field ? request.want.field : file.field;
}

double ToMapUnits::length(double v) const {
  if (file_.length && map_.length) v = convert_length(v, *file_.length, *map_.length);
  return scale_ == 1.0 ? v : v * scale_;
}

void ToMapUnits::field(const double raw[3], double norm, float out[3]) const {
  if (raw[0] > kUnmeasuredLimit && raw[1] > kUnmeasuredLimit && raw[2] > kUnmeasuredLimit) {
    for (int c = 0; c < 3; ++c) out[c] = to_single(raw[c]);
    return;
  }
  for (int c = 0; c < 3; ++c) {
    double v = norm == 1.0 ? raw[c] : raw[c] * norm;
    if (file_.field && map_.field) v = convert_field(v, *file_.field, *map_.field);
    out[c] = to_single(v);
  }
}

bool check_export_units(const Units& map_units, std::string_view format, std::string& why) {
  if (map_units.length && map_units.field) return true;
  why = "the map records no " +
        std::string(!map_units.length && !map_units.field ? "units"
                    : !map_units.length                   ? "length unit"
                                                          : "field unit") +
        " and " + std::string(format) +
        " files have fixed units: give the map's units with --units LENGTH,FIELD (for example "
        "--units mm,T)";
  return false;
}

bool check_export_symmetry(const GridSize& grid, std::string_view format, bool reflections,
                           std::string& why) {
  if (!is_quadrant(grid.ANGLE)) {
    std::string angle;
    append_float(angle, to_single(static_cast<double>(grid.ANGLE) * 180.0 / std::numbers::pi));
    why = "the map's sector symmetry (angle " + angle + " degrees) cannot be written in " +
          std::string(format) + " files; write the table form instead";
    return false;
  }
  if (!reflections && (grid.IDA != 0 || grid.IDB != 0 || grid.IDC != 0)) {
    why = "the map's mirror planes (reflection indices " + std::to_string(grid.IDA) + "," +
          std::to_string(grid.IDB) + "," + std::to_string(grid.IDC) + ") cannot be written in " +
          std::string(format) + " files; write the table form instead";
    return false;
  }
  return true;
}

std::vector<std::string> node_texts(float min, float step, std::int32_t n, LengthUnit from,
                                    LengthUnit to) {
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(n > 0 ? n : 0));
  for (std::int32_t i = 0; i < n; ++i) {
    // The node where the map places it (rounded to single precision), then
    // converted and rounded once more: what a reader of this map would use.
    const float node =
        to_single(static_cast<double>(min) + static_cast<double>(i) * static_cast<double>(step));
    std::string s;
    append_float(s, to_single(convert_length(node, from, to)));
    out.push_back(std::move(s));
  }
  return out;
}

void append_field(std::string& out, const float b[3], FieldUnit from, FieldUnit to) {
  const bool keep = is_unmeasured(b) || from == to;
  for (int c = 0; c < 3; ++c) {
    out += ' ';
    append_float(out, keep ? b[c] : to_single(convert_field(b[c], from, to)));
  }
}

void append_node_rows(std::string& out, const std::vector<std::string> (&nodes)[3],
                      const float* values, FieldUnit from, FieldUnit to) {
  const std::size_t nx = nodes[0].size(), ny = nodes[1].size(), nz = nodes[2].size();
  if (nx == 0 || ny == 0 || nz == 0) return;
  out.reserve(out.size() + nx * ny * nz * 64);
  for (std::size_t k = 0; k < nz; ++k) {
    for (std::size_t j = 0; j < ny; ++j) {
      for (std::size_t i = 0; i < nx; ++i) {
        out += nodes[0][i];
        out += ' ';
        out += nodes[1][j];
        out += ' ';
        out += nodes[2][k];
        append_field(out, values + 3 * ((k * ny + j) * nx + i), from, to);
        out += '\n';
      }
    }
  }
}

bool fail_at(TableError& error, std::uint64_t line, std::uint64_t column, std::string message) {
  error.line = line;
  error.column = column;
  error.message = printable(message);
  return false;
}

bool number_at(const TextField& f, std::uint64_t line, double& value, TableError& error) {
  if (parse_double(f.text, value)) return true;
  return fail_at(error, line, f.column, "\"" + std::string(f.text) + "\" is not a number");
}

}  // namespace fieldscan::fieldmap
