#include "fieldscan/formats/table_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fieldscan/formats/unicode_text.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

struct Field {
  std::string_view text;
  std::uint64_t column;  // 1-based
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// The line's content without its comment.
std::string_view strip_comment(std::string_view line) { return line.substr(0, line.find('#')); }

// Splits one line (comment already removed) into fields; `end_column`
// receives the column just after the last field.
void split_fields(std::string_view line, std::vector<Field>& out, std::uint64_t& end_column) {
  out.clear();
  std::size_t p = 0;
  const std::size_t n = line.size();
  auto skip_blanks = [&] {
    while (p < n && is_blank(line[p])) ++p;
  };
  skip_blanks();
  end_column = 1;
  if (p == n) return;
  for (;;) {
    const std::size_t start = p;
    while (p < n && !is_blank(line[p]) && line[p] != ',') ++p;
    out.push_back({line.substr(start, p - start), start + 1});
    end_column = p + 1;
    skip_blanks();
    if (p == n) return;
    if (line[p] == ',') {
      ++p;
      skip_blanks();
      if (p == n) {  // a trailing comma leaves an empty last field
        out.push_back({line.substr(p, 0), p + 1});
        end_column = p + 1;
        return;
      }
    }
  }
}

// Column name in upper case, without a unit glued on in brackets.
std::string column_name(std::string_view field) {
  const auto cut = field.find_first_of("[(");
  field = field.substr(0, cut);
  std::string name(field);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

bool is_unit(std::string_view field) {
  return !field.empty() && (field.front() == '[' || field.front() == '(');
}

// A column's unit and where it stands.
struct UnitAt {
  std::string text;  // with its brackets; empty when the column has none
  std::uint64_t line = 0, column = 0;
};

bool is_known_name(const std::string& name) {
  return name == "X" || name == "Y" || name == "Z" || name == "BX" || name == "BY" || name == "BZ";
}

// Where a column's name stands, as written.
struct NameAt {
  std::string written;
  std::uint64_t line = 0, column = 0;
};

std::string u128_to_string(unsigned __int128 v) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v != 0);
  return digits;
}

class Reader {
 public:
  Reader(TextSource& source, const ReadOptions& options, Table& table, TableError& error)
      : lines_(source, kMaxLineBytes),
        size_(source.size()),
        options_(options),
        table_(table),
        error_(error) {}

  bool read() {
    table_ = Table{};
    if (!next_line()) return !failed_ && fail(1, 1, "the table is empty");
    if (looks_like_counts()) {
      table_.header_form = true;
      if (!read_header()) return false;
    } else if (!start_plain()) {
      return false;
    }
    in_rows_ = true;
    do {
      if (!read_row()) return false;
    } while (next_line());
    if (failed_) return false;
    if (!scale_header()) return false;
    if (options_.progress && size_ > 0) options_.progress(1.0);
    return true;
  }

 private:
  // Moves to the next line that holds a field; false at the end of the
  // text or on a failure (failed_ set).
  bool next_line() {
    std::string_view line;
    for (;;) {
      if (!lines_.next(line)) {
        if (lines_.stop() == LineReader::Stop::end) return false;
        if (lines_.stop() != LineReader::Stop::too_long) return fail(0, 0, lines_.failure());
        return fail(lines_.line_number() + 1, 1,
                    "the line is longer than " + std::to_string(kMaxLineBytes) +
                        " bytes (a table has one row per line)");
      }
      line_ = lines_.line_number();
      // Header and name lines (not "#map" lines, whose quoted texts are kept)
      // take Unicode spaces for blanks.
      if (!columns_done_ && !is_header_line(line)) line = blank_unicode_spaces(line, blanked_);
      if (is_header_line(line) && !header_line(line)) return false;
      split_fields(strip_comment(line), fields_, end_column_);
      if (options_.progress && size_ > 0 &&
          lines_.consumed() - reported_ >= (std::size_t{4} << 20)) {
        reported_ = lines_.consumed();
        options_.progress(static_cast<double>(reported_) / static_cast<double>(size_));
      }
      if (!fields_.empty()) return true;
    }
  }

  bool header_line(std::string_view line) {
    if (in_rows_) return fail(line_, 1, "a #map header line must come before the first row");
    std::uint64_t column = 1;
    std::string message;
    if (!parse_header_line(line, line_, table_.header, column, message)) {
      return fail(line_, column, message);
    }
    return true;
  }

  bool fail(std::uint64_t line, std::uint64_t column, std::string message) {
    failed_ = true;
    error_.line = line;
    error_.column = column;
    error_.message = printable(message);
    return false;
  }
  bool fail_at(const Field& f, std::string message) {
    return fail(line_, f.column, std::move(message));
  }

  bool looks_like_counts() const {
    if (fields_.size() != 3 && fields_.size() != 4) return false;
    double ignored;
    return std::all_of(fields_.begin(), fields_.end(),
                       [&](const Field& f) { return parse_double(f.text, ignored); });
  }

  bool read_header() { return read_counts() && read_column_list(); }

  // The node counts "NX NY NZ" on the current line.
  bool read_counts() {
    static const char* const axis[3] = {"NX", "NY", "NZ"};
    table_.counts_line = line_;
    for (int a = 0; a < 3; ++a) {
      std::int64_t n = 0;
      if (!parse_int64(fields_[a].text, n) || n < 1 || n > INT32_MAX) {
        return fail_at(fields_[a], std::string("the node count ") + axis[a] +
                                       " must be a whole number of at least 1, not \"" +
                                       std::string(fields_[a].text) + "\"");
      }
      table_.counts[a] = static_cast<std::int32_t>(n);
      table_.counts_column[a] = fields_[a].column;
    }
    const unsigned __int128 values =
        static_cast<unsigned __int128>(3) * table_.counts[0] * table_.counts[1] * table_.counts[2];
    if (values > static_cast<unsigned __int128>(options_.capacity)) {
      return fail_at(fields_[0], "a grid of " + std::to_string(table_.counts[0]) + " x " +
                                     std::to_string(table_.counts[1]) + " x " +
                                     std::to_string(table_.counts[2]) + " nodes needs " +
                                     u128_to_string(values) +
                                     " values, more than the capacity of " +
                                     std::to_string(options_.capacity));
    }
    max_rows_ = static_cast<std::size_t>(values / 3);
    rows_are_ = "the header's " + std::to_string(table_.counts[0]) + " x " +
                std::to_string(table_.counts[1]) + " x " + std::to_string(table_.counts[2]) +
                " nodes";
    return true;
  }

  // The column lines "N NAME [UNIT]" up to the line "0".
  bool read_column_list() {
    std::vector<std::string> names;
    std::vector<UnitAt> units;
    std::vector<NameAt> places;
    for (;;) {
      if (!next_line()) {
        return !failed_ &&
               fail(line_ + 1, 1,
                    "the table ends in its header: no line \"0\" closes the column list");
      }
      if (names.empty() && rows_follow_counts()) return columns_known();
      std::int64_t number = -1;
      if (!parse_int64(fields_[0].text, number) ||
          (number != 0 && number != static_cast<std::int64_t>(names.size()) + 1)) {
        return fail_at(fields_[0], "expected the column line \"" +
                                       std::to_string(names.size() + 1) +
                                       " NAME\" or the line \"0\" that ends the column list");
      }
      if (number == 0) {
        take_zero_unit();
        break;
      }
      if (fields_.size() < 2) {
        return fail(line_, end_column_, "column " + std::to_string(number) + " has no name");
      }
      names.push_back(column_name(fields_[1].text));
      places.push_back({std::string(fields_[1].text), line_, fields_[1].column});
      units.push_back(glued_unit(fields_[1]));
      if (units.back().text.empty() && fields_.size() > 2 && is_unit(fields_[2].text)) {
        units.back() = {std::string(fields_[2].text), line_, fields_[2].column};
      }
    }
    return take_names(names, units, places, "the header lists ");
  }

  // The unit on the line "0" that closes the column list ("0 [METRE]").
  void take_zero_unit() {
    if (fields_.size() > 1 && is_unit(fields_[1].text)) {
      table_.zero_unit = std::string(fields_[1].text);
      table_.zero_unit_line = line_;
      table_.zero_unit_column = fields_[1].column;
    }
  }

  // True when the line after the counts is already a row of six or more
  // numbers: the counts-then-rows form, which names no columns (and no
  // units), so they are x y z bx by bz in that order.  A column line has a
  // name; a "0" line followed by five numbers would be no column list.
  bool rows_follow_counts() {
    if (fields_.size() < 6) return false;
    double ignored;
    for (const Field& f : fields_) {
      if (!parse_double(f.text, ignored)) return false;
    }
    columns_ = fields_.size();
    return true;
  }

  // A unit glued to a column name ("X[MM]").
  UnitAt glued_unit(const Field& f) const {
    const auto cut = f.text.find_first_of("[(");
    if (cut == std::string_view::npos || cut == 0) return {};
    return {std::string(f.text.substr(cut)), line_, f.column + cut};
  }

  // Keeps the units of the six columns read; `units` has one per name.
  // Takes the columns of a names line (at least the six of a node) and their
  // units, then moves on to the first row.  `lists` starts the message that
  // says too few were named.
  bool take_names(const std::vector<std::string>& names, const std::vector<UnitAt>& units,
                  const std::vector<NameAt>& places, const std::string& lists) {
    if (names.size() < 6) {
      return fail_at(fields_[0],
                     lists + std::to_string(names.size()) + " columns; x y z bx by bz need 6");
    }
    columns_ = names.size();
    if (!assign_columns(names, places)) return false;
    take_units(units);
    if (!columns_known()) return false;
    return next_line() || no_rows();
  }

  // Chooses the fields of x y z bx by bz by their names; when no column
  // bears one of those names, the first six columns.  Otherwise each of the
  // six must be named exactly once: a name given twice fails where it stands
  // the second time, a name missing at the current line (the names line, or
  // the header's "0" line).
  bool assign_columns(const std::vector<std::string>& names, const std::vector<NameAt>& places) {
    static const char* const wanted[6] = {"X", "Y", "Z", "BX", "BY", "BZ"};
    static const char* const lower[6] = {"x", "y", "z", "bx", "by", "bz"};
    int found[6] = {-1, -1, -1, -1, -1, -1};
    bool any = false;
    for (int w = 0; w < 6; ++w) {
      for (std::size_t f = 0; f < names.size(); ++f) {
        if (names[f] != wanted[w]) continue;
        any = true;
        if (found[w] >= 0) {
          const NameAt& first = places[static_cast<std::size_t>(found[w])];
          return fail(places[f].line, places[f].column,
                      "the column " + std::string(lower[w]) + " is named twice (\"" +
                          places[f].written + "\"; first on line " + std::to_string(first.line) +
                          ", column " + std::to_string(first.column) + ")");
        }
        found[w] = static_cast<int>(f);
      }
    }
    for (int w = 0; w < 6; ++w) {
      if (!any) {
        table_.field_of[w] = w;
      } else if (found[w] < 0) {
        return fail_at(fields_[0], "no column is named " + std::string(lower[w]) +
                                       ": name each of x, y, z, bx, by, bz once (or none of "
                                       "them, for the first six columns in that order)");
      } else {
        table_.field_of[w] = found[w];
      }
    }
    return true;
  }

  void take_units(const std::vector<UnitAt>& units) {
    for (int w = 0; w < 6; ++w) {
      const auto f = static_cast<std::size_t>(table_.field_of[w]);
      if (f >= units.size()) continue;
      table_.unit[w] = units[f].text;
      table_.unit_line[w] = units[f].line;
      table_.unit_column[w] = units[f].column;
    }
  }

  bool columns_known() {
    columns_done_ = true;
    if (!options_.columns_known) return true;
    TableError e;
    if (options_.columns_known(table_, factor_, e)) return true;
    return fail(e.line, e.column, std::move(e.message));
  }

  // False in every case: a failure while looking for the first row stands,
  // otherwise there is none.
  bool no_rows() { return !failed_ && fail(line_ + 1, 1, "the table has no rows"); }

  // The header lines' origin and steps are coordinates: they take the
  // scale as the rows do.
  bool scale_header() {
    MapHeader& h = table_.header;
    if (h.origin.has_value() != h.steps.has_value()) {
      const bool origin = h.origin.has_value();
      return fail(origin ? h.origin_line : h.steps_line, 1,
                  std::string("#map ") + (origin ? "origin" : "steps") + " needs #map " +
                      (origin ? "steps" : "origin") + " as well: together they fix the grid");
    }
    if ((options_.scale == 1.0 && factor_[0] == 1.0 && factor_[1] == 1.0 && factor_[2] == 1.0) ||
        !h.origin) {
      return true;
    }
    for (int a = 0; a < 3; ++a) {
      (*h.origin)[a] = to_single((*h.origin)[a] * factor_[a] * options_.scale);
      (*h.steps)[a] = to_single((*h.steps)[a] * factor_[a] * options_.scale);
      if (!std::isfinite((*h.origin)[a]) || !std::isfinite((*h.steps)[a]) || !((*h.steps)[a] > 0)) {
        return fail(h.origin_line, 1,
                    "#map origin or steps are not finite and positive after scaling");
      }
    }
    return true;
  }

  bool start_plain() {
    max_rows_ = static_cast<std::size_t>(options_.capacity / 3);
    rows_are_ = std::to_string(max_rows_) + " nodes (" + std::to_string(options_.capacity) +
                " values, the capacity)";
    double ignored;
    if (parse_double(fields_[0].text, ignored)) return columns_known();
    // A name line only when it reads as one; a typo in a row ("O" for "0")
    // must stay an error in that row.
    std::vector<std::string> names;
    std::vector<UnitAt> units;
    std::vector<NameAt> places;
    bool all_known = true;
    bool any_number = false;
    for (const Field& f : fields_) {
      if (parse_double(f.text, ignored)) any_number = true;
      if (is_unit(f.text)) {
        if (!units.empty() && units.back().text.empty()) {
          units.back() = {std::string(f.text), line_, f.column};
        }
        continue;
      }
      names.push_back(column_name(f.text));
      places.push_back({std::string(f.text), line_, f.column});
      units.push_back(glued_unit(f));
      all_known = all_known && is_known_name(names.back());
    }
    // A row: read_row names the bad field.
    if (any_number && !all_known) return columns_known();
    return take_names(names, units, places, "the column names list ");
  }

  bool read_row() {
    if (fields_.size() != columns_) {
      const std::string expected = std::to_string(columns_);
      const std::string message =
          "a row needs " + expected + " fields, this one has " + std::to_string(fields_.size());
      if (fields_.size() > columns_) return fail_at(fields_[columns_], message);
      return fail(line_, end_column_, message);
    }
    if (table_.rows.size() == max_rows_) {
      return fail(line_, fields_[0].column, "more rows than " + rows_are_);
    }
    TableRow row;
    row.line = line_;
    float* coordinate[3] = {&row.x, &row.y, &row.z};
    for (int a = 0; a < 3; ++a) {
      const Field& f = fields_[static_cast<std::size_t>(table_.field_of[a])];
      row.set_column(a, f.column);
      if (options_.scale == 1.0 && factor_[a] == 1.0) {
        if (!parse_float(f.text, *coordinate[a])) return not_a_number(f);
      } else {
        double d = 0;
        if (!parse_double(f.text, d)) return not_a_number(f);
        if (factor_[a] != 1.0) d *= factor_[a];
        *coordinate[a] = to_single(options_.scale == 1.0 ? d : d * options_.scale);
      }
      if (!std::isfinite(*coordinate[a])) {
        return fail_at(f, "the coordinate \"" + std::string(f.text) +
                              "\" is not a finite number (after scaling)");
      }
    }
    double raw[3] = {0, 0, 0};
    for (int c = 0; c < 3; ++c) {
      const Field& f = fields_[static_cast<std::size_t>(table_.field_of[3 + c])];
      if (!parse_float(f.text, row.b[c])) return not_a_number(f);
      if (factor_[3 + c] != 1.0) parse_double(f.text, raw[c]);
    }
    if (factor_[3] != 1.0 || factor_[4] != 1.0 || factor_[5] != 1.0) {
      // Converted from the text in double precision, rounded once; the
      // unmeasured mark is not a field value and stays as it is.
      if (!is_unmeasured(row.b)) {
        for (int c = 0; c < 3; ++c) {
          if (factor_[3 + c] != 1.0) row.b[c] = to_single(raw[c] * factor_[3 + c]);
        }
      }
    }
    table_.rows.push_back(row);
    return true;
  }

  bool not_a_number(const Field& f) {
    return fail_at(f, "\"" + std::string(f.text) + "\" is not a number");
  }

  LineReader lines_;
  std::uint64_t size_;
  const ReadOptions& options_;
  Table& table_;
  TableError& error_;
  std::uint64_t reported_ = 0;
  std::uint64_t line_ = 0;
  std::uint64_t end_column_ = 1;
  bool failed_ = false;
  bool in_rows_ = false;
  bool columns_done_ = false;
  std::string blanked_;  // a line with its Unicode spaces blanked
  std::vector<Field> fields_;
  std::size_t columns_ = 6;
  double factor_[6] = {1, 1, 1, 1, 1, 1};
  std::size_t max_rows_ = 0;
  std::string rows_are_;
};

}  // namespace

bool read_table(TextSource& source, const ReadOptions& options, Table& table, TableError& error) {
  return Reader(source, options, table, error).read();
}

bool read_table(std::string_view text, const ReadOptions& options, Table& table,
                TableError& error) {
  StringSource source(text);
  return read_table(source, options, table, error);
}

}  // namespace fieldscan::fieldmap
