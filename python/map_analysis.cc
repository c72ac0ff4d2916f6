#include "python/map_analysis.h"

#include <cmath>
#include <limits>

#include "mapfile/map_format.h"

namespace fieldscan {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

void resize(Samples& s, std::size_t n) {
  s.x.resize(n);
  s.y.resize(n);
  s.z.resize(n);
}

void put(Samples& s, std::size_t n, const Point& p) {
  s.x[n] = to_single(p[0]);
  s.y[n] = to_single(p[1]);
  s.z[n] = to_single(p[2]);
}

double axis_value(const Axis& a, std::int64_t k) {
  if (a.count <= 1) return a.first;
  return a.first + (a.last - a.first) * static_cast<double>(k) / static_cast<double>(a.count - 1);
}

double length_of(const Point& start, const Point& end) {
  const double dx = end[0] - start[0], dy = end[1] - start[1], dz = end[2] - start[2];
  return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Composite Simpson's rule (even number of intervals) or the trapezoidal rule
// over f[first..last], `h` apart.
double integrate_run(const std::vector<FieldVector>& b, int c, std::size_t first, std::size_t last,
                     double h, bool simpson) {
  auto f = [&](std::size_t n) {
    const FieldVector& v = b[n];
    return static_cast<double>(c == 0 ? v.bx : c == 1 ? v.by : v.bz);
  };
  double sum = f(first) + f(last);
  if (simpson) {
    for (std::size_t n = first + 1; n < last; ++n) sum += ((n - first) % 2 ? 4.0 : 2.0) * f(n);
    return sum * h / 3.0;
  }
  sum *= 0.5;
  for (std::size_t n = first + 1; n < last; ++n) sum += f(n);
  return sum * h;
}

float component(const FieldVector& v, int c) { return c == 0 ? v.bx : c == 1 ? v.by : v.bz; }

}  // namespace

void evaluate(const FieldMap& map, Samples& s, unsigned threads) {
  const std::size_t n = s.size();
  s.b.assign(n, FieldVector{kNaN, kNaN, kNaN});
  s.status.assign(n, FieldStatus::kOk);
  map.field(s.x, s.y, s.z, s.b, s.status, threads);
}

Samples line_by_count(const Point& start, const Point& end, std::int64_t count) {
  Samples s;
  resize(s, static_cast<std::size_t>(count));
  for (std::int64_t k = 0; k < count; ++k) {
    const double t = static_cast<double>(k) / static_cast<double>(count - 1);
    put(s, static_cast<std::size_t>(k),
        {start[0] + (end[0] - start[0]) * t, start[1] + (end[1] - start[1]) * t,
         start[2] + (end[2] - start[2]) * t});
  }
  return s;
}

std::int64_t line_step_count(const Point& start, const Point& end, double step) {
  const double steps = length_of(start, end) / step;
  return static_cast<std::int64_t>(std::floor(steps * (1 + 1e-9))) + 1;
}

Samples line_by_step(const Point& start, const Point& end, double step) {
  const double length = length_of(start, end);
  const std::int64_t count = line_step_count(start, end, step);
  Samples s;
  resize(s, static_cast<std::size_t>(count));
  for (std::int64_t k = 0; k < count; ++k) {
    const double t = length > 0 ? static_cast<double>(k) * step / length : 0.0;
    put(s, static_cast<std::size_t>(k),
        {start[0] + (end[0] - start[0]) * t, start[1] + (end[1] - start[1]) * t,
         start[2] + (end[2] - start[2]) * t});
  }
  return s;
}

Samples grid_points(const Axis& x, const Axis& y, const Axis& z) {
  Samples s;
  resize(s, static_cast<std::size_t>(x.count * y.count * z.count));
  std::size_t n = 0;
  for (std::int64_t k = 0; k < z.count; ++k) {
    for (std::int64_t j = 0; j < y.count; ++j) {
      for (std::int64_t i = 0; i < x.count; ++i) {
        put(s, n++, {axis_value(x, i), axis_value(y, j), axis_value(z, k)});
      }
    }
  }
  return s;
}

Samples node_points(const FieldMap& map) {
  const MapContents& c = map.contents();
  auto axis = [](float min, float step, std::int32_t count) {
    return Axis{min, min + static_cast<double>(step) * (count - 1), count > 0 ? count : 0};
  };
  return grid_points(axis(c.xmin, c.dx, c.nx), axis(c.ymin, c.dy, c.ny), axis(c.zmin, c.dz, c.nz));
}

LineIntegral integrate(const Samples& s, double spacing) {
  LineIntegral r;
  const std::size_t n = s.size();
  bool any_simpson = false, any_trapezoid = false;
  std::size_t covered = 0;  // intervals integrated
  std::size_t first = 0;
  while (first < n) {
    if (s.status[first] != FieldStatus::kOk) {
      ++first;
      continue;
    }
    std::size_t last = first;
    while (last + 1 < n && s.status[last + 1] == FieldStatus::kOk) ++last;
    const std::size_t intervals = last - first;
    if (intervals > 0) {
      const bool simpson = intervals % 2 == 0;
      (simpson ? any_simpson : any_trapezoid) = true;
      for (int c = 0; c < 3; ++c)
        r.integral[c] += integrate_run(s.b, c, first, last, spacing, simpson);
      covered += intervals;
    }
    for (std::size_t k = first; k <= last; ++k) {
      const FieldVector& v = s.b[k];
      const double bx = v.bx, by = v.by, bz = v.bz;
      const double magnitude = std::sqrt(bx * bx + by * by + bz * bz);
      if (r.evaluated == 0 || magnitude > r.peak) {
        r.peak = magnitude;
        r.peak_at = {s.x[k], s.y[k], s.z[k]};
      }
      ++r.evaluated;
    }
    first = last + 1;
  }
  r.rule = any_simpson && any_trapezoid ? "simpson+trapezoid"
           : any_trapezoid              ? "trapezoid"
                                        : "simpson";
  const std::size_t total = n > 0 ? n - 1 : 0;
  r.skipped_length = static_cast<double>(total - covered) * spacing;

  for (int c = 1; c < 3; ++c) {
    if (std::fabs(r.integral[c]) > std::fabs(r.integral[r.main_component])) r.main_component = c;
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (s.status[k] != FieldStatus::kOk) continue;
    const double value = component(s.b[k], r.main_component);
    if (std::fabs(value) > std::fabs(r.main_peak)) r.main_peak = value;
  }
  r.effective_length = r.main_peak != 0 ? r.integral[r.main_component] / r.main_peak
                                        : std::numeric_limits<double>::quiet_NaN();
  return r;
}

MapDifference difference(const Samples& a, const Samples& b) {
  MapDifference d;
  for (auto& at : d.max_at) at = {kNaN, kNaN, kNaN};
  std::array<double, 3> squares{};
  for (std::size_t n = 0; n < a.size(); ++n) {
    const bool in_a = a.status[n] == FieldStatus::kOk, in_b = b.status[n] == FieldStatus::kOk;
    if (in_a != in_b) {
      ++(in_a ? d.only_a : d.only_b);
      continue;
    }
    if (!in_a) continue;
    ++d.compared;
    for (int c = 0; c < 3; ++c) {
      const double delta = static_cast<double>(component(b.b[n], c)) - component(a.b[n], c);
      squares[c] += delta * delta;
      if (std::fabs(delta) > d.max_abs[c] || (d.compared == 1 && std::isnan(d.max_at[c][0]))) {
        d.max_abs[c] = std::fabs(delta);
        d.max_at[c] = {a.x[n], a.y[n], a.z[n]};
      }
    }
  }
  for (int c = 0; c < 3; ++c) {
    d.rms[c] = d.compared > 0 ? std::sqrt(squares[c] / static_cast<double>(d.compared)) : 0.0;
  }
  return d;
}

}  // namespace fieldscan
