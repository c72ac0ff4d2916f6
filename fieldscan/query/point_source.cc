#include "fieldscan/query/point_source.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

// A line longer than this (comments apart) is refused.
constexpr std::size_t kMaxLine = std::size_t{1} << 16;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits `text` into numbers separated by blanks, or by one comma with
// blanks around it.  False on an empty field ("1,,2", a leading or trailing
// comma) or a token that is not a number; `bad` is then that token.
bool split_numbers(std::string_view text, std::vector<float>& numbers, std::string& bad) {
  numbers.clear();
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (true) {
    while (i < n && is_blank(text[i])) ++i;
    if (i == n) return true;
    if (text[i] == ',') {
      if (numbers.empty()) {
        bad = ",";
        return false;
      }
      ++i;
      while (i < n && is_blank(text[i])) ++i;
      if (i == n || text[i] == ',') {
        bad = ",";
        return false;
      }
    }
    const std::size_t first = i;
    while (i < n && !is_blank(text[i]) && text[i] != ',') ++i;
    float v = 0;
    if (!parse_float(text.substr(first, i - first), v)) {
      bad = std::string(text.substr(first, i - first));
      return false;
    }
    numbers.push_back(v);
  }
}

bool parse_finite(std::string_view token, float& v, std::string& why) {
  token = trim(token);
  float parsed = 0;
  if (!parse_float(token, parsed) || !single_coordinate(parsed, v)) {
    why = "\"" + std::string(token) + "\" is not a finite number";
    return false;
  }
  return true;
}

}  // namespace

bool single_coordinate(double v, float& out) {
  const float stored = to_single(v);
  if (!std::isfinite(stored)) return false;
  out = stored;
  return true;
}

std::string point_text(Point3 p) {
  return "(" + float_text(p.x) + ", " + float_text(p.y) + ", " + float_text(p.z) + ")";
}

// ---------------------------------------------------------------------------
// LinePoints

LinePoints LinePoints::with_count(Point3 a, Point3 b, std::int64_t count) {
  return LinePoints(a, b, count, 1.0, static_cast<double>(count - 1));
}

LinePoints LinePoints::with_step(Point3 a, Point3 b, double step, std::int64_t max_count) {
  LinePoints line(a, b, 0, step, 1.0);
  const double length = line.length();
  line.denominator_ = length;
  line.by_step_ = true;
  const double steps = length / step;
  if (!(steps < static_cast<double>(max_count - 1) + 1.0)) return line;  // also NaN
  auto whole = static_cast<std::int64_t>(std::floor(steps));
  // A length a hair short of a whole number of steps still ends at b.
  if (steps - static_cast<double>(whole) > 1.0 - 1e-9) ++whole;
  line.count_ = std::min(whole + 1, max_count);
  return line;
}

LineProblem sampled_line(Point3 a, Point3 b, double step, std::int64_t limit,
                         std::optional<LinePoints>& line) {
  line.reset();
  LinePoints stepped = LinePoints::with_step(a, b, step, limit);
  if (!(stepped.length() > 0)) return LineProblem::kZeroLength;
  if (stepped.count() == 0) return LineProblem::kTooMany;
  line.emplace(stepped);
  return LineProblem::kNone;
}

double LinePoints::length() const {
  const double dx = static_cast<double>(b_.x) - a_.x;
  const double dy = static_cast<double>(b_.y) - a_.y;
  const double dz = static_cast<double>(b_.z) - a_.z;
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double LinePoints::fraction(std::int64_t i) const {
  if (i == 0) return 0.0;  // the start itself, even on a line of no length
  return (static_cast<double>(i) * numerator_) / denominator_;
}

double LinePoints::distance(std::int64_t i) const {
  return by_step_ ? static_cast<double>(i) * numerator_ : fraction(i) * length();
}

double LinePoints::spacing() const { return by_step_ ? numerator_ : length() / denominator_; }

Point3 LinePoints::point(std::int64_t i) const {
  const double t = fraction(i);
  if (t >= 1.0) return b_;  // the end itself, not a rounding past it
  auto at = [t](float p, float q) {
    return to_single(static_cast<double>(p) + (static_cast<double>(q) - p) * t);
  };
  return Point3{at(a_.x, b_.x), at(a_.y, b_.y), at(a_.z, b_.z)};
}

bool LinePoints::next(PointChunk& chunk, std::size_t max) {
  chunk.clear();
  while (next_ < count_ && chunk.size() < max) {
    const Point3 p = point(next_++);
    chunk.push(p.x, p.y, p.z);
  }
  return true;
}

double LinePoints::done_fraction() const {
  return count_ > 0 ? static_cast<double>(next_) / static_cast<double>(count_) : 1.0;
}

// ---------------------------------------------------------------------------
// GridPoints

float GridAxis::value(std::int64_t i) const {
  if (count == 1 || i == 0) return to_single(origin);
  return to_single(origin + (span * static_cast<double>(i)) / denominator);
}

GridAxis GridAxis::from_to(double a, double b, std::int64_t count) {
  if (count < 2) return single(a);
  return GridAxis{a, b - a, static_cast<double>(count - 1), count};
}

GridAxis GridAxis::nodes(float min, float step, std::int32_t count) {
  return GridAxis{min, step, 1.0, std::max<std::int64_t>(count, 0)};
}

GridPoints::GridPoints(GridAxis x, GridAxis y, GridAxis z) : axes_{x, y, z} {
  std::int64_t total = 1;
  for (const GridAxis& a : axes_) {
    if (a.count <= 0) {
      total = 0;
      break;
    }
    if (total > std::numeric_limits<std::int64_t>::max() / a.count) {
      total = -1;
      break;
    }
    total *= a.count;
  }
  total_ = total;
}

GridPoints GridPoints::nodes_of(const GridSize& grid) {
  return GridPoints(GridAxis::nodes(grid.XMIN, grid.DX, grid.NX),
                    GridAxis::nodes(grid.YMIN, grid.DY, grid.NY),
                    GridAxis::nodes(grid.ZMIN, grid.DZ, grid.NZ));
}

bool GridPoints::next(PointChunk& chunk, std::size_t max) {
  chunk.clear();
  if (total_ <= 0 || next_ >= total_) return true;
  const std::int64_t nx = axes_[0].count, ny = axes_[1].count;
  std::int64_t i = next_ % nx;
  std::int64_t j = (next_ / nx) % ny;
  std::int64_t k = next_ / nx / ny;
  float y = axes_[1].value(j), z = axes_[2].value(k);
  while (next_ < total_ && chunk.size() < max) {
    chunk.push(axes_[0].value(i), y, z);
    ++next_;
    if (++i == nx) {
      i = 0;
      if (++j == ny) {
        j = 0;
        z = axes_[2].value(++k);
      }
      y = axes_[1].value(j);
    }
  }
  return true;
}

double GridPoints::done_fraction() const {
  return total_ > 0 ? static_cast<double>(next_) / static_cast<double>(total_) : 1.0;
}

// ---------------------------------------------------------------------------
// FilePoints

FilePoints::FilePoints(std::FILE* file, std::string name, std::int64_t size)
    : source_(file), lines_(source_, kMaxLine), name_(std::move(name)), size_(size) {
  lines_.cut_long_comments();
}

double FilePoints::done_fraction() const {
  if (size_ <= 0) return -1.0;
  return std::min(1.0, static_cast<double>(lines_.consumed()) / static_cast<double>(size_));
}

bool FilePoints::take_line(std::string_view line, PointChunk& chunk) {
  const auto hash = line.find('#');
  if (hash != std::string_view::npos) line = line.substr(0, hash);
  std::vector<float>& numbers = numbers_;
  std::string bad;
  if (!split_numbers(line, numbers, bad)) {
    error_ =
        name_ + ":" + std::to_string(lines_.line_number()) + ": \"" + bad + "\" is not a number";
    return false;
  }
  if (numbers.empty()) return true;
  if (numbers.size() != 3) {
    error_ = name_ + ":" + std::to_string(lines_.line_number()) +
             ": expected three numbers x y z, found " + std::to_string(numbers.size());
    return false;
  }
  chunk.push(numbers[0], numbers[1], numbers[2]);
  return true;
}

bool FilePoints::next(PointChunk& chunk, std::size_t max) {
  chunk.clear();
  std::string_view line;
  while (chunk.size() < max) {
    if (lines_.next(line)) {
      if (!take_line(line, chunk)) return false;
      continue;
    }
    switch (lines_.stop()) {
      case LineReader::Stop::too_long:
        error_ = name_ + ":" + std::to_string(lines_.line_number() + 1) +
                 ": the line is longer than " + std::to_string(kMaxLine) + " characters";
        return false;
      case LineReader::Stop::read_error:
      case LineReader::Stop::utf16:
        error_ = name_ + ": " + lines_.failure();
        return false;
      default:
        return true;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Parsing of the command-line forms

bool parse_point(std::string_view text, Point3& p) {
  std::string why;
  float v[3];
  std::size_t start = 0;
  for (int c = 0; c < 3; ++c) {
    const std::size_t comma = c < 2 ? text.find(',', start) : text.size();
    if (comma == std::string_view::npos) return false;
    if (!parse_finite(text.substr(start, comma - start), v[c], why)) return false;
    start = comma + 1;
  }
  p = Point3{v[0], v[1], v[2]};
  return true;
}

bool parse_line_ends(std::string_view text, Point3& a, Point3& b, std::string& why) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) {
    why = "\"" + std::string(text) + "\" has one end; a line is X0,Y0,Z0:X1,Y1,Z1";
    return false;
  }
  if (!parse_point(text.substr(0, colon), a) || !parse_point(text.substr(colon + 1), b)) {
    why = "\"" + std::string(text) + "\" is not X0,Y0,Z0:X1,Y1,Z1 (six finite numbers)";
    return false;
  }
  return true;
}

bool parse_axis(std::string_view text, GridAxis& axis, std::string& why) {
  const auto first = text.find(':');
  if (first == std::string_view::npos) {
    float e = 0;
    if (!parse_finite(text, e, why)) return false;
    axis = GridAxis::single(e);
    return true;
  }
  const auto second = text.find(':', first + 1);
  float a = 0, b = 0;
  std::int64_t n = 0;
  if (second == std::string_view::npos || !parse_finite(text.substr(0, first), a, why) ||
      !parse_finite(text.substr(first + 1, second - first - 1), b, why) ||
      !parse_int64(trim(text.substr(second + 1)), n)) {
    why = "\"" + std::string(text) + "\" is not A:B:N or a single value";
    return false;
  }
  if (n < 1) {
    why = "\"" + std::string(text) + "\" has no points (N must be 1 or more)";
    return false;
  }
  axis = GridAxis::from_to(a, b, n);
  return true;
}

}  // namespace fieldscan::fieldmap
