#include "fieldscan/formats/map_header.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "fieldscan/mapfile/map_format.h"
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
  const std::string key = values[0].text;
  const auto bad = [&](std::size_t at, std::string why) {
    column = at < values.size() ? values[at].column : line.size() + 1;
    message = "#map " + key + ": " + std::move(why);
    return false;
  };
  const auto want = [&](std::size_t count, const char* what) {
    if (values.size() == count + 1) return true;
    bad(values.size() > count + 1 ? count + 1 : values.size(),
        "needs " + std::string(what) + ", not " + std::to_string(values.size() - 1) + " value" +
            (values.size() == 2 ? "" : "s"));
    return false;
  };
  const auto text = [&](std::size_t at, std::size_t limit, std::string& out) {
    if (!values[at].quoted) return bad(at, "a text must be in double quotes");
    if (values[at].text.size() > limit) {
      return bad(at, "longer than the " + std::to_string(limit) + " bytes of the field");
    }
    out = values[at].text;
    return true;
  };
  const auto real = [&](std::size_t at, float& out) {
    if (values[at].quoted || !parse_float(values[at].text, out)) {
      return bad(at, "\"" + values[at].text + "\" is not a number");
    }
    if (header_number_problem(out, false) != HeaderNumberProblem::kNone) {
      return bad(at, "\"" + values[at].text + "\" is not finite");
    }
    return true;
  };
  const auto twice = [&](bool given) {
    if (given) bad(0, "given twice");
    return given;
  };

  if (key == "title" || key == "date") {
    auto& item = key == "title" ? header.title : header.date;
    std::string value;
    if (twice(item.has_value()) || !want(1, "one quoted text") ||
        !text(1, key == "title" ? 80 : 18, value)) {
      return false;
    }
    item = value;
  } else if (key == "axes") {
    std::array<std::string, 3> axes;
    if (twice(header.axes.has_value()) || !want(3, "three quoted texts")) return false;
    for (std::size_t a = 0; a < 3; ++a) {
      if (!text(a + 1, 8, axes[a])) return false;
    }
    header.axes = axes;
  } else if (key == "angle") {
    float angle = 0;
    if (twice(header.angle.has_value()) || !want(1, "one number of degrees") || !real(1, angle)) {
      return false;
    }
    header.angle = angle;
  } else if (key == "origin" || key == "steps") {
    const bool origin = key == "origin";
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
  } else if (key == "integers") {
    std::array<std::int32_t, 9> integers{};
    if (twice(header.integers.has_value()) || !want(9, "nine integers")) return false;
    for (std::size_t i = 0; i < 9; ++i) {
      std::int64_t v = 0;
      if (values[i + 1].quoted || !parse_int64(values[i + 1].text, v) || v < INT32_MIN ||
          v > INT32_MAX) {
        return bad(i + 1, "\"" + values[i + 1].text + "\" is not a 32-bit integer");
      }
      integers[i] = static_cast<std::int32_t>(v);
    }
    header.integers = integers;
  } else {
    return bad(0, "unknown keyword (title, date, axes, angle, origin, steps or integers)");
  }
  return true;
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

std::string today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  static const char* const months[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d-%s-%04d", local.tm_mday, months[local.tm_mon % 12],
                local.tm_year + 1900);
  return buffer;
}

void apply_table_header(std::string_view path, const MapHeader& header, MapContents& contents) {
  const std::size_t slash = path.find_last_of('/');
  if (!header.title) contents.title = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
  if (!header.date) contents.date = today();
  apply_header(header, contents);
}

}  // namespace fieldscan::fieldmap
