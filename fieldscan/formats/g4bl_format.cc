// G4beamline grid field maps (see formats.h).
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
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

constexpr const char* kUpper = "XYZ";

// The flip lists of an extend command that the reflection indices express:
// index 1 reverses the component normal to the mirror plane, index 2 the
// two components parallel to it.
constexpr const char* kFlipOne[3] = {"Bx", "By", "Bz"};
constexpr const char* kFlipTwo[3] = {"By,Bz", "Bx,Bz", "Bx,By"};

// One key=value of a command line.
struct Setting {
  std::string key;  // lower case
  std::string_view value;
  std::uint64_t column;
};

class G4blReader {
 public:
  G4blReader(std::istream& in, const FormatRequest& request, MapContents& contents, Units& units,
             TableError& error)
      : lines_(in),
        contents_(contents),
        units_(units),
        error_(error),
        capacity_(request.capacity),
        convert_(Units{LengthUnit::mm, FieldUnit::T}, request) {}

  bool read() {
    std::string_view line;
    bool in_data = false;
    while (lines_.next(line)) {
      const std::uint64_t number = lines_.line_number();
      if (!in_data) line = blank_unicode_spaces(line, blanked_);
      split_line(line.substr(0, line.find('#')), fields_);
      if (fields_.empty()) continue;
      if (in_data) {
        if (!read_row(number)) return false;
        continue;
      }
      const std::string command = lower(fields_[0].text);
      if (command == "data") {
        if (!start_data(number)) return false;
        in_data = true;
      } else if (command == "param") {
        if (!read_param(number)) return false;
      } else if (command == "grid") {
        if (!once(grid_line_, number, fields_[0]) || !read_grid(number)) return false;
      } else if (command == "extendx" || command == "extendy" || command == "extendz") {
        const int axis = command[6] - 'x';
        if (!once(extend_line_[axis], number, fields_[0]) || !read_extend(axis, number)) {
          return false;
        }
      } else if (command == "cylinder") {
        return fail_at(error_, number, fields_[0].column,
                       "cylinder maps are not read; only grid maps are");
      } else {
        return fail_at(error_, number, fields_[0].column,
                       "unknown command \"" + std::string(fields_[0].text) +
                           "\" (expected param, grid, extendX, extendY, extendZ or data)");
      }
    }
    if (!lines_.failure().empty()) {
      return fail_at(error_, lines_.line_number() + 1, 1, lines_.failure());
    }
    if (!in_data) {
      return fail_at(error_, lines_.line_number() + 1, 1,
                     "the file ends before the \"data\" line that starts the rows");
    }
    if (rows_ == 0) return fail_at(error_, lines_.line_number() + 1, 1, "the map has no rows");
    units_ = convert_.map_units();
    return true;
  }

  // The nodes that rows gave more than once, once read() succeeded.
  const RepeatedNodes& repeats() const { return repeats_; }

 private:
  bool settings(std::uint64_t line, std::vector<Setting>& out) {
    out.clear();
    for (std::size_t f = 1; f < fields_.size(); ++f) {
      const std::string_view t = fields_[f].text;
      const auto eq = t.find('=');
      if (eq == std::string_view::npos || eq == 0) {
        return fail_at(error_, line, fields_[f].column,
                       "expected NAME=VALUE, not \"" + std::string(t) + "\"");
      }
      out.push_back({lower(t.substr(0, eq)), t.substr(eq + 1), fields_[f].column + eq + 1});
    }
    return true;
  }

  // A directive (or setting) given a second time is refused: which of the
  // two was meant is not for the reader to guess.  `first` is the line of
  // the first, 0 for none.
  bool once(std::uint64_t first, std::uint64_t line, const TextField& name) {
    if (first == 0) return true;
    return fail_at(error_, line, name.column,
                   std::string(name.text) + " is given twice, on lines " + std::to_string(first) +
                       " and " + std::to_string(line));
  }

  bool read_param(std::uint64_t line) {
    std::vector<Setting> s;
    if (!settings(line, s)) return false;
    for (const Setting& p : s) {
      if (p.key != "normb") continue;
      const TextField name{"normB", p.column - 6};
      if (!once(norm_line_, line, name)) return false;
      norm_line_ = line;
      if (!parse_double(p.value, norm_) || !std::isfinite(norm_)) {
        return fail_at(error_, line, p.column,
                       "normB \"" + std::string(p.value) + "\" is not a finite number");
      }
    }
    return true;
  }

  bool read_grid(std::uint64_t line) {
    std::vector<Setting> s;
    if (!settings(line, s)) return false;
    grid_line_ = line;
    std::uint64_t nodes = 1;
    for (int a = 0; a < 3; ++a) {
      const std::string axis(1, static_cast<char>('x' + a));
      const Setting* origin = nullptr;
      const Setting* count = nullptr;
      const Setting* step = nullptr;
      for (const Setting& p : s) {
        if (p.key == axis + "0") origin = &p;
        if (p.key == "n" + axis) count = &p;
        if (p.key == "d" + axis) step = &p;
      }
      const std::string upper(1, kUpper[a]);
      if (origin == nullptr || count == nullptr || step == nullptr) {
        return fail_at(error_, line, fields_[0].column,
                       "the grid line needs " + upper + "0=, n" + upper + "= and d" + upper + "=");
      }
      std::int64_t n = 0;
      if (!parse_int64(count->value, n) || n < 1 || n > capacity_) {
        return fail_at(error_, line, count->column,
                       "n" + upper + " must be a whole number of at least 1, not \"" +
                           std::string(count->value) + "\"");
      }
      nodes *= static_cast<std::uint64_t>(n);
      if (3 * nodes > static_cast<std::uint64_t>(capacity_)) {
        return fail_at(
            error_, line, count->column,
            "the grid needs more than the capacity of " + std::to_string(capacity_) + " values");
      }
      n_[a] = static_cast<std::int32_t>(n);
      if (!parse_double(origin->value, origin_[a]) || !std::isfinite(origin_[a])) {
        return fail_at(error_, line, origin->column,
                       upper + "0 \"" + std::string(origin->value) + "\" is not a finite number");
      }
      if (!parse_double(step->value, step_[a]) || !std::isfinite(step_[a]) || !(step_[a] > 0)) {
        return fail_at(
            error_, line, step->column,
            "d" + upper + " \"" + std::string(step->value) + "\" is not a positive number");
      }
      origin_column_[a] = origin->column;
    }
    have_grid_ = true;
    return true;
  }

  bool read_extend(int axis, std::uint64_t line) {
    std::vector<Setting> s;
    if (!settings(line, s)) return false;
    std::string flips;
    std::uint64_t column = fields_[0].column;
    bool b[3] = {false, false, false};
    for (const Setting& p : s) {
      if (p.key != "flip") continue;
      column = p.column;
      flips = std::string(p.value);
      std::size_t start = 0;
      while (start <= p.value.size()) {
        const std::size_t comma = std::min(p.value.find(',', start), p.value.size());
        const std::string name = lower(p.value.substr(start, comma - start));
        if (name == "bx" || name == "by" || name == "bz") {
          b[name[1] - 'x'] = true;
        } else if (name != "ex" && name != "ey" && name != "ez" && !name.empty()) {
          return fail_at(error_, line, p.column + start,
                         "\"" + name + "\" is not a field component (Bx, By, Bz, Ex, Ey, Ez)");
        }
        start = comma + 1;
      }
    }
    const bool one = b[axis] && !b[(axis + 1) % 3] && !b[(axis + 2) % 3];
    const bool two = !b[axis] && b[(axis + 1) % 3] && b[(axis + 2) % 3];
    const std::string name = std::string("extend") + kUpper[axis];
    if (!one && !two) {
      return fail_at(error_, line, column,
                     name + " flip=" + flips +
                         " cannot be expressed by the map's reflection indices: a mirror plane "
                         "reverses either " +
                         kFlipOne[axis] + " (index 1) or " + kFlipTwo[axis] + " (index 2)");
    }
    extend_[axis] = one ? 1 : 2;
    extend_line_[axis] = line;
    extend_column_[axis] = fields_[0].column;
    return true;
  }

  bool start_data(std::uint64_t line) {
    if (!have_grid_) {
      return fail_at(error_, line, fields_[0].column, "\"data\" comes before the grid line");
    }
    float* mins[3] = {&contents_.xmin, &contents_.ymin, &contents_.zmin};
    float* steps[3] = {&contents_.dx, &contents_.dy, &contents_.dz};
    std::int32_t* counts[3] = {&contents_.nx, &contents_.ny, &contents_.nz};
    std::int32_t* reflections[3] = {&contents_.ida, &contents_.idb, &contents_.idc};
    for (int a = 0; a < 3; ++a) {
      if (extend_[a] != 0 && origin_[a] != 0.0) {
        return fail_at(error_, extend_line_[a], extend_column_[a],
                       std::string("extend") + kUpper[a] + " mirrors at " + kUpper[a] +
                           " = 0, but the grid starts at " + kUpper[a] +
                           "0 = " + float_text(to_single(origin_[a])) +
                           "; the map's mirror plane lies at its first node");
      }
      *mins[a] = to_single(convert_.length(origin_[a]));
      *steps[a] = to_single(convert_.length(step_[a]));
      *counts[a] = n_[a];
      *reflections[a] = extend_[a];
      if (!std::isfinite(*mins[a]) || !(*steps[a] > 0) || !std::isfinite(*steps[a])) {
        return fail_at(error_, grid_line_, origin_column_[a],
                       "the grid does not fit single precision in the map's units");
      }
      tolerance_[a] = grid_tolerance(origin_[a], step_[a], n_[a]);
    }
    const std::size_t nodes = static_cast<std::size_t>(n_[0]) * static_cast<std::size_t>(n_[1]) *
                              static_cast<std::size_t>(n_[2]);
    contents_.values.assign(3 * nodes, kUnmeasuredMark);
    row_at_.assign(nodes, 0);
    return true;
  }

  bool read_row(std::uint64_t line) {
    if (fields_.size() < 6) {
      return fail_at(
          error_, line, 1,
          "a row needs 6 fields, X Y Z Bx By Bz, this one has " + std::to_string(fields_.size()));
    }
    std::size_t index[3];
    for (int a = 0; a < 3; ++a) {
      double v = 0;
      if (!number_at(fields_[static_cast<std::size_t>(a)], line, v, error_)) return false;
      const std::int64_t k = grid_node(origin_[a], step_[a], n_[a], tolerance_[a], v);
      if (k < 0) {
        return fail_at(error_, line, fields_[static_cast<std::size_t>(a)].column,
                       std::string(1, kUpper[a]) + " = " +
                           std::string(fields_[static_cast<std::size_t>(a)].text) +
                           " is not a node of the grid (" + kUpper[a] + "0 + k * d" + kUpper[a] +
                           ", k from 0 to " + std::to_string(n_[a] - 1) + ")");
      }
      index[a] = static_cast<std::size_t>(k);
    }
    double raw[3];
    for (int c = 0; c < 3; ++c) {
      if (!number_at(fields_[static_cast<std::size_t>(3 + c)], line, raw[c], error_)) return false;
    }
    const std::size_t node =
        (index[2] * static_cast<std::size_t>(n_[1]) + index[1]) * static_cast<std::size_t>(n_[0]) +
        index[0];
    float b[3];
    convert_.field(raw, norm_, b);
    if (!(std::isfinite(b[0]) && std::isfinite(b[1]) && std::isfinite(b[2]))) {
      b[0] = b[1] = b[2] = kUnmeasuredMark;
    }
    if (row_at_[node] != 0) note_repeat(node, line, b);
    row_at_[node] = line;
    for (std::size_t c = 0; c < 3; ++c) contents_.values[3 * node + c] = b[c];
    ++rows_;
    return true;
  }

  // A row on line `line` gives `node` again with values `b`: the later row
  // wins (the caller stores it); the node is counted once, and once more
  // among the differing ones when any of its rows changes its values.
  void note_repeat(std::size_t node, std::uint64_t line, const float b[3]) {
    constexpr unsigned char kCounted = 1, kDiffers = 2;
    constexpr std::size_t kLinesKept = 5;
    if (repeat_state_.empty()) repeat_state_.assign(row_at_.size(), 0);
    unsigned char& state = repeat_state_[node];
    const float* old = &contents_.values[3 * node];
    if (!(state & kCounted)) ++repeats_.nodes;
    if (!(state & kDiffers) && (old[0] != b[0] || old[1] != b[1] || old[2] != b[2])) {
      ++repeats_.differing;
      state |= kDiffers;
    }
    state |= kCounted;
    ++repeats_.rows;
    if (repeats_.lines.size() < kLinesKept) repeats_.lines.push_back(line);
  }

  LineReader lines_;
  MapContents& contents_;
  Units& units_;
  TableError& error_;
  std::int64_t capacity_;
  ToMapUnits convert_;
  std::vector<TextField> fields_;
  std::string blanked_;  // a command line with its Unicode spaces blanked
  double norm_ = 1.0;
  std::uint64_t norm_line_ = 0;
  bool have_grid_ = false;
  std::uint64_t grid_line_ = 0;
  double origin_[3] = {0, 0, 0}, step_[3] = {1, 1, 1}, tolerance_[3] = {0, 0, 0};
  std::uint64_t origin_column_[3] = {1, 1, 1};
  std::int32_t n_[3] = {1, 1, 1};
  std::int32_t extend_[3] = {0, 0, 0};
  std::uint64_t extend_line_[3] = {0, 0, 0}, extend_column_[3] = {1, 1, 1};
  std::vector<std::uint64_t> row_at_;
  std::vector<unsigned char> repeat_state_;  // per node, once a node repeats
  RepeatedNodes repeats_;
  std::uint64_t rows_ = 0;
};

}  // namespace

bool read_g4beamline(std::istream& in, const FormatRequest& request, MapContents& contents,
                     Units& units, TableError& error, RepeatedNodes* repeats) {
  G4blReader reader(in, request, contents, units, error);
  if (!reader.read()) return false;
  if (repeats != nullptr) *repeats = reader.repeats();
  return true;
}

bool write_g4beamline(const GridSize& grid, const float* values, const Units& map_units,
                      std::string& out, std::string& why) {
  if (!check_export_units(map_units, "g4beamline", why)) return false;
  if (!check_export_symmetry(grid, "g4beamline", true, why)) return false;
  const float mins[3] = {grid.XMIN, grid.YMIN, grid.ZMIN};
  const float steps[3] = {grid.DX, grid.DY, grid.DZ};
  const std::int32_t counts[3] = {grid.NX, grid.NY, grid.NZ};
  const std::int32_t reflections[3] = {grid.IDA, grid.IDB, grid.IDC};
  for (int a = 0; a < 3; ++a) {
    if (reflections[a] != 0 && mins[a] != 0.0f) {
      std::string min;
      append_float(min, mins[a]);
      why = std::string("the map mirrors at ") + static_cast<char>('x' + a) + " = " + min +
            " (its first node), but G4beamline's extend" + kUpper[a] + " mirrors at " + kUpper[a] +
            " = 0";
      return false;
    }
  }
  const LengthUnit from = *map_units.length;
  std::vector<std::string> nodes[3];
  out =
      "# G4beamline grid field map written by fieldmap: lengths in mm, field in T\n"
      "param normB=1\ngrid";
  for (int a = 0; a < 3; ++a) {
    nodes[a] = node_texts(mins[a], steps[a], counts[a], from, LengthUnit::mm);
    std::string origin;
    append_float(origin, to_single(convert_length(mins[a], from, LengthUnit::mm)));
    out += std::string(" ") + kUpper[a] + "0=" + origin;
  }
  for (int a = 0; a < 3; ++a)
    out += std::string(" n") + kUpper[a] + "=" + std::to_string(counts[a]);
  for (int a = 0; a < 3; ++a) {
    std::string step;
    append_float(step, to_single(convert_length(steps[a], from, LengthUnit::mm)));
    out += std::string(" d") + kUpper[a] + "=" + step;
  }
  out += '\n';
  for (int a = 0; a < 3; ++a) {
    if (reflections[a] == 0) continue;
    out += std::string("extend") + kUpper[a] +
           " flip=" + (reflections[a] == 1 ? kFlipOne[a] : kFlipTwo[a]) + "\n";
  }
  out += "data\n";
  append_node_rows(out, nodes, values, *map_units.field, FieldUnit::T);
  return true;
}

}  // namespace fieldscan::fieldmap
