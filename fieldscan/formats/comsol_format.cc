// COMSOL spreadsheet exports (see formats.h).
#include <cctype>
#include <cmath>
#include <string>

#include "fieldscan/formats/format_support.h"
#include "fieldscan/formats/formats.h"
#include "fieldscan/formats/grid_finder.h"
#include "fieldscan/formats/unicode_text.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

bool ends_with(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Column {
  std::string name;  // lower case
  std::string_view unit;
  std::uint64_t column;
  std::uint64_t unit_column = 0;
};

class ComsolReader {
 public:
  ComsolReader(std::istream& in, const FormatRequest& request, MapContents& contents, Units& units,
               TableError& error)
      : lines_(in), request_(request), contents_(contents), units_(units), error_(error) {}

  bool read() {
    std::string_view line;
    bool in_rows = false;
    std::optional<ToMapUnits> convert;
    Table table;
    while (lines_.next(line)) {
      const std::uint64_t number = lines_.line_number();
      if (!in_rows) line = blank_unicode_spaces(line, blanked_);
      std::size_t first = 0;
      while (first < line.size() && (line[first] == ' ' || line[first] == '\t')) ++first;
      if (first == line.size()) continue;
      if (!in_rows && line[first] == '%') {
        if (!read_comment(line, first, number)) return false;
        continue;
      }
      if (!in_rows) {
        if (!read_names(names_line_, names_number_)) return false;
        convert.emplace(file_units_, request_);
        in_rows = true;
      }
      if (!read_row(line, number, *convert, table)) return false;
    }
    if (!lines_.failure().empty()) {
      return fail_at(error_, lines_.line_number() + 1, 1, lines_.failure());
    }
    if (table.rows.empty()) return fail_at(error_, lines_.line_number() + 1, 1, "no rows");
    if (!build_map(table, contents_, error_, nullptr, request_.capacity)) return false;
    units_ = convert->map_units();
    return true;
  }

 private:
  // A "%" line before the rows (its "%" at `first`): it may give the length
  // unit, and the last one names the columns.
  bool read_comment(std::string_view line, std::size_t first, std::uint64_t number) {
    const std::string_view item = line.substr(first + 1);
    const std::string l = lower(item);
    const auto key = l.find("length unit:");
    if (key != std::string::npos) {
      const std::string_view unit = item.substr(key + 12);
      LengthUnit u;
      if (!parse_length_unit(unit, u)) {
        return fail_at(
            error_, number, first + 2 + key + 12,
            "unknown length unit \"" + std::string(trim(unit)) + "\" (known: um, mm, cm, m)");
      }
      file_units_.length = u;
    }
    names_line_.assign(item);
    names_number_ = number;
    offset_ = first + 2;
    return true;
  }

  // One row of numbers, its coordinates and field in the map's units.
  bool read_row(std::string_view line, std::uint64_t number, const ToMapUnits& convert,
                Table& table) {
    const std::size_t max_rows = static_cast<std::size_t>(request_.capacity / 3);
    split_line(line, fields_, true);
    if (fields_.size() != columns_.size()) {
      return fail_at(
          error_, number,
          fields_.size() > columns_.size() ? fields_[columns_.size()].column : line.size() + 1,
          "a row needs " + std::to_string(columns_.size()) +
              " fields (one per named column), this one has " + std::to_string(fields_.size()));
    }
    if (table.rows.size() == max_rows) {
      return fail_at(error_, number, 1,
                     "more rows than " + std::to_string(max_rows) + " nodes (the capacity)");
    }
    TableRow row;
    row.line = number;
    float* coordinate[3] = {&row.x, &row.y, &row.z};
    for (int a = 0; a < 3; ++a) {
      const TextField& f = fields_[static_cast<std::size_t>(use_[a])];
      double v = 0;
      if (!number_at(f, number, v, error_)) return false;
      row.set_column(a, f.column);
      *coordinate[a] = to_single(convert.length(v));
      if (!std::isfinite(*coordinate[a])) {
        return fail_at(error_, number, f.column,
                       "the coordinate \"" + std::string(f.text) + "\" is not a finite number");
      }
    }
    double raw[3];
    for (int c = 0; c < 3; ++c) {
      if (!number_at(fields_[static_cast<std::size_t>(use_[3 + c])], number, raw[c], error_)) {
        return false;
      }
    }
    convert.field(raw, 1.0, row.b);
    table.rows.push_back(row);
    return true;
  }

  static std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  }

  // The last "%" line names the columns, each name followed by its unit in
  // parentheses where it has one.
  bool read_names(const std::string& text, std::uint64_t line) {
    if (line == 0) {
      return fail_at(error_, 1, 1, "no \"%\" line naming the columns comes before the rows");
    }
    std::vector<TextField> tokens;
    split_line(text, tokens);
    for (const TextField& t : tokens) {
      if (t.text.front() == '(' && !columns_.empty()) {
        columns_.back().unit = t.text;
        columns_.back().unit_column = t.column + offset_ - 1;
        continue;
      }
      columns_.push_back({lower(t.text), {}, t.column + offset_ - 1, 0});
    }
    static const char* const coordinate[3] = {"x", "y", "z"};
    static const char* const component[3] = {"bx", "by", "bz"};
    for (int a = 0; a < 3; ++a) {
      for (std::size_t c = 0; c < columns_.size(); ++c) {
        if (use_[a] < 0 && columns_[c].name == coordinate[a]) use_[a] = static_cast<int>(c);
        if (use_[3 + a] < 0 && ends_with(columns_[c].name, component[a])) {
          use_[3 + a] = static_cast<int>(c);
        }
      }
      if (use_[a] < 0 || use_[3 + a] < 0) {
        return fail_at(error_, line, 1,
                       std::string("the column line names no ") +
                           (use_[a] < 0 ? coordinate[a] : component[a]) +
                           " column (expected, for example, \"% x y z mf.Bx (T) mf.By (T) "
                           "mf.Bz (T)\")");
      }
    }
    for (int c = 0; c < 3; ++c) {
      const Column& col = columns_[static_cast<std::size_t>(use_[3 + c])];
      if (col.unit.empty()) continue;
      FieldUnit u;
      if (!parse_field_unit(col.unit, u)) {
        return fail_at(
            error_, line, col.unit_column,
            "unknown field unit \"" + std::string(col.unit) + "\" (known: T, mT, G, kG)");
      }
      if (file_units_.field && *file_units_.field != u) {
        return fail_at(error_, line, col.unit_column, "the field columns have different units");
      }
      file_units_.field = u;
    }
    return true;
  }

  LineReader lines_;
  const FormatRequest& request_;
  MapContents& contents_;
  Units& units_;
  TableError& error_;
  Units file_units_;
  std::vector<Column> columns_;
  int use_[6] = {-1, -1, -1, -1, -1, -1};
  std::vector<TextField> fields_;
  std::string blanked_;  // a header line with its Unicode spaces blanked
  std::uint64_t offset_ = 1;
  std::string names_line_;  // the last "%" line before the rows, after its "%"
  std::uint64_t names_number_ = 0;
};

}  // namespace

bool read_comsol(std::istream& in, const FormatRequest& request, MapContents& contents,
                 Units& units, TableError& error) {
  return ComsolReader(in, request, contents, units, error).read();
}

}  // namespace fieldscan::fieldmap
