// The analyses of a map for Python: Map.harmonics, Map.gradient and
// Map.check.  Each converts its arguments, calls the one C++ function the
// fieldmap command line calls too (so both give the same bits) and turns
// the result into NumPy arrays and Python objects.
#include "python/analysis_bindings.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "fieldscan/field/batch_threads.h"
#include "fieldscan/field/gradient.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/map_reader.h"
#include "fieldscan/query/harmonics.h"
#include "fieldscan/query/map_check.h"
#include "fieldscan/query/sample.h"
#include "python/interp_bindings.h"

namespace py = pybind11;

namespace fieldscan {
namespace {

using fieldmap::Harmonics;
using fieldmap::HarmonicsOptions;
using fieldmap::MapCheck;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Harmonics and the options they were computed with.
struct HarmonicsResult {
  Harmonics h;
  HarmonicsOptions o;
};

template <class T>
py::array_t<T> array_of(const std::vector<T>& v) {
  py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  return out;
}

HarmonicsResult harmonics(const FieldMap& map, double radius, std::pair<double, double> center,
                          const std::string& axis, double at,
                          std::optional<std::pair<double, double>> along,
                          std::optional<double> step, int points, int order,
                          std::optional<int> main, const std::string& numbering,
                          const std::string& method) {
  HarmonicsOptions o;
  o.radius = radius;
  o.center[0] = center.first, o.center[1] = center.second;
  if (axis != "x" && axis != "y" && axis != "z") throw py::value_error("axis must be x, y or z");
  o.axis = axis[0] - 'x';
  o.at = at;
  if (along) o.along = true, o.from = along->first, o.to = along->second;
  if (step && !along) throw py::value_error("step goes with along");
  if (step && !(*step > 0)) throw py::value_error("step must be a positive number");
  if (step) o.step = *step;
  o.points = points, o.order = order, o.main = main;
  if (numbering != "european" && numbering != "us") {
    throw py::value_error("numbering must be 'european' or 'us'");
  }
  o.numbering = numbering == "us" ? fieldmap::Numbering::kUs : fieldmap::Numbering::kEuropean;
  o.method = interpolation_arg(method);
  const std::string problem = fieldmap::harmonics_problem(o);
  if (!problem.empty()) throw py::value_error(problem);
  HarmonicsResult r{{}, o};
  {
    py::gil_scoped_release unlocked;
    r.h = fieldmap::compute_harmonics(map, o);
  }
  if (r.h.too_many) throw py::value_error("too many circles along the axis at the default step");
  if (r.h.stopped) {
    throw py::value_error(
        "the circle point " + fieldmap::point_text(r.h.bad_point) +
        " cannot be evaluated: " + std::string(fieldmap::status_reason(r.h.bad_status)));
  }
  return r;
}

// The gradient at points of shape (N, 3): (g of shape (N, 3, 3), status).
py::tuple gradient_at_points(const FieldMap& map, const py::object& points,
                             std::optional<unsigned> threads, const std::string& method) {
  const Interpolation how = interpolation_arg(method);
  const auto array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(points);
  if (!array || array.ndim() != 2 || array.shape(1) != 3) {
    throw py::value_error("points must be an array of shape (N, 3)");
  }
  const auto n = static_cast<std::size_t>(array.shape(0));
  std::vector<float> x(n), y(n), z(n);
  const float* p = array.data();
  for (std::size_t m = 0; m < n; ++m) x[m] = p[3 * m], y[m] = p[3 * m + 1], z[m] = p[3 * m + 2];
  std::vector<FieldGradient> g(n);
  std::vector<FieldStatus> status(n);
  const unsigned n_threads = batch_threads(n, threads ? std::max(1u, *threads) : 0);
  {
    py::gil_scoped_release unlocked;
    field_gradient(map, x, y, z, g, status, n_threads, how);
  }
  py::array_t<float> out({static_cast<py::ssize_t>(n), py::ssize_t{3}, py::ssize_t{3}});
  py::array_t<std::int16_t> out_status(static_cast<py::ssize_t>(n));
  float* o = out.mutable_data();
  for (std::size_t m = 0; m < n; ++m) {
    const bool ok = status[m] == FieldStatus::kOk;
    for (int k = 0; k < 9; ++k) o[9 * m + k] = ok ? g[m].d[k / 3][k % 3] : kNaN;
    out_status.mutable_data()[m] = static_cast<std::int16_t>(status[m]);
  }
  return py::make_tuple(out, out_status);
}

py::tuple gradient_at_point(const FieldMap& map, double x, double y, double z,
                            const std::string& method) {
  FieldGradient g;
  const FieldStatus status =
      field_gradient(map, to_single(x), to_single(y), to_single(z), g, interpolation_arg(method));
  py::array_t<float> out({py::ssize_t{3}, py::ssize_t{3}});
  for (int k = 0; k < 9; ++k) {
    out.mutable_data()[k] = status == FieldStatus::kOk ? g.d[k / 3][k % 3] : kNaN;
  }
  return py::make_tuple(out, static_cast<int>(status));
}

py::tuple point(const fieldmap::Point3& p) { return py::make_tuple(p.x, p.y, p.z); }
py::tuple node(const fieldmap::NodeIndex& n) { return py::make_tuple(n[0], n[1], n[2]); }

py::object derivative(const fieldmap::DerivativeFigure& f, const MapCheck& r) {
  if (r.checked == 0) return py::none();
  py::dict d;
  d["max"] = f.max, d["rms"] = f.rms, d["relative"] = f.relative;
  d["rms_relative"] = f.rms_relative, d["at"] = point(f.at), d["node"] = node(f.node);
  return d;
}

py::dict check(const FieldMap& map, double max_divergence, double max_curl, double max_plane) {
  const fieldmap::CheckLimits limits{max_divergence, max_curl, max_plane};
  if (!(max_divergence >= 0 && max_curl >= 0 && max_plane >= 0)) {
    throw py::value_error("the limits must be numbers 0 or more");
  }
  MapCheck r;
  {
    py::gil_scoped_release unlocked;
    r = fieldmap::check_map(map, limits);
  }
  py::dict d;
  d["divergence"] = derivative(r.divergence, r);
  d["curl"] = derivative(r.curl, r);
  d["interior"] = r.interior, d["checked"] = r.checked, d["skipped"] = r.skipped;
  d["b_max"] = r.b_max, d["step"] = r.step, d["scale"] = r.scale;
  py::list planes;
  for (const fieldmap::PlaneFigure& p : r.planes) {
    py::dict q;
    q["axis"] = std::string(1, static_cast<char>('x' + p.axis));
    q["index"] = p.index, q["on_grid"] = p.on_grid, q["nodes"] = p.nodes;
    if (p.nodes > 0) {
      q["max"] = p.max, q["relative"] = p.relative, q["at"] = point(p.at);
      q["node"] = node(p.node);
    }
    planes.append(q);
  }
  d["planes"] = planes;
  py::dict unmeasured;
  unmeasured["count"] = r.unmeasured;
  unmeasured["box"] = r.unmeasured > 0
                          ? py::object(py::make_tuple(node(r.box_low), node(r.box_high)))
                          : py::object(py::none());
  d["unmeasured"] = unmeasured;
  py::dict units;
  units["length"] = r.length_unit.empty() ? py::object(py::none()) : py::str(r.length_unit);
  units["field"] = r.field_unit.empty() ? py::object(py::none()) : py::str(r.field_unit);
  d["units"] = units;
  d["passed"] = r.passed;
  return d;
}

// The result of Map.harmonics.
void register_harmonics(py::module_& m) {
  py::class_<HarmonicsResult>(
      m, "Harmonics",
      "The multipole coefficients of the field on circles about an axis (Map.harmonics).")
      .def_property_readonly(
          "n", [](const HarmonicsResult& r) { return array_of(r.h.n); },
          "The harmonic numbers (1 the dipole in the European numbering).")
      .def_property_readonly(
          "B", [](const HarmonicsResult& r) { return array_of(r.h.B); },
          "The normal coefficients B_n, in field units at the reference radius.")
      .def_property_readonly(
          "A", [](const HarmonicsResult& r) { return array_of(r.h.A); },
          "The skew coefficients A_n, in field units at the reference radius.")
      .def_property_readonly(
          "b", [](const HarmonicsResult& r) { return array_of(r.h.b); },
          "The normal coefficients in units of 1e-4 of the main harmonic.")
      .def_property_readonly(
          "a", [](const HarmonicsResult& r) { return array_of(r.h.a); },
          "The skew coefficients in units of 1e-4 of the main harmonic.")
      .def_property_readonly(
          "main", [](const HarmonicsResult& r) { return r.h.main; },
          "The number of the main harmonic.")
      .def_property_readonly(
          "skew", [](const HarmonicsResult& r) { return r.h.skew; },
          "Whether the main harmonic is skew (|A| > |B|).")
      .def_property_readonly(
          "reference", [](const HarmonicsResult& r) { return r.h.reference; },
          "The main harmonic's strength that b and a are relative to.")
      .def_property_readonly(
          "integrated", [](const HarmonicsResult& r) { return r.o.along; },
          "Whether the coefficients are integrated along the axis.")
      .def_property_readonly(
          "circles", [](const HarmonicsResult& r) { return r.h.slices; },
          "The number of circles evaluated.")
      .def_property_readonly(
          "radius", [](const HarmonicsResult& r) { return r.o.radius; }, "The reference radius.")
      .def_property_readonly(
          "numbering",
          [](const HarmonicsResult& r) {
            return r.o.numbering == fieldmap::Numbering::kUs ? "us" : "european";
          },
          "\"european\" (n = 1 the dipole) or \"us\" (n = 0 the dipole).")
      .def_property_readonly(
          "convention",
          [](const HarmonicsResult& r) { return fieldmap::harmonics_convention(r.o); },
          "The expansion and its conventions, in words.")
      .def("__repr__", [](const HarmonicsResult& r) {
        return py::str("Harmonics(main={}, reference={}, orders={})")
            .format(r.h.main, r.h.reference, r.h.n.size());
      });
}

}  // namespace

void register_analysis(py::module_& m) {
  register_harmonics(m);
  auto map = py::reinterpret_borrow<py::class_<FieldMap>>(m.attr("Map"));
  map.def("harmonics", &harmonics, py::arg("radius"), py::kw_only(),
          py::arg("center") = std::make_pair(0.0, 0.0), py::arg("axis") = "z", py::arg("at") = 0.0,
          py::arg("along") = py::none(), py::arg("step") = py::none(), py::arg("points") = 64,
          py::arg("order") = 15, py::arg("main") = py::none(), py::arg("numbering") = "european",
          py::arg("method") = "linear",
          "Multipoles on the circle of `radius` about `center` (u, v) across `axis`, at\n"
          "`at` along it or integrated over along=(A, B) (the integral's rule and default\n"
          "step): a Harmonics (n, B, A, b, a and the convention).  b, a are in units of\n"
          "1e-4 of the main harmonic (default the strongest); method 'linear' or 'cubic'\n"
          "evaluates the circles.  ValueError for a wrong call or a circle point that\n"
          "cannot be evaluated.");
  map.def("gradient", &gradient_at_points, py::arg("points"), py::arg("threads") = py::none(),
          py::arg("method") = "linear",
          "The derivatives of the field at points of shape (N, 3): (g, status), g (N, 3, 3)\n"
          "float32 with g[i, a, b] = dB_a/dx_b (NaN where not evaluated), status as for\n"
          "field (4 also where a node the derivative reads is unmeasured); method 'linear'\n"
          "or 'cubic' is the interpolant differentiated.");
  map.def("gradient", &gradient_at_point, py::arg("x"), py::arg("y"), py::arg("z"), py::kw_only(),
          py::arg("method") = "linear",
          "The derivatives at one point: (g of shape (3, 3), status).");
  map.def("check", &check, py::kw_only(), py::arg("max_divergence") = 1e-2,
          py::arg("max_curl") = 1e-2, py::arg("max_plane") = 1e-3,
          "The quality report of `fieldmap check` as a dict: divergence, curl, planes,\n"
          "unmeasured, units, passed (and the scale B/h the relative figures use).");
  map.def_property_readonly(
      "_quadrant", [](const FieldMap& f) { return is_quadrant(f.grid().ANGLE); },
      "Whether the symmetry angle is a plain 90 degrees, as the loader decides.");
}

}  // namespace fieldscan
