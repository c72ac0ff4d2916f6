#include "fieldscan/formats/map_header.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

constexpr std::string_view kPrefix = "#map";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

// One value of a header line: its text (quotes and escapes resolved for a
// quoted text) and its 1-based column.
struct Value {
  std::string text;
  bool quoted = false;
  std::uint64_t column = 0;
};

// Splits the part of the line after the prefix into values.  False, with
// column and message, for a quoted text that does not end or holds a bad
// escape.
bool split_values(std::string_view line, std::vector<Value>& out, std::uint64_t& column,
                  std::string& message) {
  std::size_t p = kPrefix.size();
  const std::size_t n = line.size();
  for (;;) {
    while (p < n && is_blank(line[p])) ++p;
    if (p == n || line[p] == '#') return true;  // the end, or a comment after the values
    Value v;
    v.column = p + 1;
    if (line[p] != '"') {
      while (p < n && !is_blank(line[p])) v.text.push_back(line[p++]);
      out.push_back(std::move(v));
      continue;
    }
    v.quoted = true;
    ++p;
    for (;;) {
      if (p == n) {
        column = v.column;
        message = "the quoted text has no closing quote";
        return false;
      }
      const char c = line[p];
      if (c == '"') {
        ++p;
        break;
      }
      if (c != '\\') {
        v.text.push_back(c);
        ++p;
        continue;
      }
      const auto hex = [](char h) {
        return h >= '0' && h <= '9'   ? h - '0'
               : h >= 'a' && h <= 'f' ? h - 'a' + 10
               : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                      : -1;
      };
      if (p + 1 < n && (line[p + 1] == '"' || line[p + 1] == '\\')) {
        v.text.push_back(line[p + 1]);
        p += 2;
      } else if (p + 3 < n && line[p + 1] == 'x' && hex(line[p + 2]) >= 0 &&
                 hex(line[p + 3]) >= 0) {
        v.text.push_back(static_cast<char>(hex(line[p + 2]) * 16 + hex(line[p + 3])));
        p += 4;
      } else {
        column = p + 1;
        message = "a backslash in a quoted text must be followed by \", \\ or xHH";
        return false;
      }
    }
    if (p < n && !is_blank(line[p])) {
      column = p + 1;
      message = "a blank must follow the closing quote";
      return false;
    }
    out.push_back(std::move(v));
  }
}

void append_quoted(std::string& out, const std::string& stored) {
  const auto last = stored.find_last_not_of(' ');
  const std::string_view text =
      last == std::string::npos ? std::string_view() : std::string_view(stored).substr(0, last + 1);
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7f) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02X", u);
      out += buffer;
    } else {
      out += c;
    }
  }
  out += '"';
}

// The items of one #map line after its keyword, with the column and
// message of the first problem.
class HeaderLineItems {
 public:
  HeaderLineItems(std::string_view line, const std::vector<Value>& values, std::uint64_t& column,
                  std::string& message)
      : line_(line), values_(values), key_(values[0].text), column_(column), message_(message) {}

  bool read(std::uint64_t line_number, MapHeader& header) {
    if (key_ == "title" || key_ == "date") return read_text(header);
    if (key_ == "axes") return read_axes(header);
    if (key_ == "angle") return read_angle(header);
    if (key_ == "origin" || key_ == "steps") return read_xyz(line_number, header);
    if (key_ == "integers") return read_integers(header);
    return bad(0, "unknown keyword (title, date, axes, angle, origin, steps or integers)");
  }

 private:
  bool bad(std::size_t at, std::string why) {
    column_ = at < values_.size() ? values_[at].column : line_.size() + 1;
    message_ = "#map " + key_ + ": " + std::move(why);
    return false;
  }
  bool want(std::size_t count, const char* what) {
    if (values_.size() == count + 1) return true;
    bad(values_.size() > count + 1 ? count + 1 : values_.size(),
        "needs " + std::string(what) + ", not " + std::to_string(values_.size() - 1) + " value" +
            (values_.size() == 2 ? "" : "s"));
    return false;
  }
  bool text(std::size_t at, std::size_t limit, std::string& out) {
    if (!values_[at].quoted) return bad(at, "a text must be in double quotes");
    if (values_[at].text.size() > limit) {
      return bad(at, "longer than the " + std::to_string(limit) + " bytes of the field");
    }
    out = values_[at].text;
    return true;
  }
  bool real(std::size_t at, float& out) {
    if (values_[at].quoted || !parse_float(values_[at].text, out)) {
      return bad(at, "\"" + values_[at].text + "\" is not a number");
    }
    if (header_number_problem(out, false) != HeaderNumberProblem::kNone) {
      return bad(at, "\"" + values_[at].text + "\" is not finite");
    }
    return true;
  }
  bool twice(bool given) {
    if (given) bad(0, "given twice");
    return given;
  }

  bool read_text(MapHeader& header) {
    auto& item = key_ == "title" ? header.title : header.date;
    std::string value;
    if (twice(item.has_value()) || !want(1, "one quoted text") ||
        !text(1, key_ == "title" ? 80 : 18, value)) {
      return false;
    }
    item = value;
    return true;
  }
  bool read_axes(MapHeader& header) {
    std::array<std::string, 3> axes;
    if (twice(header.axes.has_value()) || !want(3, "three quoted texts")) return false;
    for (std::size_t a = 0; a < 3; ++a) {
      if (!text(a + 1, 8, axes[a])) return false;
    }
    header.axes = axes;
    return true;
  }
  bool read_angle(MapHeader& header) {
    float angle = 0;
    if (twice(header.angle.has_value()) || !want(1, "one number of degrees") || !real(1, angle)) {
      return false;
    }
    header.angle = angle;
    return true;
  }
  bool read_xyz(std::uint64_t line_number, MapHeader& header) {
    const bool origin = key_ == "origin";
    auto& item = origin ? header.origin : header.steps;
    std::array<float, 3> xyz{};
    if (twice(item.has_value()) || !want(3, "three numbers")) return false;
    for (std::size_t a = 0; a < 3; ++a) {
      if (!real(a + 1, xyz[a])) return false;
      if (!origin && header_number_problem(xyz[a], true) != HeaderNumberProblem::kNone) {
        return bad(a + 1, "a step must be positive");
      }
    }
    item = xyz;
    (origin ? header.origin_line : header.steps_line) = line_number;
    return true;
  }
  bool read_integers(MapHeader& header) {
    std::array<std::int32_t, 9> integers{};
    if (twice(header.integers.has_value()) || !want(9, "nine integers")) return false;
    for (std::size_t i = 0; i < 9; ++i) {
      std::int64_t v = 0;
      if (values_[i + 1].quoted || !parse_int64(values_[i + 1].text, v) || v < INT32_MIN ||
          v > INT32_MAX) {
        return bad(i + 1, "\"" + values_[i + 1].text + "\" is not a 32-bit integer");
      }
      integers[i] = static_cast<std::int32_t>(v);
    }
    header.integers = integers;
    return true;
  }

  std::string_view line_;
  const std::vector<Value>& values_;
  const std::string key_;
  std::uint64_t& column_;
  std::string& message_;
};

}  // namespace

bool is_header_line(std::string_view line) {
  return line.substr(0, kPrefix.size()) == kPrefix &&
         (line.size() == kPrefix.size() || is_blank(line[kPrefix.size()]));
}

bool parse_header_line(std::string_view line, std::uint64_t line_number, MapHeader& header,
                       std::uint64_t& column, std::string& message) {
  std::vector<Value> values;
  if (!split_values(line, values, column, message)) return false;
  if (values.empty() || values[0].quoted) {
    column = values.empty() ? line.size() + 1 : values[0].column;
    message = "a #map line needs a keyword: title, date, axes, angle, origin, steps or integers";
    return false;
  }
  return HeaderLineItems(line, values, column, message).read(line_number, header);
}

std::string format_header_lines(const MapContents& c) {
  std::string out;
  const auto numbers = [&out](std::initializer_list<float> values) {
    for (const float v : values) {
      out += ' ';
      append_float(out, v);
    }
    out += '\n';
  };
  out += "#map title ";
  append_quoted(out, c.title);
  out += "\n#map date ";
  append_quoted(out, c.date);
  out += "\n#map axes ";
  append_quoted(out, c.axa);
  out += ' ';
  append_quoted(out, c.axb);
  out += ' ';
  append_quoted(out, c.axc);
  out += "\n#map angle";
  numbers({c.angle});
  out += "#map origin";
  numbers({c.xmin, c.ymin, c.zmin});
  out += "#map steps";
  numbers({c.dx, c.dy, c.dz});
  out += "#map integers";
  for (const std::int32_t v : {c.isa, c.isb, c.isc, c.ima, c.imb, c.imc, c.ida, c.idb, c.idc}) {
    out += ' ' + std::to_string(v);
  }
  out += '\n';
  return out;
}

void apply_header(const MapHeader& header, MapContents& contents) {
  if (header.title) contents.title = *header.title;
  if (header.date) contents.date = *header.date;
  if (header.axes) {
    contents.axa = (*header.axes)[0];
    contents.axb = (*header.axes)[1];
    contents.axc = (*header.axes)[2];
  }
  if (header.angle) contents.angle = *header.angle;
  if (header.integers) {
    const auto& i = *header.integers;
    contents.isa = i[0];
    contents.isb = i[1];
    contents.isc = i[2];
    contents.ima = i[3];
    contents.imb = i[4];
    contents.imc = i[5];
    contents.ida = i[6];
    contents.idb = i[7];
    contents.idc = i[8];
  }
}

void apply_table_header(std::string_view path, const MapHeader& header, MapContents& contents) {
  const std::size_t slash = path.find_last_of('/');
  if (!header.title) contents.title = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
  if (!header.date) contents.date = today();
  apply_header(header, contents);
}

}  // namespace fieldscan::fieldmap
