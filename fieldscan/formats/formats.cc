// Format names, recognition of a file's format, and the CSV writer.
#include "fieldscan/formats/formats.h"

#include <cctype>

#include "fieldscan/formats/format_support.h"
#include "fieldscan/formats/map_header.h"
#include "fieldscan/formats/table_reader.h"
#include "fieldscan/formats/unicode_text.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
bool parse_format_name(std::string_view name, Format& format) {
  const std::string n = lower(name);
  if (n == "table") {
    format = Format::table;
  } else if (n == "csv") {
    format = Format::csv;
  } else if (n == "bdsim" || n == "bdsim3d") {
    format = Format::bdsim;
  } else if (n == "g4beamline" || n == "g4bl") {
    format = Format::g4beamline;
  } else if (n == "comsol") {
    format = Format::comsol;
  } else if (n == "vti") {
    format = Format::vti;
  } else {
    return false;
  }
  return true;
}

std::string_view format_name(Format format) {
  switch (format) {
    case Format::table:
      return "table";
    case Format::csv:
      return "csv";
    case Format::bdsim:
      return "bdsim";
    case Format::g4beamline:
      return "g4beamline";
    case Format::comsol:
      return "comsol";
    case Format::vti:
      return "vti";
  }
  return "table";
}

Format detect_format(TextSource& source) {
  LineReader lines(source);
  std::vector<TextField> fields;
  std::string blanked;
  bool first_content = true;
  std::string_view line;
  while (lines.next(line)) {
    line = blank_unicode_spaces(line, blanked);
    std::size_t p = 0;
    while (p < line.size() && (line[p] == ' ' || line[p] == '\t' || line[p] == '\r')) ++p;
    if (p == line.size()) continue;
    if (line[p] == '%') return Format::comsol;
    if (line[p] == '#') continue;
    if (line[p] == '!') return Format::bdsim;
    split_line(line.substr(0, line.find('#')), fields);
    if (fields.empty()) continue;
    const std::string word = lower(fields[0].text);
    const std::string_view rest = line.substr(p);
    const auto gt = rest.find('>');
    if (gt != std::string_view::npos && gt > 0) {
      std::size_t key = 0;
      while (key < gt &&
             (std::isalnum(static_cast<unsigned char>(rest[key])) || rest[key] == '_')) {
        ++key;
      }
      while (key < gt && (rest[key] == ' ' || rest[key] == '\t')) ++key;
      if (key == gt && std::isalpha(static_cast<unsigned char>(rest[0]))) return Format::bdsim;
    }
    if (word == "param" || word == "grid" || word == "data" || word == "extendx" ||
        word == "extendy" || word == "extendz" || word == "cylinder") {
      return Format::g4beamline;
    }
    if (first_content) {
      first_content = false;
      double ignored;
      bool numbers = fields.size() == 3 || fields.size() == 4;
      for (const TextField& f : fields) numbers = numbers && parse_double(f.text, ignored);
      return numbers ? Format::table : Format::csv;
    }
  }
  return Format::csv;
}

Format detect_format(std::string_view head) {
  StringSource source(head);
  return detect_format(source);
}

std::string write_csv(const GridSize& grid, const float* values, const Units& map_units,
                      const MapContents* header) {
  const std::string l =
      map_units.length ? " [" + std::string(unit_name(*map_units.length)) + "]" : std::string();
  const std::string f =
      map_units.field ? " [" + std::string(unit_name(*map_units.field)) + "]" : std::string();
  std::string out = header ? format_header_lines(*header) : std::string();
  out += "x" + l + ",y" + l + ",z" + l + ",Bx" + f + ",By" + f + ",Bz" + f + "\n";
  if (grid.NX <= 0 || grid.NY <= 0 || grid.NZ <= 0) return out;
  const float mins[3] = {grid.XMIN, grid.YMIN, grid.ZMIN};
  const float steps[3] = {grid.DX, grid.DY, grid.DZ};
  const std::int32_t counts[3] = {grid.NX, grid.NY, grid.NZ};
  std::vector<std::string> nodes[3];
  for (int a = 0; a < 3; ++a) {
    // The same unit on both sides: the node positions as the map places them.
    nodes[a] = node_texts(mins[a], steps[a], counts[a], LengthUnit::mm, LengthUnit::mm);
  }
  const auto nx = static_cast<std::size_t>(grid.NX);
  const auto ny = static_cast<std::size_t>(grid.NY);
  const auto nz = static_cast<std::size_t>(grid.NZ);
  out.reserve(out.size() + nx * ny * nz * 64);
  for (std::size_t k = 0; k < nz; ++k) {
    for (std::size_t j = 0; j < ny; ++j) {
      for (std::size_t i = 0; i < nx; ++i) {
        out += nodes[0][i];
        out += ',';
        out += nodes[1][j];
        out += ',';
        out += nodes[2][k];
        const float* b = values + 3 * ((k * ny + j) * nx + i);
        for (int c = 0; c < 3; ++c) {
          out += ',';
          append_float(out, b[c]);
        }
        out += '\n';
      }
    }
  }
  return out;
}

}  // namespace fieldscan::fieldmap

namespace fieldscan::fieldmap {

namespace {

const char* const kColumnNames[6] = {"x", "y", "z", "bx", "by", "bz"};

// The units the columns of a table name, and which columns name one.
struct ColumnUnits {
  std::optional<LengthUnit> length[3];
  std::optional<FieldUnit> field[3];
  int with_unit[2] = {-1, -1};     // the first coordinate / field column naming a unit
  int without_unit[2] = {-1, -1};  // the first naming none
};

// Reads the unit of every column (the coordinates' from the "0" line when
// their columns name none).
bool read_column_units(const Table& table, ColumnUnits& units, TableError& error) {
  for (int w = 0; w < 6; ++w) {
    std::string text = table.unit[w];
    std::uint64_t line = table.unit_line[w], column = table.unit_column[w];
    if (text.empty() && w < 3 && !table.zero_unit.empty()) {
      text = table.zero_unit;
      line = table.zero_unit_line;
      column = table.zero_unit_column;
    }
    const int kind = w < 3 ? 0 : 1;
    if (text.empty()) {
      if (units.without_unit[kind] < 0) units.without_unit[kind] = w;
      continue;
    }
    if (units.with_unit[kind] < 0) units.with_unit[kind] = w;
    if (w < 3) {
      LengthUnit u;
      if (!parse_length_unit(text, u)) {
        return fail_at(error, line, column,
                       "unknown length unit \"" + text + "\" (known: um, mm, cm, m)");
      }
      units.length[w] = u;
    } else {
      FieldUnit u;
      if (!parse_field_unit(text, u)) {
        return fail_at(error, line, column,
                       "unknown field unit \"" + text + "\" (known: T, mT, G, kG)");
      }
      units.field[w - 3] = u;
    }
  }
  return true;
}

// Every coordinate column names a unit or none does, and so every field
// column; the units differ only when the map's are asked for.
bool check_column_units(const Table& table, const ColumnUnits& units, const FormatRequest& request,
                        TableError& error) {
  const auto& length = units.length;
  const auto& field = units.field;
  for (int kind = 0; kind < 2; ++kind) {
    if (units.with_unit[kind] >= 0 && units.without_unit[kind] >= 0) {
      const int w = units.with_unit[kind];
      return fail_at(error, table.unit_line[w], table.unit_column[w],
                     std::string("column ") + kColumnNames[units.without_unit[kind]] +
                         " names no unit while column " + kColumnNames[w] +
                         " does; give every coordinate and field column its unit");
    }
  }
  for (int a = 0; a < 3; ++a) {
    if (length[a] && length[0] != length[a] && !request.want.length) {
      return fail_at(error, table.unit_line[a], table.unit_column[a],
                     std::string("the coordinates are in different units (") +
                         std::string(unit_name(*length[0])) + ", " +
                         std::string(unit_name(*length[a])) +
                         "): choose the map's with --units LENGTH,FIELD");
    }
    if (field[a] && field[0] != field[a] && !request.want.field) {
      return fail_at(error, table.unit_line[3 + a], table.unit_column[3 + a],
                     std::string("the field components are in different units (") +
                         std::string(unit_name(*field[0])) + ", " +
                         std::string(unit_name(*field[a])) +
                         "): choose the map's with --units LENGTH,FIELD");
    }
  }
  return true;
}

}  // namespace

bool table_units(const Table& table, const FormatRequest& request, double factor[6],
                 Units& map_units, TableError& error) {
  ColumnUnits units;
  if (!read_column_units(table, units, error) ||
      !check_column_units(table, units, request, error)) {
    return false;
  }
  auto& length = units.length;
  auto& field = units.field;
  const auto& with_unit = units.with_unit;
  Units file;
  file.length = length[0];
  file.field = field[0];
  // A table exported from a map carries the map's units in its header lines
  // as well; they stand where the columns name none.
  if (table.header.axes) {
    const auto& axes = *table.header.axes;
    const Units recorded = recorded_units(axes[0], axes[1], axes[2]);
    if (!file.length && with_unit[0] < 0) {
      file.length = recorded.length;
      for (auto& l : length) l = recorded.length;
    }
    if (!file.field && with_unit[1] < 0) {
      file.field = recorded.field;
      for (auto& f : field) f = recorded.field;
    }
  }
  const ToMapUnits convert(file, request);
  map_units = convert.map_units();
  for (int a = 0; a < 3; ++a) {
    factor[a] = length[a] && request.want.length
                    ? convert_length(1.0, *length[a], *request.want.length)
                    : 1.0;
    factor[3 + a] =
        field[a] && map_units.field ? convert_field(1.0, *field[a], *map_units.field) : 1.0;
  }
  return true;
}

}  // namespace fieldscan::fieldmap
