#include "fieldscan/query/resample.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "fieldscan/field/cubic.h"
#include "fieldscan/field/evaluate.h"
#include "fieldscan/mapfile/map_reader.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

constexpr const char* kAxisName[3] = {"X", "Y", "Z"};

// One axis of the new grid.
struct NewAxis {
  float min = 0, step = 1;
  std::int64_t count = 1;
};

// The input's stored nodes along axis `a`.
struct StoredAxis {
  float min = 0, step = 0;
  std::int64_t count = 0;
};

StoredAxis stored_axis(const GridSize& g, std::int64_t held_z, int a) {
  if (a == 0) return {g.XMIN, g.DX, g.NX};
  if (a == 1) return {g.YMIN, g.DY, g.NY};
  return {g.ZMIN, g.DZ, held_z};
}

bool plan_axis(int a, double lo, double hi, const ResampleRequest& r, const StoredAxis& in,
               NewAxis& out, std::string& why) {
  const std::string name = kAxisName[a];
  if (!std::isfinite(lo) || !std::isfinite(hi) || hi < lo) {
    why = "the box's " + name + " axis does not run from a lower to a higher finite number";
    return false;
  }
  double count = 1;
  if (r.step) {
    const double s = (*r.step)[a];
    if (!(s > 0) || !std::isfinite(s)) {
      why = "the step of the " + name + " axis is not a positive number";
      return false;
    }
    // Whole steps that fit the box; a hair of rounding does not lose one.
    count = std::floor((hi - lo) / s + 1e-9) + 1;
    out.step = static_cast<float>(s);
  } else {
    count = static_cast<double>((*r.counts)[a]);
    if (!(count >= 1)) {
      why = "the node count of the " + name + " axis is below 1";
      return false;
    }
    if (count > 1 && hi == lo) {
      why = "the box's " + name + " axis has zero width: it takes one node";
      return false;
    }
    out.step = count > 1 ? static_cast<float>((hi - lo) / (count - 1))
                         : (in.step > 0 && std::isfinite(in.step) ? in.step : 1.0f);
  }
  if (!(count <= static_cast<double>(INT32_MAX))) {
    why = "the new grid has too many nodes on its " + name + " axis";
    return false;
  }
  out.min = static_cast<float>(lo);
  out.count = static_cast<std::int64_t>(count);
  return true;
}

// Counts in the proportions of `n` whose grid holds at most `capacity`
// values.
std::string counts_that_fit(const NewAxis axis[3], std::int64_t capacity) {
  const double nodes = static_cast<double>(capacity / 3);
  const double all = static_cast<double>(axis[0].count) * static_cast<double>(axis[1].count) *
                     static_cast<double>(axis[2].count);
  const double shrink = std::cbrt(nodes / all);
  std::int64_t n[3];
  for (int a = 0; a < 3; ++a) {
    n[a] = std::max<std::int64_t>(1, static_cast<std::int64_t>(axis[a].count * shrink));
  }
  while (3 * n[0] * n[1] * n[2] > capacity) --*std::max_element(n, n + 3);
  return std::to_string(n[0]) + "," + std::to_string(n[1]) + "," + std::to_string(n[2]);
}

// The cell of coordinate `p` among the stored nodes of one axis, when it
// lies on them.  Worked out in double precision from the unrounded
// coordinate; within the rounding of single-precision coordinates (a few
// units in the last place of |p| or the origin) of a node of the input, it
// is on that node, so a node of the new grid there reads exactly that node.
bool stored_cell(double p, const StoredAxis& in, AxisCell& cell) {
  if (in.count < 1) return false;
  if (p == static_cast<double>(in.min)) {
    cell = AxisCell{};
    return true;
  }
  if (in.count < 2 || !(in.step > 0) || !std::isfinite(in.step)) return false;
  double q = (p - static_cast<double>(in.min)) / static_cast<double>(in.step);
  const double whole = std::nearbyint(q);
  const double slack =
      4.0 * FLT_EPSILON * (std::fabs(p) + std::fabs(static_cast<double>(in.min))) / in.step;
  if (std::fabs(q - whole) <= slack) q = whole;
  if (!(q >= 0.0) || q > static_cast<double>(in.count - 1)) return false;
  cell.lower = std::min(static_cast<std::int64_t>(q), in.count - 1);
  cell.frac = q - static_cast<double>(cell.lower);
  return true;
}

// Which symmetries of the input the new grid keeps: reflection indices
// where its box starts on the mirror plane, the sector angle where it
// starts at the sector's corner.  False when any is dropped.
bool keep_symmetry(const MapContents& in, const NewAxis axis[3], MapContents& out) {
  const std::int32_t index[3] = {in.ida, in.idb, in.idc};
  const float plane[3] = {in.xmin, in.ymin, in.zmin};
  std::int32_t kept[3];
  bool all = true;
  for (int a = 0; a < 3; ++a) {
    kept[a] = index[a] != 0 && axis[a].min == plane[a] ? index[a] : 0;
    all = all && kept[a] == index[a];
  }
  out.ida = kept[0], out.idb = kept[1], out.idc = kept[2];
  out.angle = in.angle;
  const bool sector = std::fabs(degrees_to_radians(in.angle)) < kHalfPi;
  if (sector && !(axis[0].min == in.xmin && axis[1].min == in.ymin)) {
    out.angle = 90.0f;
    all = false;
  }
  return all;
}

// Evaluates the input at every node of the new grid into `node`, x index
// fastest; a node without a field becomes unmeasured.  How many did.
std::int64_t fill_nodes(const FieldMap& input, const StoredAxis stored[3], const NewAxis axis[3],
                        Interpolation method, float* node) {
  const GridSize& g = input.grid();
  const float* values = input.contents().values.data();
  const auto capacity = static_cast<std::int64_t>(input.contents().values.size());
  std::int64_t unmeasured = 0;
  // On a map that never folds by its sector, a node within the stored
  // nodes is interpolated from its unrounded coordinates; any other goes
  // through the whole evaluation, folds and signs included.
  const bool direct = !(std::fabs(g.ANGLE) < kHalfPi);
  for (std::int64_t k = 0; k < axis[2].count; ++k) {
    for (std::int64_t j = 0; j < axis[1].count; ++j) {
      for (std::int64_t i = 0; i < axis[0].count; ++i, node += 3) {
        const std::int64_t index[3] = {i, j, k};
        double p[3];
        AxisCell cell[3];
        bool inside = direct;
        for (int a = 0; a < 3; ++a) {
          p[a] = static_cast<double>(axis[a].min) +
                 static_cast<double>(index[a]) * static_cast<double>(axis[a].step);
          inside = inside && stored_cell(p[a], stored[a], cell[a]);
        }
        const FieldStatus status =
            inside ? interpolate_cells(method, g, values, capacity, cell, node)
                   : evaluate_by(method, g, values, capacity, static_cast<float>(p[0]),
                                 static_cast<float>(p[1]), static_cast<float>(p[2]), node);
        if (status != FieldStatus::kOk) {
          std::fill_n(node, 3, kUnmeasuredMark);
          ++unmeasured;
        }
      }
    }
  }
  return unmeasured;
}

}  // namespace

bool resample(const FieldMap& input, const ResampleRequest& request, ResampleResult& result,
              std::string& why) {
  const GridSize& g = input.grid();
  const MapContents& in = input.contents();
  const auto capacity = static_cast<std::int64_t>(in.values.size());
  StoredAxis stored[3];
  NewAxis axis[3];
  for (int a = 0; a < 3; ++a) {
    stored[a] = stored_axis(g, held_planes(g, capacity), a);
    double lo = stored[a].min;
    double hi = lo + static_cast<double>(std::max<std::int64_t>(stored[a].count - 1, 0)) *
                         static_cast<double>(stored[a].step);
    if (request.box) lo = (*request.box)[a][0], hi = (*request.box)[a][1];
    if (!plan_axis(a, lo, hi, request, stored[a], axis[a], why)) return false;
  }
  const double values = 3.0 * static_cast<double>(axis[0].count) *
                        static_cast<double>(axis[1].count) * static_cast<double>(axis[2].count);
  if (values > static_cast<double>(request.capacity)) {
    why = "the new grid of " + std::to_string(axis[0].count) + " x " +
          std::to_string(axis[1].count) + " x " + std::to_string(axis[2].count) +
          " nodes needs more than the capacity of " + std::to_string(request.capacity) +
          " values; counts that fit: " + counts_that_fit(axis, request.capacity);
    return false;
  }
  ResampleResult r;
  MapContents& out = r.contents;
  out.title = in.title, out.date = in.date, out.axa = in.axa, out.axb = in.axb, out.axc = in.axc;
  out.isa = in.isa, out.isb = in.isb, out.isc = in.isc;
  out.ima = in.ima, out.imb = in.imb, out.imc = in.imc;
  r.unfolded = !keep_symmetry(in, axis, out);
  out.xmin = axis[0].min, out.ymin = axis[1].min, out.zmin = axis[2].min;
  out.dx = axis[0].step, out.dy = axis[1].step, out.dz = axis[2].step;
  out.nx = static_cast<std::int32_t>(axis[0].count);
  out.ny = static_cast<std::int32_t>(axis[1].count);
  out.nz = static_cast<std::int32_t>(axis[2].count);
  out.values.resize(static_cast<std::size_t>(values));
  r.unmeasured = fill_nodes(input, stored, axis, request.method, out.values.data());
  result = std::move(r);
  return true;
}

std::string resample_summary(const ResampleResult& r) {
  const MapContents& m = r.contents;
  const std::int64_t nodes = static_cast<std::int64_t>(m.values.size() / 3);
  std::string angle;
  append_float(angle, m.angle);
  const bool symmetric = m.ida != 0 || m.idb != 0 || m.idc != 0 || m.angle != 90.0f;
  std::string out = std::to_string(m.nx) + " x " + std::to_string(m.ny) + " x " +
                    std::to_string(m.nz) + " nodes, " + std::to_string(nodes - r.unmeasured) +
                    " measured, " + std::to_string(r.unmeasured) + " unmeasured; ";
  if (r.unfolded) out += "unfolded (the field held explicitly), ";
  if (!symmetric) return out + "no symmetry";
  return out + (r.unfolded ? "" : "symmetry kept: ") + "reflection " + std::to_string(m.ida) + "," +
         std::to_string(m.idb) + "," + std::to_string(m.idc) + ", angle " + angle;
}

}  // namespace fieldscan::fieldmap
