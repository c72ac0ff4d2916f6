// Where a map is asked for its field: points along a line, on a grid, at the
// nodes of a map or read from a file, handed out in chunks so that the
// memory used stays the same however many points there are.
//
// Coordinates are single precision (the precision of a point in the field
// evaluation); each is computed in double precision and rounded once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fieldscan/mapfile/grid.h"
#include "fieldscan/textio/text_lines.h"

namespace fieldscan::fieldmap {

struct Point3 {
  float x = 0, y = 0, z = 0;
};

// A point as "(x, y, z)", each coordinate in the shortest text that reads
// back as the same number.
std::string point_text(Point3 p);

// A run of points, one array per coordinate (the batch evaluation's form).
struct PointChunk {
  std::vector<float> x, y, z;
  std::size_t size() const { return x.size(); }
  void clear() {
    x.clear();
    y.clear();
    z.clear();
  }
  void push(float px, float py, float pz) {
    x.push_back(px);
    y.push_back(py);
    z.push_back(pz);
  }
};

class PointSource {
 public:
  virtual ~PointSource() = default;
  // Replaces `chunk` with the next points, at most `max` of them; an empty
  // chunk means the end.  False on an error (then error() tells it).
  virtual bool next(PointChunk& chunk, std::size_t max) = 0;
  // How many points there are in all, or -1 when not known in advance.
  virtual std::int64_t total() const { return -1; }
  // The part of the work done so far, 0 to 1, or -1 when not known.
  virtual double done_fraction() const { return -1.0; }
  const std::string& error() const { return error_; }

 protected:
  std::string error_;
};

// Points evenly spaced along the segment from `a` to `b`.  Point i is
// a + (b - a) * t_i with t_i = (i * numerator) / denominator, in double
// precision; the last point of a count is `b` itself.
class LinePoints : public PointSource {
 public:
  // `count` (>= 2) points from a to b inclusive.
  static LinePoints with_count(Point3 a, Point3 b, std::int64_t count);
  // Points a, a + step, ... while not beyond b; b is the last point when
  // the length is a whole number of steps (within 1e-9 of a step).
  // `step` > 0 and the segment's length > 0; at most `max_count` points,
  // else `count()` is 0.
  static LinePoints with_step(Point3 a, Point3 b, double step, std::int64_t max_count);

  bool next(PointChunk& chunk, std::size_t max) override;
  std::int64_t total() const override { return count_; }
  double done_fraction() const override;

  Point3 point(std::int64_t i) const;
  std::int64_t count() const { return count_; }
  // Distance along the line of point i, from `a`, in double precision.
  double distance(std::int64_t i) const;
  // Length of the segment, in double precision.
  double length() const;
  // The spacing of the points along the line.
  double spacing() const;
  Point3 a() const { return a_; }
  Point3 b() const { return b_; }

 private:
  LinePoints(Point3 a, Point3 b, std::int64_t count, double numerator, double denominator)
      : a_(a), b_(b), count_(count), numerator_(numerator), denominator_(denominator) {}
  double fraction(std::int64_t i) const;

  Point3 a_, b_;
  std::int64_t count_ = 0;
  double numerator_ = 1, denominator_ = 1;
  bool by_step_ = false;  // numerator_ is the step, denominator_ the length
  std::int64_t next_ = 0;
};

// Why a line by step cannot be made.
enum class LineProblem { kNone, kZeroLength, kTooMany };

// The points of a line by step as every query samples it: a, a + step, ...
// while not beyond b (LinePoints::with_step), at most `limit` of them.
// `step` > 0.  Anything but kNone leaves `line` unset.
LineProblem sampled_line(Point3 a, Point3 b, double step, std::int64_t limit,
                         std::optional<LinePoints>& line);

// One axis of a grid: `count` values origin + (span * i) / denominator.
struct GridAxis {
  double origin = 0, span = 0, denominator = 1;
  std::int64_t count = 1;
  float value(std::int64_t i) const;
  // count points from a to b inclusive (count >= 2), or the single value a.
  static GridAxis from_to(double a, double b, std::int64_t count);
  static GridAxis single(double value) { return GridAxis{value, 0, 1, 1}; }
  // The node positions of one axis of a map: min + i * step.
  static GridAxis nodes(float min, float step, std::int32_t count);
};

// Every point of a box of axes, x fastest, then y, then z.  A grid whose
// point count does not fit 63 bits has total() == -1 and no points.
class GridPoints : public PointSource {
 public:
  GridPoints(GridAxis x, GridAxis y, GridAxis z);
  // The nodes of a map grid, in the order of its node values.
  static GridPoints nodes_of(const GridSize& grid);

  bool next(PointChunk& chunk, std::size_t max) override;
  std::int64_t total() const override { return total_; }
  double done_fraction() const override;
  const GridAxis& axis(int a) const { return axes_[a]; }

 private:
  GridAxis axes_[3];
  std::int64_t total_ = 0;
  std::int64_t next_ = 0;
};

// Points read from a text stream: one point per line, "x y z" separated by
// blanks, tabs or commas; '#' starts a comment; blank lines are skipped.
// Lines are cut as text_lines.h says; a line longer than 64 KiB is refused
// unless the excess is comment.  An error names the stream and the line:
// "NAME:LINE: ...".
class FilePoints : public PointSource {
 public:
  // `file` is read from its current position and not closed; `size` is
  // its length in bytes when known (for done_fraction), else -1.
  FilePoints(std::FILE* file, std::string name, std::int64_t size = -1);

  bool next(PointChunk& chunk, std::size_t max) override;
  double done_fraction() const override;

 private:
  bool take_line(std::string_view line, PointChunk& chunk);

  StdioSource source_;
  LineReader lines_;
  std::string name_;
  std::int64_t size_;
  std::vector<float> numbers_;
};

// A coordinate as every query takes it: `v` rounded once to single
// precision into `out`.  False when that is not a finite number (NaN, an
// infinity, or a magnitude beyond the single-precision range).
bool single_coordinate(double v, float& out);

// Parses "X0,Y0,Z0:X1,Y1,Z1".  False with a reason in `why` otherwise.
bool parse_line_ends(std::string_view text, Point3& a, Point3& b, std::string& why);
// Parses "A:B:N" (N >= 1 points from A to B; N = 1 gives A) or "E".
bool parse_axis(std::string_view text, GridAxis& axis, std::string& why);
// Parses "x,y,z" (or blanks between) into a point.
bool parse_point(std::string_view text, Point3& p);

}  // namespace fieldscan::fieldmap
