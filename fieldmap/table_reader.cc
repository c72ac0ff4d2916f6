#include "fieldmap/table_reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "fieldmap/number.h"
#include "mapfile/grid.h"
#include "mapfile/node.h"

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

// Chooses the fields of x y z bx by bz: by name when all six are named
// exactly once, otherwise the first six.
void assign_columns(const std::vector<std::string>& names, int field_of[6]) {
  static const char* const wanted[6] = {"X", "Y", "Z", "BX", "BY", "BZ"};
  int found[6];
  for (int w = 0; w < 6; ++w) {
    found[w] = -1;
    for (std::size_t f = 0; f < names.size(); ++f) {
      if (names[f] != wanted[w]) continue;
      if (found[w] >= 0) {  // named twice: names cannot decide
        found[w] = -2;
        break;
      }
      found[w] = static_cast<int>(f);
    }
  }
  const bool by_name = std::all_of(found, found + 6, [](int f) { return f >= 0; });
  for (int w = 0; w < 6; ++w) field_of[w] = by_name ? found[w] : w;
}

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
  Reader(std::string_view text, const ReadOptions& options, Table& table, TableError& error)
      : text_(text), options_(options), table_(table), error_(error) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;  // byte order mark
  }

  bool read() {
    table_ = Table{};
    if (!next_line()) return fail(1, 1, "the table is empty");
    if (looks_like_counts()) {
      table_.header_form = true;
      if (!read_header()) return false;
    } else if (!start_plain()) {
      return false;
    }
    do {
      if (!read_row()) return false;
    } while (next_line());
    if (options_.progress) options_.progress(1.0);
    return true;
  }

 private:
  // Moves to the next line that holds a field; false at the end of the text.
  bool next_line() {
    while (pos_ < text_.size()) {
      const std::size_t start = pos_;
      const void* nl = std::memchr(text_.data() + start, '\n', text_.size() - start);
      const std::size_t end =
          nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - text_.data()) : text_.size();
      pos_ = nl ? end + 1 : end;
      ++line_;
      line_offset_ = start;
      split_fields(strip_comment(text_.substr(start, end - start)), fields_, end_column_);
      if (options_.progress && pos_ - reported_ >= (std::size_t{4} << 20)) {
        reported_ = pos_;
        options_.progress(static_cast<double>(pos_) / static_cast<double>(text_.size()));
      }
      if (!fields_.empty()) return true;
    }
    return false;
  }

  bool fail(std::uint64_t line, std::uint64_t column, std::string message) {
    error_.line = line;
    error_.column = column;
    error_.message = std::move(message);
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

  bool read_header() {
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
    if (values > static_cast<unsigned __int128>(MXS)) {
      return fail_at(fields_[0], "a grid of " + std::to_string(table_.counts[0]) + " x " +
                                     std::to_string(table_.counts[1]) + " x " +
                                     std::to_string(table_.counts[2]) + " nodes needs " +
                                     u128_to_string(values) +
                                     " values, more than the capacity of " + std::to_string(MXS));
    }
    max_rows_ = static_cast<std::size_t>(values / 3);
    rows_are_ = "the header's " + std::to_string(table_.counts[0]) + " x " +
                std::to_string(table_.counts[1]) + " x " + std::to_string(table_.counts[2]) +
                " nodes";

    std::vector<std::string> names;
    std::vector<UnitAt> units;
    for (;;) {
      if (!next_line()) {
        return fail(line_ + 1, 1,
                    "the table ends in its header: no line \"0\" closes the column list");
      }
      std::int64_t number = -1;
      if (!parse_int64(fields_[0].text, number) ||
          (number != 0 && number != static_cast<std::int64_t>(names.size()) + 1)) {
        return fail_at(fields_[0], "expected the column line \"" +
                                       std::to_string(names.size() + 1) +
                                       " NAME\" or the line \"0\" that ends the column list");
      }
      if (number == 0) {
        if (fields_.size() > 1 && is_unit(fields_[1].text)) {
          table_.zero_unit = std::string(fields_[1].text);
          table_.zero_unit_line = line_;
          table_.zero_unit_column = fields_[1].column;
        }
        break;
      }
      if (fields_.size() < 2) {
        return fail(line_, end_column_, "column " + std::to_string(number) + " has no name");
      }
      names.push_back(column_name(fields_[1].text));
      units.push_back(glued_unit(fields_[1]));
      if (units.back().text.empty() && fields_.size() > 2 && is_unit(fields_[2].text)) {
        units.back() = {std::string(fields_[2].text), line_, fields_[2].column};
      }
    }
    if (names.size() < 6) {
      return fail_at(fields_[0], "the header lists " + std::to_string(names.size()) +
                                     " columns; x y z bx by bz need 6");
    }
    columns_ = names.size();
    assign_columns(names, table_.field_of);
    take_units(units);
    if (!columns_known()) return false;
    table_.rows.reserve(max_rows_);
    return next_line() || no_rows();
  }

  // A unit glued to a column name ("X[MM]").
  UnitAt glued_unit(const Field& f) const {
    const auto cut = f.text.find_first_of("[(");
    if (cut == std::string_view::npos || cut == 0) return {};
    return {std::string(f.text.substr(cut)), line_, f.column + cut};
  }

  // Keeps the units of the six columns read; `units` has one per name.
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
    if (!options_.columns_known) return true;
    TableError e;
    if (options_.columns_known(table_, factor_, e)) return true;
    return fail(e.line, e.column, std::move(e.message));
  }

  bool no_rows() { return fail(line_ + 1, 1, "the table has no rows"); }

  bool start_plain() {
    max_rows_ = static_cast<std::size_t>(MXS / 3);
    rows_are_ =
        std::to_string(max_rows_) + " nodes (" + std::to_string(MXS) + " values, the capacity)";
    double ignored;
    if (parse_double(fields_[0].text, ignored)) {
      columns_ = 6;
      if (!columns_known()) return false;
    } else {
      std::vector<std::string> names;
      std::vector<UnitAt> units;
      for (const Field& f : fields_) {
        if (!is_unit(f.text)) {
          names.push_back(column_name(f.text));
          units.push_back(glued_unit(f));
        } else if (!units.empty() && units.back().text.empty()) {
          units.back() = {std::string(f.text), line_, f.column};
        }
      }
      if (names.size() < 6) {
        return fail_at(fields_[0], "the column names list " + std::to_string(names.size()) +
                                       " columns; x y z bx by bz need 6");
      }
      columns_ = names.size();
      assign_columns(names, table_.field_of);
      take_units(units);
      if (!columns_known()) return false;
      if (!next_line()) return no_rows();
    }
    const auto newlines = static_cast<std::size_t>(
        std::count(text_.begin() + static_cast<std::ptrdiff_t>(line_offset_), text_.end(), '\n'));
    table_.rows.reserve(std::min(newlines + 1, max_rows_));
    return true;
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
    row.offset = line_offset_;
    float* coordinate[3] = {&row.x, &row.y, &row.z};
    for (int a = 0; a < 3; ++a) {
      const Field& f = fields_[static_cast<std::size_t>(table_.field_of[a])];
      if (options_.scale == 1.0 && factor_[a] == 1.0) {
        if (!parse_float(f.text, *coordinate[a])) return not_a_number(f);
      } else {
        double d = 0;
        if (!parse_double(f.text, d)) return not_a_number(f);
        if (factor_[a] != 1.0) d *= factor_[a];
        *coordinate[a] = to_float(options_.scale == 1.0 ? d : d * options_.scale);
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
          if (factor_[3 + c] != 1.0) row.b[c] = to_float(raw[c] * factor_[3 + c]);
        }
      }
    }
    table_.rows.push_back(row);
    return true;
  }

  bool not_a_number(const Field& f) {
    return fail_at(f, "\"" + std::string(f.text) + "\" is not a number");
  }

  std::string_view text_;
  const ReadOptions& options_;
  Table& table_;
  TableError& error_;
  std::size_t pos_ = 0;
  std::size_t reported_ = 0;
  std::uint64_t line_ = 0;
  std::uint64_t line_offset_ = 0;
  std::uint64_t end_column_ = 1;
  std::vector<Field> fields_;
  std::size_t columns_ = 6;
  double factor_[6] = {1, 1, 1, 1, 1, 1};
  std::size_t max_rows_ = 0;
  std::string rows_are_;
};

}  // namespace

bool read_table(std::string_view text, const ReadOptions& options, Table& table,
                TableError& error) {
  return Reader(text, options, table, error).read();
}

std::uint64_t field_column(std::string_view text, std::uint64_t offset, int field) {
  if (offset > text.size()) return 1;
  std::string_view line = text.substr(static_cast<std::size_t>(offset));
  line = line.substr(0, line.find('\n'));
  std::vector<Field> fields;
  std::uint64_t end_column = 1;
  split_fields(strip_comment(line), fields, end_column);
  if (field >= 0 && static_cast<std::size_t>(field) < fields.size()) {
    return fields[static_cast<std::size_t>(field)].column;
  }
  return end_column;
}

}  // namespace fieldscan::fieldmap
