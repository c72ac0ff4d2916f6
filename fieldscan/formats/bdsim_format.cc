// BDSIM three-dimensional field maps (see formats.h).
#include <cctype>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "fieldscan/formats/format_support.h"
#include "fieldscan/formats/formats.h"
#include "fieldscan/formats/grid_finder.h"
#include "fieldscan/formats/unicode_text.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

constexpr const char* kAxis = "xyz";

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// One "key> value" header item: its value and where the value stands.
struct HeaderItem {
  std::string value;
  std::uint64_t line = 0, column = 0;
};

// The header items of one axis, in the file's units.
struct AxisHeader {
  std::int32_t n = 0;
  double min = 0, max = 0;
  double step = 0;  // (max - min) / (n - 1); 0 for one node
};

class BdsimReader {
 public:
  BdsimReader(std::istream& in, const FormatRequest& request, MapContents& contents, Units& units,
              TableError& error)
      : lines_(in),
        contents_(contents),
        units_(units),
        error_(error),
        capacity_(request.capacity),
        convert_(Units{LengthUnit::cm, FieldUnit::T}, request) {}

  bool read() {
    std::string_view line;
    bool columns_seen = false;
    while (lines_.next(line)) {
      const std::uint64_t number = lines_.line_number();
      if (!columns_seen) line = blank_unicode_spaces(line, blanked_);
      const std::string_view content = line.substr(0, line.find('#'));
      std::size_t first = 0;
      while (first < content.size() && (content[first] == ' ' || content[first] == '\t')) ++first;
      if (first == content.size()) continue;
      if (!columns_seen) {
        if (content[first] == '!') {
          if (!start_rows(content, number, first)) return false;
          columns_seen = true;
          continue;
        }
        const auto gt = content.find('>');
        if (gt == std::string_view::npos) {
          return fail_at(error_, number, first + 1,
                         "expected a \"key> value\" header line or the \"!\" line naming the "
                         "columns");
        }
        const std::string key = lower(trim(content.substr(0, gt)));
        const std::string_view value = trim(content.substr(gt + 1));
        const std::size_t value_column = static_cast<std::size_t>(value.data() - line.data()) + 1;
        // Only the keys read here are kept, so memory does not grow with
        // the header (the value's length is bounded by the line's).
        static const char* const kKeys[] = {"nx",   "ny",   "nz",   "nt",   "xmin",     "xmax",
                                            "ymin", "ymax", "zmin", "zmax", "looporder"};
        for (const char* k : kKeys) {
          if (key == k) items_[key] = HeaderItem{std::string(value), number, value_column};
        }
        continue;
      }
      if (!read_row(content, number)) return false;
    }
    if (!lines_.failure().empty()) {
      return fail_at(error_, lines_.line_number() + 1, 1, lines_.failure());
    }
    if (!columns_seen) {
      return fail_at(error_, lines_.line_number() + 1, 1,
                     "the file ends before the \"!\" line that names the columns");
    }
    if (rows_ != total_) {
      return fail_at(error_, lines_.line_number() + 1, 1,
                     "the file ends after " + std::to_string(rows_) + " rows; the header's " +
                         grid_text() + " nodes need " + std::to_string(total_));
    }
    units_ = convert_.map_units();
    return true;
  }

 private:
  std::string grid_text() const {
    return std::to_string(axis_[0].n) + " x " + std::to_string(axis_[1].n) + " x " +
           std::to_string(axis_[2].n);
  }

  const HeaderItem* item(const std::string& key) const {
    const auto it = items_.find(key);
    return it == items_.end() ? nullptr : &it->second;
  }

  bool header_number(const std::string& key, std::uint64_t line, double& value) {
    const HeaderItem* h = item(key);
    if (h == nullptr) {
      return fail_at(error_, line, 1,
                     "the header gives no " + key +
                         "> (only three-dimensional maps with nx, ny, nz, xmin ... zmax are read)");
    }
    if (!parse_double(h->value, value) || !std::isfinite(value)) {
      return fail_at(error_, h->line, h->column,
                     key + "> \"" + h->value + "\" is not a finite number");
    }
    return true;
  }

  // Checks the header (at the "!" line) and names the columns.
  bool start_rows(std::string_view content, std::uint64_t line, std::size_t bang) {
    return check_time() && read_axes(line) && read_loop_order() &&
           name_columns(content, line, bang) && set_grid();
  }

  // Only maps of one time step are read.
  bool check_time() {
    if (const HeaderItem* nt = item("nt")) {
      std::int64_t n = 0;
      if (!parse_int64(nt->value, n) || n != 1) {
        return fail_at(error_, nt->line, nt->column,
                       "time-dependent maps (nt> " + nt->value + ") are not read");
      }
    }
    return true;
  }

  // The count and range of every axis, from the header items.
  bool read_axes(std::uint64_t line) {
    std::uint64_t nodes = 1;
    for (int a = 0; a < 3; ++a) {
      const std::string axis(1, kAxis[a]);
      double n = 0;
      if (!header_number("n" + axis, line, n)) return false;
      const HeaderItem* h = item("n" + axis);
      if (n != std::floor(n) || n < 1 || n > static_cast<double>(capacity_)) {
        return fail_at(
            error_, h->line, h->column,
            "n" + axis + "> must be a whole number of at least 1, not \"" + h->value + "\"");
      }
      axis_[a].n = static_cast<std::int32_t>(n);
      if (!header_number(axis + "min", line, axis_[a].min) ||
          !header_number(axis + "max", line, axis_[a].max)) {
        return false;
      }
      if (axis_[a].n > 1 && !(axis_[a].max > axis_[a].min)) {
        const HeaderItem* m = item(axis + "max");
        return fail_at(
            error_, m->line, m->column,
            axis + "max> must be greater than " + axis + "min> when n" + axis + "> is above 1");
      }
      nodes *= static_cast<std::uint64_t>(axis_[a].n);
      if (3 * nodes > static_cast<std::uint64_t>(capacity_)) {
        return fail_at(error_, line, 1,
                       "a grid of more than " + std::to_string(capacity_ / 3) +
                           " nodes is more than the capacity of " + std::to_string(capacity_) +
                           " values");
      }
    }
    total_ = nodes;
    return true;
  }

  // Which coordinate runs fastest along the rows.
  bool read_loop_order() {
    if (const HeaderItem* order = item("looporder")) {
      if (order->value == "tzyx") {
        z_fastest_ = true;
      } else if (order->value != "xyzt") {
        return fail_at(error_, order->line, order->column,
                       "loopOrder> must be xyzt (x fastest) or tzyx (z fastest), not \"" +
                           order->value + "\"");
      }
    }
    return true;
  }

  // The columns of the coordinates and the field components, from the names
  // on the "!" line.
  bool name_columns(std::string_view content, std::uint64_t line, std::size_t bang) {
    std::vector<TextField> names;
    split_line(content.substr(bang + 1), names);
    columns_ = names.size();
    for (std::size_t c = 0; c < names.size(); ++c) {
      const std::string_view name = names[c].text;
      for (int a = 0; a < 3; ++a) {
        if (field_column_[a] < 0 && name.find(std::string("F") + kAxis[a]) != name.npos) {
          field_column_[a] = static_cast<int>(c);
        }
        const char upper = static_cast<char>('X' + a);
        if (coordinate_column_[a] < 0 && name.size() == 1 &&
            std::toupper(static_cast<unsigned char>(name[0])) == upper) {
          coordinate_column_[a] = static_cast<int>(c);
        }
      }
    }
    for (int a = 0; a < 3; ++a) {
      if (field_column_[a] < 0) {
        return fail_at(error_, line, bang + 1,
                       std::string("the \"!\" line names no column containing F") + kAxis[a]);
      }
    }
    return true;
  }

  // The grid, in the map's units.
  bool set_grid() {
    float* mins[3] = {&contents_.xmin, &contents_.ymin, &contents_.zmin};
    float* steps[3] = {&contents_.dx, &contents_.dy, &contents_.dz};
    std::int32_t* counts[3] = {&contents_.nx, &contents_.ny, &contents_.nz};
    for (int a = 0; a < 3; ++a) {
      AxisHeader& h = axis_[a];
      const float lo = to_single(convert_.length(h.min));
      const float hi = to_single(convert_.length(h.max));
      h.step = h.n > 1 ? (h.max - h.min) / (h.n - 1) : 0.0;
      AxisGrid g;
      std::vector<float> ends{lo};
      if (h.n > 1 && hi > lo) ends.push_back(hi);
      if (!std::isfinite(lo) || !std::isfinite(hi) || (h.n > 1 && !(hi > lo))) {
        const HeaderItem* m = item(std::string(1, kAxis[a]) + "max");
        return fail_at(error_, m->line, m->column,
                       std::string("the ") + kAxis[a] +
                           " range does not fit single precision in the map's units");
      }
      if (fit_axis(ends, h.n, g) != AxisFit::regular) {
        g.min = lo;
        g.step = h.n > 1 ? to_single((static_cast<double>(hi) - lo) / (h.n - 1)) : 1.0f;
      }
      *mins[a] = lo;
      *steps[a] = h.n > 1 ? g.step : 1.0f;
      if (!(*steps[a] > 0) || !std::isfinite(*steps[a])) {
        const HeaderItem* m = item(std::string(1, kAxis[a]) + "max");
        return fail_at(error_, m->line, m->column,
                       std::string("the ") + kAxis[a] +
                           " step does not fit single precision in the map's units");
      }
      *counts[a] = h.n;
    }
    contents_.values.assign(3 * static_cast<std::size_t>(total_), kUnmeasuredMark);
    return true;
  }

  bool read_row(std::string_view content, std::uint64_t line) {
    split_line(content, fields_);
    if (fields_.size() != columns_) {
      const std::string message = "a row needs " + std::to_string(columns_) +
                                  " fields (one per column of the \"!\" line), this one has " +
                                  std::to_string(fields_.size());
      return fail_at(error_, line,
                     fields_.size() > columns_ ? fields_[columns_].column : content.size() + 1,
                     message);
    }
    if (rows_ == total_) {
      return fail_at(error_, line, fields_[0].column,
                     "more rows than the header's " + grid_text() + " nodes");
    }
    std::uint64_t index[3];
    std::uint64_t r = rows_;
    const int order[3] = {z_fastest_ ? 2 : 0, 1, z_fastest_ ? 0 : 2};
    for (const int a : order) {
      index[a] = r % static_cast<std::uint64_t>(axis_[a].n);
      r /= static_cast<std::uint64_t>(axis_[a].n);
    }
    for (int a = 0; a < 3; ++a) {
      if (coordinate_column_[a] < 0) continue;
      const TextField& f = fields_[static_cast<std::size_t>(coordinate_column_[a])];
      double v = 0;
      if (!number_at(f, line, v, error_)) return false;
      const AxisHeader& h = axis_[a];
      const double expected = h.min + static_cast<double>(index[a]) * h.step;
      const double slack = h.n > 1 ? 0.5 * h.step : 1e-3 * std::fabs(h.min) + 1e-9;
      if (!(std::fabs(v - expected) <= slack)) {
        std::string text;
        append_float(text, to_single(expected));
        return fail_at(error_, line, f.column,
                       std::string(1, static_cast<char>('X' + a)) + " = " + std::string(f.text) +
                           " is not the " + kAxis[a] + " of node (" + std::to_string(index[0] + 1) +
                           ", " + std::to_string(index[1] + 1) + ", " +
                           std::to_string(index[2] + 1) + "), " + text + ", where loop " +
                           "order " + (z_fastest_ ? "tzyx (z fastest)" : "xyzt (x fastest)") +
                           " puts row " + std::to_string(rows_ + 1) +
                           ": is the loopOrder or the header right?");
      }
    }
    double raw[3];
    for (int c = 0; c < 3; ++c) {
      if (!number_at(fields_[static_cast<std::size_t>(field_column_[c])], line, raw[c], error_)) {
        return false;
      }
    }
    const std::size_t node =
        static_cast<std::size_t>((index[2] * static_cast<std::uint64_t>(axis_[1].n) + index[1]) *
                                     static_cast<std::uint64_t>(axis_[0].n) +
                                 index[0]);
    float b[3];
    convert_.field(raw, 1.0, b);
    if (std::isfinite(b[0]) && std::isfinite(b[1]) && std::isfinite(b[2])) {
      for (int c = 0; c < 3; ++c) contents_.values[3 * node + static_cast<std::size_t>(c)] = b[c];
    }
    ++rows_;
    return true;
  }

  LineReader lines_;
  MapContents& contents_;
  Units& units_;
  TableError& error_;
  std::int64_t capacity_;
  ToMapUnits convert_;
  std::map<std::string, HeaderItem> items_;
  AxisHeader axis_[3];
  bool z_fastest_ = false;
  std::size_t columns_ = 0;
  int field_column_[3] = {-1, -1, -1};
  int coordinate_column_[3] = {-1, -1, -1};
  std::vector<TextField> fields_;
  std::string blanked_;  // a header line with its Unicode spaces blanked
  std::uint64_t rows_ = 0, total_ = 0;
};

}  // namespace

bool read_bdsim(std::istream& in, const FormatRequest& request, MapContents& contents, Units& units,
                TableError& error) {
  return BdsimReader(in, request, contents, units, error).read();
}

bool write_bdsim(const GridSize& grid, const float* values, const Units& map_units,
                 std::string& out, std::string& why) {
  if (!check_export_units(map_units, "bdsim", why)) return false;
  if (!check_export_symmetry(grid, "bdsim", false, why)) return false;
  const LengthUnit from = *map_units.length;
  const FieldUnit field = *map_units.field;
  const float mins[3] = {grid.XMIN, grid.YMIN, grid.ZMIN};
  const float steps[3] = {grid.DX, grid.DY, grid.DZ};
  const std::int32_t counts[3] = {grid.NX, grid.NY, grid.NZ};
  std::vector<std::string> nodes[3];
  for (int a = 0; a < 3; ++a) {
    nodes[a] = node_texts(mins[a], steps[a], counts[a], from, LengthUnit::cm);
  }
  out =
      "# BDSIM three-dimensional field map written by fieldmap\n"
      "# lengths in cm, field in T; x varies fastest, then y, then z\n";
  for (int a = 0; a < 3; ++a)
    out += std::string("n") + kAxis[a] + "> " + std::to_string(counts[a]) + "\n";
  for (int a = 0; a < 3; ++a) {
    if (counts[a] <= 0) continue;
    out += std::string(1, kAxis[a]) + "min> " + nodes[a].front() + "\n";
    out += std::string(1, kAxis[a]) + "max> " + nodes[a].back() + "\n";
  }
  out += "loopOrder> xyzt\n! X Y Z Fx Fy Fz\n";
  append_node_rows(out, nodes, values, field, FieldUnit::T);
  return true;
}

}  // namespace fieldscan::fieldmap
