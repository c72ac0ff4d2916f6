#include "fieldscan/query/map_check.h"

#include <algorithm>
#include <cmath>

#include "fieldscan/formats/units.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

// The node values of a map by 0-based index.
struct Nodes {
  const MapContents& c;
  std::int64_t nx, ny, nz;
  explicit Nodes(const MapContents& contents)
      : c(contents),
        nx(contents.values.empty() ? 0 : contents.nx),
        ny(contents.values.empty() ? 0 : contents.ny),
        nz(contents.values.empty() ? 0 : contents.nz) {}
  const float* at(std::int64_t i, std::int64_t j, std::int64_t k) const {
    return c.values.data() + 3 * ((k * ny + j) * nx + i);
  }
  Point3 where(std::int64_t i, std::int64_t j, std::int64_t k) const {
    return {to_single(double{c.xmin} + static_cast<double>(i) * c.dx),
            to_single(double{c.ymin} + static_cast<double>(j) * c.dy),
            to_single(double{c.zmin} + static_cast<double>(k) * c.dz)};
  }
};

// A running maximum and sum of squares, and where the maximum is.
struct Tally {
  double max = -1, squares = 0;
  std::int64_t count = 0;
  std::int64_t i = 0, j = 0, k = 0;
  void add(double v, std::int64_t pi, std::int64_t pj, std::int64_t pk) {
    squares += v * v;
    ++count;
    if (v > max) max = v, i = pi, j = pj, k = pk;
  }
};

DerivativeFigure figure(const Tally& t, const Nodes& nodes, double scale) {
  DerivativeFigure f;
  if (t.count == 0) return f;
  const double rms = std::sqrt(t.squares / static_cast<double>(t.count));
  f.max = to_single(t.max);
  f.rms = to_single(rms);
  f.relative = scale > 0 ? to_single(t.max / scale) : 0.0f;
  f.rms_relative = scale > 0 ? to_single(rms / scale) : 0.0f;
  f.at = nodes.where(t.i, t.j, t.k);
  f.node = {t.i + 1, t.j + 1, t.k + 1};
  return f;
}

// Largest |B| and the unmeasured nodes' count and box.
void scan_nodes(const Nodes& n, MapCheck& r) {
  double b_max = 0;
  for (std::int64_t k = 0; k < n.nz; ++k) {
    for (std::int64_t j = 0; j < n.ny; ++j) {
      for (std::int64_t i = 0; i < n.nx; ++i) {
        const float* b = n.at(i, j, k);
        if (!is_unmeasured(b)) {
          const double m =
              std::sqrt(double{b[0]} * b[0] + double{b[1]} * b[1] + double{b[2]} * b[2]);
          b_max = std::max(b_max, m);
          continue;
        }
        const NodeIndex node = {i + 1, j + 1, k + 1};
        if (r.unmeasured++ == 0) r.box_low = r.box_high = node;
        for (int a = 0; a < 3; ++a) {
          r.box_low[a] = std::min(r.box_low[a], node[a]);
          r.box_high[a] = std::max(r.box_high[a], node[a]);
        }
      }
    }
  }
  r.b_max = to_single(b_max);
}

// Divergence and curl by central differences at the interior nodes.
void differentiate(const Nodes& n, double scale, MapCheck& r) {
  const double h[3] = {2.0 * n.c.dx, 2.0 * n.c.dy, 2.0 * n.c.dz};
  const std::int64_t step[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  Tally div, curl;
  for (std::int64_t k = 1; k + 1 < n.nz; ++k) {
    for (std::int64_t j = 1; j + 1 < n.ny; ++j) {
      for (std::int64_t i = 1; i + 1 < n.nx; ++i) {
        ++r.interior;
        double d[3][3];  // d[a][b] = dB_a / dx_b
        bool measured = true;
        for (int b = 0; b < 3 && measured; ++b) {
          const float* hi = n.at(i + step[b][0], j + step[b][1], k + step[b][2]);
          const float* lo = n.at(i - step[b][0], j - step[b][1], k - step[b][2]);
          measured = !is_unmeasured(hi) && !is_unmeasured(lo);
          for (int a = 0; a < 3; ++a) d[a][b] = (double{hi[a]} - double{lo[a]}) / h[b];
        }
        if (!measured) {
          ++r.skipped;
          continue;
        }
        div.add(std::fabs(d[0][0] + d[1][1] + d[2][2]), i, j, k);
        const double c[3] = {d[2][1] - d[1][2], d[0][2] - d[2][0], d[1][0] - d[0][1]};
        curl.add(std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]), i, j, k);
      }
    }
  }
  r.checked = div.count;
  r.divergence = figure(div, n, scale);
  r.curl = figure(curl, n, scale);
}

PlaneFigure plane(const Nodes& n, int axis, int index, double b_max) {
  PlaneFigure p;
  p.axis = axis;
  p.index = index;
  const std::int64_t counts[3] = {n.nx, n.ny, n.nz};
  p.on_grid = counts[0] > 0 && counts[1] > 0 && counts[2] > 0;
  const std::int64_t a1 = (axis + 1) % 3, a2 = (axis + 2) % 3;
  Tally t;
  std::int64_t idx[3] = {0, 0, 0};
  for (idx[a2] = 0; p.on_grid && idx[a2] < counts[a2]; ++idx[a2]) {
    for (idx[a1] = 0; idx[a1] < counts[a1]; ++idx[a1]) {
      const float* b = n.at(idx[0], idx[1], idx[2]);
      if (is_unmeasured(b)) continue;
      const double v = index == 1 ? std::fabs(double{b[axis]})
                                  : std::max(std::fabs(double{b[a1]}), std::fabs(double{b[a2]}));
      t.add(v, idx[0], idx[1], idx[2]);
    }
  }
  p.nodes = t.count;
  if (t.count == 0) return p;
  p.max = to_single(t.max);
  p.relative = b_max > 0 ? to_single(t.max / b_max) : 0.0f;
  p.at = n.where(t.i, t.j, t.k);
  p.node = {t.i + 1, t.j + 1, t.k + 1};
  return p;
}

}  // namespace

MapCheck check_map(const FieldMap& map, const CheckLimits& limits) {
  MapCheck r;
  const Nodes n(map.contents());
  scan_nodes(n, r);
  double step = 0;
  const std::int64_t counts[3] = {n.nx, n.ny, n.nz};
  const float steps[3] = {n.c.dx, n.c.dy, n.c.dz};
  for (int a = 0; a < 3; ++a) {
    const double d = std::fabs(double{steps[a]});
    if (counts[a] >= 2 && d > 0 && std::isfinite(d) && (step == 0 || d < step)) step = d;
  }
  r.step = to_single(step);
  const double scale = step > 0 ? double{r.b_max} / step : 0.0;
  r.scale = to_single(scale);
  differentiate(n, scale, r);
  const std::int32_t ids[3] = {n.c.ida, n.c.idb, n.c.idc};
  for (int a = 0; a < 3; ++a) {
    if (ids[a] != 0) r.planes.push_back(plane(n, a, ids[a], r.b_max));
  }
  const Units units = recorded_units(n.c.axa, n.c.axb, n.c.axc);
  if (units.length) r.length_unit = unit_name(*units.length);
  if (units.field) r.field_unit = unit_name(*units.field);
  r.passed = r.divergence.relative <= limits.divergence && r.curl.relative <= limits.curl;
  for (const PlaneFigure& p : r.planes) r.passed = r.passed && p.relative <= limits.plane;
  return r;
}

namespace {

const char* const kAxis[3] = {"x", "y", "z"};

std::string num(double v) {
  if (!std::isfinite(v)) return std::isnan(v) ? "null" : (v > 0 ? "1e999" : "-1e999");
  return float_text(to_single(v));
}

std::string node_text(const NodeIndex& n) {
  return "(" + std::to_string(n[0]) + ", " + std::to_string(n[1]) + ", " + std::to_string(n[2]) +
         ")";
}

std::string node_json(const NodeIndex& n) {
  return "[" + std::to_string(n[0]) + "," + std::to_string(n[1]) + "," + std::to_string(n[2]) + "]";
}

std::string point_json(const Point3& p) {
  return "[" + num(p.x) + "," + num(p.y) + "," + num(p.z) + "]";
}

std::string verdict(double relative, double limit) {
  return relative <= limit ? "within " + num(limit) : "above the limit " + num(limit);
}

std::string derivative_text(const char* name, const DerivativeFigure& f, const MapCheck& r,
                            double limit) {
  std::string out = std::string(name);
  if (r.checked == 0) return out + "none (no interior node with six measured neighbours)\n";
  return out + "max " + num(f.max) + " at " + point_text(f.at) + " node " + node_text(f.node) +
         ", rms " + num(f.rms) + "; relative to B/h: max " + num(f.relative) + ", rms " +
         num(f.rms_relative) + " (" + verdict(f.relative, limit) + ")\n";
}

std::string plane_text(const PlaneFigure& p, double limit) {
  std::string out = std::string("  ") + kAxis[p.axis] + " plane (reflection index " +
                    std::to_string(p.index) + ", " +
                    (p.index == 1 ? "normal component" : "parallel components") + "): ";
  if (!p.on_grid) return out + "outside the grid\n";
  if (p.nodes == 0) return out + "no measured node on it\n";
  return out + "max " + num(p.max) + " at " + point_text(p.at) + " node " + node_text(p.node) +
         ", relative to |B|max " + num(p.relative) + " (" + verdict(p.relative, limit) + ")\n";
}

std::string units_text(const MapCheck& r) {
  if (r.length_unit.empty() && r.field_unit.empty()) return "none recorded";
  return "lengths in " + (r.length_unit.empty() ? std::string("unknown") : r.length_unit) +
         ", field in " + (r.field_unit.empty() ? std::string("unknown") : r.field_unit);
}

std::string text_report(const MapCheck& r, const CheckLimits& limits) {
  std::string out = "Units:       " + units_text(r) + "\n";
  out += "Scale:       |B|max " + num(r.b_max) + ", smallest step " + num(r.step) + ", B/h " +
         num(r.scale) + "\n";
  out += "Interior:    " + std::to_string(r.interior) + " nodes, " + std::to_string(r.checked) +
         " checked, " + std::to_string(r.skipped) + " skipped for an unmeasured neighbour\n";
  out += derivative_text("Divergence:  ", r.divergence, r, limits.divergence);
  out += derivative_text("Curl:        ", r.curl, r, limits.curl);
  out += "Planes:      " +
         (r.planes.empty() ? std::string("none (no reflection index set)")
                           : std::to_string(r.planes.size()) + " mirror plane(s)") +
         "\n";
  for (const PlaneFigure& p : r.planes) out += plane_text(p, limits.plane);
  out += "Unmeasured:  " + std::to_string(r.unmeasured) + " nodes";
  if (r.unmeasured > 0) {
    out += ", within nodes " + node_text(r.box_low) + " to " + node_text(r.box_high);
  }
  out += "\nResult:      " + std::string(r.passed ? "passed" : "failed") + "\n";
  return out;
}

std::string derivative_json(const DerivativeFigure& f, const MapCheck& r) {
  if (r.checked == 0) return "null";
  return "{\"max\":" + num(f.max) + ",\"rms\":" + num(f.rms) + ",\"relative\":" + num(f.relative) +
         ",\"rms_relative\":" + num(f.rms_relative) + ",\"at\":" + point_json(f.at) +
         ",\"node\":" + node_json(f.node) + "}";
}

std::string json_report(const MapCheck& r, const CheckLimits& limits) {
  std::string out = "{\"divergence\":" + derivative_json(r.divergence, r) +
                    ",\n\"curl\":" + derivative_json(r.curl, r) +
                    ",\n\"interior\":" + std::to_string(r.interior) +
                    ",\"checked\":" + std::to_string(r.checked) +
                    ",\"skipped\":" + std::to_string(r.skipped) + ",\"b_max\":" + num(r.b_max) +
                    ",\"step\":" + num(r.step) + ",\"scale\":" + num(r.scale) + ",\n\"planes\":[";
  for (std::size_t n = 0; n < r.planes.size(); ++n) {
    const PlaneFigure& p = r.planes[n];
    out += std::string(n ? "," : "") + "{\"axis\":\"" + kAxis[p.axis] +
           "\",\"index\":" + std::to_string(p.index) +
           ",\"on_grid\":" + (p.on_grid ? "true" : "false") +
           ",\"nodes\":" + std::to_string(p.nodes);
    if (p.nodes > 0) {
      out += ",\"max\":" + num(p.max) + ",\"relative\":" + num(p.relative) +
             ",\"at\":" + point_json(p.at) + ",\"node\":" + node_json(p.node);
    }
    out += "}";
  }
  out += "],\n\"unmeasured\":{\"count\":" + std::to_string(r.unmeasured) + ",\"box\":" +
         (r.unmeasured > 0 ? "[" + node_json(r.box_low) + "," + node_json(r.box_high) + "]"
                           : std::string("null")) +
         "},\n\"units\":{\"length\":" +
         (r.length_unit.empty() ? std::string("null") : "\"" + r.length_unit + "\"") +
         ",\"field\":" + (r.field_unit.empty() ? std::string("null") : "\"" + r.field_unit + "\"") +
         "}";
  out += ",\n\"limits\":{\"divergence\":" + num(limits.divergence) +
         ",\"curl\":" + num(limits.curl) + ",\"plane\":" + num(limits.plane) +
         "},\n\"passed\":" + (r.passed ? "true" : "false") + "}\n";
  return out;
}

}  // namespace

std::string format_check(const MapCheck& check, const CheckLimits& limits, bool json) {
  return json ? json_report(check, limits) : text_report(check, limits);
}

}  // namespace fieldscan::fieldmap
