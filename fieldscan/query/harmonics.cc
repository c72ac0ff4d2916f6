#include "fieldscan/query/harmonics.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/query/integral.h"
#include "fieldscan/query/sample.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

// Most circles along the axis.
constexpr std::int64_t kMaxSlices = std::int64_t{1} << 32;

const char* const kAxis[3] = {"x", "y", "z"};

// The circle's points at one place along the axis, as (x, y, z).
PointChunk circle(const HarmonicsOptions& o, double w) {
  PointChunk c;
  const int iu = (o.axis + 1) % 3, iv = (o.axis + 2) % 3;
  for (int k = 0; k < o.points; ++k) {
    const double angle = 2.0 * std::numbers::pi * k / o.points;
    float p[3];
    p[o.axis] = to_single(w);
    p[iu] = to_single(o.center[0] + o.radius * std::cos(angle));
    p[iv] = to_single(o.center[1] + o.radius * std::sin(angle));
    c.push(p[0], p[1], p[2]);
  }
  return c;
}

// B_n + i A_n for the `order` harmonics of one circle; false with the first
// point that cannot be evaluated in `h`.
bool circle_coefficients(const FieldMap& map, const HarmonicsOptions& o, double w,
                         std::vector<std::complex<double>>& c, Harmonics& h) {
  const PointChunk points = circle(o, w);
  FieldSamples f;
  evaluate(map, points, f, 1, o.method);
  const int iu = (o.axis + 1) % 3, iv = (o.axis + 2) % 3;
  c.assign(static_cast<std::size_t>(o.order), {0.0, 0.0});
  for (int k = 0; k < o.points; ++k) {
    if (f.status[k] != FieldStatus::kOk) {
      h.stopped = true;
      h.bad_point = Point3{points.x[k], points.y[k], points.z[k]};
      h.bad_status = f.status[k];
      return false;
    }
    const float b[3] = {f.b[k].bx, f.b[k].by, f.b[k].bz};
    const std::complex<double> value(b[iv], b[iu]);
    for (int m = 0; m < o.order; ++m) {
      // The angle m k 2 pi / N, its multiple reduced exactly first.
      const double angle = 2.0 * std::numbers::pi * static_cast<double>((m * k) % o.points) /
                           static_cast<double>(o.points);
      c[m] += value * std::complex<double>(std::cos(angle), -std::sin(angle));
    }
  }
  for (auto& v : c) v /= static_cast<double>(o.points);
  return true;
}

// The coefficients integrated along the axis with the integral's rule.
bool integrated_coefficients(const FieldMap& map, const HarmonicsOptions& o,
                             std::vector<std::complex<double>>& total, Harmonics& h) {
  const double length = std::fabs(o.to - o.from);
  const double step = o.step > 0 ? o.step : default_step(map.grid());
  h.slices = stepped_count(length, step, kMaxSlices);
  if (h.slices < 0) {
    h.stopped = h.too_many = true;
    return false;
  }
  h.spacing = length / static_cast<double>(h.slices - 1);
  // Three values per integrator: the real and imaginary parts in turn.
  std::vector<LineIntegrator> parts((2 * o.order + 2) / 3,
                                    LineIntegrator(IntegrationRule::kSimpson, h.spacing));
  std::vector<std::complex<double>> c;
  for (std::int64_t s = 0; s < h.slices; ++s) {
    const double w =
        o.from + (o.to - o.from) * static_cast<double>(s) / static_cast<double>(h.slices - 1);
    if (!circle_coefficients(map, o, w, c, h)) return false;
    std::vector<double> flat(3 * parts.size(), 0.0);
    for (int m = 0; m < o.order; ++m) {
      flat[2 * m] = c[m].real();
      flat[2 * m + 1] = c[m].imag();
    }
    for (std::size_t p = 0; p < parts.size(); ++p) parts[p].add(&flat[3 * p]);
  }
  total.assign(static_cast<std::size_t>(o.order), {0.0, 0.0});
  const double sign = o.to < o.from ? -1.0 : 1.0;
  for (std::size_t p = 0; p < parts.size(); ++p) {
    parts[p].end_stretch();
    for (int i = 0; i < 3; ++i) {
      const std::size_t flat = 3 * p + i;
      if (flat >= 2 * total.size()) break;
      const double v = sign * parts[p].integral()[i];
      if (flat % 2 == 0) {
        total[flat / 2].real(v);
      } else {
        total[flat / 2].imag(v);
      }
    }
  }
  return true;
}

int first_label(Numbering n) { return n == Numbering::kEuropean ? 1 : 0; }

void fill_result(const HarmonicsOptions& o, const std::vector<std::complex<double>>& c,
                 Harmonics& h) {
  const int first = first_label(o.numbering);
  std::size_t main = 0;
  if (o.main) {
    main = static_cast<std::size_t>(*o.main - first);
  } else {
    for (std::size_t m = 1; m < c.size(); ++m) {
      if (std::abs(c[m]) > std::abs(c[main])) main = m;
    }
  }
  h.main = static_cast<int>(main) + first;
  h.skew = std::fabs(c[main].imag()) > std::fabs(c[main].real());
  const double reference = h.skew ? c[main].imag() : c[main].real();
  h.reference = to_single(reference);
  for (std::size_t m = 0; m < c.size(); ++m) {
    h.n.push_back(static_cast<int>(m) + first);
    h.B.push_back(to_single(c[m].real()));
    h.A.push_back(to_single(c[m].imag()));
    // A field without its main harmonic has no relative figures.
    const double scale = reference != 0.0 ? 1e4 / reference : std::nan("");
    h.b.push_back(to_single(c[m].real() * scale));
    h.a.push_back(to_single(c[m].imag() * scale));
  }
}

}  // namespace

std::string harmonics_problem(const HarmonicsOptions& o) {
  if (!(o.radius > 0) || !std::isfinite(o.radius)) return "the radius must be a positive number";
  for (const double v : {o.center[0], o.center[1], o.at, o.from, o.to}) {
    if (!std::isfinite(v)) return "the centre and the place along the axis must be finite";
  }
  if (o.axis < 0 || o.axis > 2) return "the axis must be x, y or z";
  if (o.points < 3 || o.points > 1 << 20) return "the points must number from 3 to 1048576";
  if (o.order < 1 || o.order > (o.points - 1) / 2) {
    return "an order from 1 to " + std::to_string((o.points - 1) / 2) + " (for " +
           std::to_string(o.points) + " points) is needed, not " + std::to_string(o.order);
  }
  const int first = first_label(o.numbering);
  if (o.main && (*o.main < first || *o.main >= first + o.order)) {
    return "the main harmonic must be one of the orders " + std::to_string(first) + " to " +
           std::to_string(first + o.order - 1);
  }
  if (o.along) {
    if (!(o.from != o.to)) return "the stretch along the axis has zero length";
    if (!(o.step >= 0) || !std::isfinite(o.step)) return "the step must be a positive number";
    const double step = o.step > 0 ? o.step : 1.0;
    if (o.step > 0 && stepped_count(std::fabs(o.to - o.from), step, kMaxSlices) < 0) {
      return "too many circles along the axis at that step";
    }
  }
  return {};
}

Harmonics compute_harmonics(const FieldMap& map, const HarmonicsOptions& o) {
  Harmonics h;
  std::vector<std::complex<double>> c;
  const bool ok =
      o.along ? integrated_coefficients(map, o, c, h) : circle_coefficients(map, o, o.at, c, h);
  if (ok) fill_result(o, c, h);
  return h;
}

std::string harmonics_convention(const HarmonicsOptions& o) {
  const std::string u = kAxis[(o.axis + 1) % 3], v = kAxis[(o.axis + 2) % 3];
  const bool eu = o.numbering == Numbering::kEuropean;
  return std::string("B") + v + " + i B" + u + " = sum_{n>=" + (eu ? "1" : "0") +
         "} (B_n + i A_n) ((w - w0) / R)^" + (eu ? "(n-1)" : "n") + ", w = " + u + " + i " + v;
}

namespace {

std::string num(double v) { return float_text(to_single(v)); }

std::string json_num(float v) {
  if (!std::isfinite(v)) return "null";
  return float_text(v);
}

std::string pad(const std::string& s, std::size_t width) {
  return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

// Where the circles are, in words.
std::string place(const HarmonicsOptions& o) {
  const std::string u = kAxis[(o.axis + 1) % 3], v = kAxis[(o.axis + 2) % 3];
  std::string out = "circle of radius " + num(o.radius) + " about (" + u + ", " + v + ") = (" +
                    num(o.center[0]) + ", " + num(o.center[1]) + ")";
  if (!o.along) return out + " at " + kAxis[o.axis] + " = " + num(o.at);
  return out + ", integrated along " + kAxis[o.axis] + " from " + num(o.from) + " to " + num(o.to);
}

std::string text_report(const Harmonics& h, const HarmonicsOptions& o) {
  const bool eu = o.numbering == Numbering::kEuropean;
  std::string out =
      std::string(o.along ? "Integrated harmonics" : "Harmonics") + " on the " + place(o) + "\n";
  out += "Points:     " + std::to_string(o.points) + " on each circle\n";
  if (o.along) {
    out += "Along:      " + std::to_string(h.slices) + " circles, spacing " + num(h.spacing) +
           ", " + rule_description(IntegrationRule::kSimpson) + "; B_n, A_n in field x length\n";
  }
  out += "Convention: " + harmonics_convention(o) + "\n";
  out += std::string("Numbering:  ") +
         (eu ? "European (n = 1 the dipole)" : "US (n = 0 the dipole)") + "\n";
  out += std::string("Reference:  b_n, a_n in units of 1e-4 of ") + (h.skew ? "A_" : "B_") +
         std::to_string(h.main) + " = " + num(h.reference) +
         " (main harmonic n = " + std::to_string(h.main) + ", " + (h.skew ? "skew" : "normal") +
         ")\n";
  out += pad("n", 4) + pad("B_n", 16) + pad("A_n", 16) + pad("b_n", 16) + pad("a_n", 16) + "\n";
  for (std::size_t m = 0; m < h.n.size(); ++m) {
    out += pad(std::to_string(h.n[m]), 4) + pad(num(h.B[m]), 16) + pad(num(h.A[m]), 16) +
           pad(num(h.b[m]), 16) + pad(num(h.a[m]), 16) + "\n";
  }
  return out;
}

std::string json_report(const Harmonics& h, const HarmonicsOptions& o) {
  std::string out = "{\"axis\":\"" + std::string(kAxis[o.axis]) + "\",\"center\":[" +
                    json_num(to_single(o.center[0])) + "," + json_num(to_single(o.center[1])) +
                    "],\"radius\":" + json_num(to_single(o.radius));
  if (o.along) {
    out += ",\"along\":[" + json_num(to_single(o.from)) + "," + json_num(to_single(o.to)) +
           "],\"circles\":" + std::to_string(h.slices) +
           ",\"spacing\":" + json_num(to_single(h.spacing)) + ",\"rule\":\"simpson\"";
  } else {
    out += ",\"at\":" + json_num(to_single(o.at));
  }
  out += ",\"points\":" + std::to_string(o.points) + ",\"numbering\":\"" +
         (o.numbering == Numbering::kEuropean ? "european" : "us") + "\",\"convention\":\"" +
         harmonics_convention(o) + "\",\"main\":" + std::to_string(h.main) + ",\"reference\":\"" +
         (h.skew ? "skew" : "normal") + "\",\"reference_value\":" + json_num(h.reference) +
         ",\"orders\":[";
  for (std::size_t m = 0; m < h.n.size(); ++m) {
    out += std::string(m ? "," : "") + "\n{\"n\":" + std::to_string(h.n[m]) +
           ",\"B\":" + json_num(h.B[m]) + ",\"A\":" + json_num(h.A[m]) +
           ",\"b\":" + json_num(h.b[m]) + ",\"a\":" + json_num(h.a[m]) + "}";
  }
  return out + "\n]}\n";
}

}  // namespace

std::string format_harmonics(const Harmonics& h, const HarmonicsOptions& o,
                             HarmonicsFormat format) {
  if (format == HarmonicsFormat::kText) return text_report(h, o);
  if (format == HarmonicsFormat::kJson) return json_report(h, o);
  std::string out = "n,B,A,b,a\n";
  for (std::size_t m = 0; m < h.n.size(); ++m) {
    out += std::to_string(h.n[m]) + "," + num(h.B[m]) + "," + num(h.A[m]) + "," + num(h.b[m]) +
           "," + num(h.a[m]) + "\n";
  }
  return out;
}

}  // namespace fieldscan::fieldmap
