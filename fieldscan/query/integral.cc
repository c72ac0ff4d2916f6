#include "fieldscan/query/integral.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/query/sample.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

std::string text(double v) { return float_text(to_single(v)); }
std::string text(Point3 p) { return point_text(p); }

constexpr std::size_t kChunk = std::size_t{1} << 16;

const char* const kComponent[3] = {"bx", "by", "bz"};

}  // namespace

std::string rule_description(IntegrationRule rule) {
  if (rule == IntegrationRule::kTrapezoid) return "composite trapezoid";
  return "composite Simpson (1/3 rule; 3/8 rule on the last three intervals when their number "
         "is odd)";
}

double default_step(const GridSize& grid) {
  double step = 0;
  for (const float d : {grid.DX, grid.DY, grid.DZ}) {
    if (d > 0 && std::isfinite(d) && (step == 0 || d < step)) step = d;
  }
  return step > 0 ? step / 4.0 : 1.0;
}

std::int64_t stepped_count(double length, double step, std::int64_t limit) {
  const double intervals = std::ceil(length / step - 1e-9);
  if (!(intervals < static_cast<double>(limit))) return -1;
  return std::max<std::int64_t>(2, static_cast<std::int64_t>(intervals) + 1);
}

LineProblem integral_line(Point3 a, Point3 b, double step, const GridSize& grid, std::int64_t limit,
                          std::optional<LinePoints>& line) {
  line.reset();
  if (step == 0) step = default_step(grid);
  const LineProblem problem = sampled_line(a, b, step, limit, line);
  if (problem != LineProblem::kNone) return problem;
  const std::int64_t count = stepped_count(line->length(), step, limit);
  line.reset();
  if (count < 0) return LineProblem::kTooMany;
  line.emplace(LinePoints::with_count(a, b, count));
  return LineProblem::kNone;
}

void LineIntegrator::add(const double v[3]) {
  for (int p = 0; p < 3; ++p) {
    for (int c = 0; c < 3; ++c) last_[p][c] = last_[p + 1][c];
  }
  for (int c = 0; c < 3; ++c) last_[3][c] = v[c];
  ++count_;
  if (count_ < 2) return;
  if (rule_ == IntegrationRule::kTrapezoid) {
    for (int c = 0; c < 3; ++c) panels_[c] += h_ / 2.0 * (last_[2][c] + last_[3][c]);
    return;
  }
  if (count_ % 2 == 1) {  // a pair of intervals is complete
    for (int c = 0; c < 3; ++c) {
      last_panel_[c] = h_ / 3.0 * (last_[1][c] + 4.0 * last_[2][c] + last_[3][c]);
      panels_[c] += last_panel_[c];
    }
  }
}

void LineIntegrator::end_stretch() {
  for (int c = 0; c < 3; ++c) {
    double sum = panels_[c];
    if (rule_ == IntegrationRule::kSimpson && count_ % 2 == 0 && count_ >= 2) {
      if (count_ == 2) {
        sum = h_ / 2.0 * (last_[2][c] + last_[3][c]);
      } else {
        // The last pair of panels gives way to the 3/8 rule on the last
        // three intervals.
        sum = panels_[c] - last_panel_[c] +
              3.0 * h_ / 8.0 * (last_[0][c] + 3.0 * last_[1][c] + 3.0 * last_[2][c] + last_[3][c]);
      }
    }
    total_[c] += sum;
    panels_[c] = 0;
    last_panel_[c] = 0;
  }
  count_ = 0;
}

namespace {

// The largest magnitude of each component along the line, its signed value
// and where it is.
struct ComponentPeaks {
  float abs[3] = {-1, -1, -1};
  float value[3] = {0, 0, 0};
  Point3 at[3];

  void add(const FieldVector& b, Point3 p) {
    const float comp[3] = {b.bx, b.by, b.bz};
    for (int c = 0; c < 3; ++c) {
      if (std::fabs(comp[c]) > abs[c]) {
        abs[c] = std::fabs(comp[c]);
        value[c] = comp[c];
        at[c] = p;
      }
    }
  }
};

// Takes the field `b` evaluated at `p`: the integral, the peak field and
// the components' peaks.
void add_evaluated(const FieldVector& b, Point3 p, LineIntegrator& integrator,
                   ComponentPeaks& peaks, IntegralResult& r) {
  const double v[3] = {b.bx, b.by, b.bz};
  integrator.add(v);
  const float m = magnitude(b);
  if (!r.any_evaluated || m > r.peak) {
    r.peak = m;
    r.peak_at = p;
  }
  r.any_evaluated = true;
  peaks.add(b, p);
}

// The integrals, the main component (`main`, or the one of the largest
// peak when it names none) and the effective length.
void finish_integral(const LineIntegrator& integrator, const ComponentPeaks& peaks, int main,
                     IntegralResult& r) {
  for (int c = 0; c < 3; ++c) r.integral[c] = to_single(integrator.integral()[c]);
  if (main < 0 || main > 2) {
    main = 0;
    for (int c = 1; c < 3; ++c) {
      if (peaks.abs[c] > peaks.abs[main]) main = c;
    }
  }
  r.main_component = main;
  r.main_peak = peaks.value[main];
  r.main_peak_at = peaks.at[main];
  r.effective_length =
      r.main_peak != 0.0f
          ? to_single(integrator.integral()[main] / static_cast<double>(r.main_peak))
          : std::numeric_limits<float>::quiet_NaN();
}

}  // namespace

IntegralResult integrate_line(const FieldMap& map, LinePoints line,
                              const IntegralOptions& options) {
  IntegralResult r;
  r.points = line.count();
  r.spacing = line.spacing();
  r.length = r.points > 0 ? line.distance(r.points - 1) : 0.0;
  LineIntegrator integrator(options.rule, r.spacing);
  PointChunk chunk;
  FieldSamples fields;
  std::int64_t index = 0;
  bool previous_ok = true;
  ComponentPeaks peaks;
  while (line.next(chunk, kChunk) && chunk.size() > 0) {
    evaluate(map, chunk, fields, options.threads, options.method);
    for (std::size_t n = 0; n < chunk.size(); ++n, ++index) {
      const Point3 p{chunk.x[n], chunk.y[n], chunk.z[n]};
      if (fields.status[n] != FieldStatus::kOk) {
        if (!options.skip_unevaluable) {
          r.stopped = true;
          r.bad_index = index;
          r.bad_point = p;
          r.bad_status = fields.status[n];
          return r;
        }
        ++r.skipped;
        if (index > 0) r.skipped_length += r.spacing;
        integrator.end_stretch();
        previous_ok = false;
        continue;
      }
      if (!previous_ok) r.skipped_length += r.spacing;
      previous_ok = true;
      add_evaluated(fields.b[n], p, integrator, peaks, r);
    }
  }
  integrator.end_stretch();
  finish_integral(integrator, peaks, options.main_component, r);
  return r;
}

std::string format_integral(const IntegralResult& r, Point3 a, Point3 b, IntegrationRule rule) {
  std::string out;
  out += "Line:             " + text(a) + " to " + text(b) + "\n";
  out += "Points:           " + std::to_string(r.points) + ", spacing " + text(r.spacing) +
         ", length " + text(r.length) + "\n";
  out += "Rule:             " + rule_description(rule) + "\n";
  if (r.skipped > 0) {
    out += "Skipped:          " + std::to_string(r.skipped) + " unevaluable point" +
           (r.skipped == 1 ? "" : "s") + ", " + text(r.skipped_length) +
           " of the length left out\n";
  }
  out += "Integral:         bx " + text(r.integral[0]) + "  by " + text(r.integral[1]) + "  bz " +
         text(r.integral[2]) + "  (field x length)\n";
  if (!r.any_evaluated) {
    out += "Peak |B|:         none (no point evaluated)\n";
    return out;
  }
  out += "Peak |B|:         " + text(r.peak) + " at " + text(r.peak_at) + "\n";
  out += std::string("Main component:   ") + kComponent[r.main_component] + ", peak " +
         text(r.main_peak) + " at " + text(r.main_peak_at) + "\n";
  out += "Effective length: ";
  out += std::isnan(r.effective_length) ? std::string("undefined (the main component is 0)")
                                        : text(r.effective_length);
  out += "\n";
  return out;
}

}  // namespace fieldscan::fieldmap
