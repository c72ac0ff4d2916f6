// _fieldscan: the map type and its evaluation for Python.  The binding
// converts arguments and results between NumPy and the C++ types and turns
// failures into Python exceptions; the evaluation, the analyses and the map
// writer are the C++ library's (field/field_map.h, fieldmap_query,
// mapfile/map_writer.h).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include "fieldscan/field/batch_threads.h"
#include "fieldscan/field/field_map.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/query/integral.h"
#include "fieldscan/query/map_diff.h"
#include "fieldscan/query/point_source.h"
#include "fieldscan/query/sample.h"
#include "python/analysis_bindings.h"
#include "python/arrays.h"
#include "python/file_bindings.h"
#include "python/interp_bindings.h"
#include "python/io_bindings.h"

namespace py = pybind11;

namespace fieldscan {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// Requests above this many points are refused before anything is allocated.
constexpr std::int64_t kMaxPoints = 1'000'000'000;

// The exception type fieldscan.MapError, created at import and kept for the
// life of the process.
py::handle g_map_error;

[[noreturn]] void raise_map_error(const MapError& error) {
  py::object exception = py::reinterpret_borrow<py::object>(g_map_error)(error.message);
  exception.attr("status") = error.status;
  exception.attr("message") = error.message;
  PyErr_SetObject(g_map_error.ptr(), exception.ptr());
  throw py::error_already_set();
}

// Map texts are bytes; Latin-1 gives every byte a character and back.
py::str text(const std::string& stored) {
  const std::size_t end = stored.find_last_not_of(' ');
  const std::size_t size = end == std::string::npos ? 0 : end + 1;
  PyObject* decoded = PyUnicode_DecodeLatin1(stored.data(), static_cast<Py_ssize_t>(size), nullptr);
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

std::string stored_text(const py::str& value, std::size_t width, const char* item) {
  PyObject* encoded = PyUnicode_AsLatin1String(value.ptr());
  if (encoded == nullptr) {
    PyErr_Clear();
    throw py::value_error(std::string(item) + " must be Latin-1 text");
  }
  const std::string bytes = py::reinterpret_steal<py::bytes>(encoded);
  if (bytes.size() > width) {
    throw py::value_error(std::string(item) + " holds at most " + std::to_string(width) +
                          " characters");
  }
  return bytes;
}

template <class T>
py::tuple triple(T a, T b, T c) {
  return py::make_tuple(a, b, c);
}

// ---------------------------------------------------------------------------
// Arguments.  A value of the wrong kind is a TypeError, one out of range a
// ValueError; either names the argument and what it takes.

[[noreturn]] void bad_argument(bool wrong_kind, const char* item, const std::string& problem,
                               const char* takes) {
  const std::string message =
      std::string(item) + ": " + problem + " (" + item + " takes " + takes + ")";
  if (wrong_kind) throw py::type_error(message);
  throw py::value_error(message);
}

// The value as the message shows it, cut short when long (a large array).
std::string shown(const py::handle& value) {
  std::string r = py::repr(value);
  constexpr std::size_t kLongest = 40;
  if (r.size() > kLongest) r = r.substr(0, kLongest - 3) + "...";
  return r;
}

std::string shown(double value) { return shown(py::float_(value)); }

bool is_text(const py::handle& value) {
  return py::isinstance<py::str>(value) || py::isinstance<py::bytes>(value);
}

// Whether `value` holds a number of items (a tuple, a list, a NumPy array,
// ...), as opposed to a single value (a number, a 0-d array).
bool has_items(const py::handle& value) {
  if (is_text(value) || !PySequence_Check(value.ptr())) return false;
  if (PySequence_Size(value.ptr()) >= 0) return true;
  PyErr_Clear();
  return false;
}

double real_of(const py::handle& value, const char* item, const char* takes) {
  if (!is_text(value)) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v != -1.0 || PyErr_Occurred() == nullptr) return v;
    PyErr_Clear();
  }
  bad_argument(true, item, shown(value) + " is not a number", takes);
}

// A whole number from `low` to `high`: an integer of any kind, or a real
// without a fraction (as a NumPy array of reals holds a count).
std::int64_t whole_of(const py::handle& value, const char* item, const char* takes,
                      std::int64_t low, std::int64_t high) {
  const auto out_of_range = [&] {
    bad_argument(
        false, item,
        shown(value) + " is not from " + std::to_string(low) + " to " + std::to_string(high),
        takes);
  };
  if (PyObject* index = PyNumber_Index(value.ptr())) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0 || n < low || n > high) out_of_range();
    return n;
  }
  PyErr_Clear();
  const double v = real_of(value, item, takes);
  if (!std::isfinite(v) || v != std::trunc(v)) {
    bad_argument(false, item, shown(value) + " is not a whole number", takes);
  }
  if (v < static_cast<double>(low) || v > static_cast<double>(high)) out_of_range();
  return static_cast<std::int64_t>(v);
}

std::vector<py::object> items_of(const py::handle& value, std::size_t count, const char* item,
                                 const char* takes) {
  if (!has_items(value)) bad_argument(true, item, shown(value) + " is not a sequence", takes);
  const Py_ssize_t size = PySequence_Size(value.ptr());
  if (size != static_cast<Py_ssize_t>(count)) {
    bad_argument(false, item, shown(value) + " has " + std::to_string(size) + " items", takes);
  }
  std::vector<py::object> items;
  for (Py_ssize_t k = 0; k < size; ++k) {
    PyObject* at = PySequence_GetItem(value.ptr(), k);
    if (at == nullptr) throw py::error_already_set();
    items.push_back(py::reinterpret_steal<py::object>(at));
  }
  return items;
}

constexpr const char* kPointTakes = "three numbers (x, y, z)";

std::array<double, 3> real_triple(const py::object& value, const char* item) {
  const auto items = items_of(value, 3, item, kPointTakes);
  return {real_of(items[0], item, kPointTakes), real_of(items[1], item, kPointTakes),
          real_of(items[2], item, kPointTakes)};
}

std::array<std::int32_t, 3> int32_triple(const py::object& value, const char* item) {
  constexpr const char* kTakes = "three 32-bit integers";
  const auto items = items_of(value, 3, item, kTakes);
  std::array<std::int32_t, 3> out{};
  for (std::size_t k = 0; k < 3; ++k) {
    out[k] = static_cast<std::int32_t>(whole_of(items[k], item, kTakes, INT32_MIN, INT32_MAX));
  }
  return out;
}

// A header number of the map, refused as the map header refuses it.
float header_number(double v, bool step, const char* item, const char* takes) {
  switch (header_number_problem(v, step)) {
    case HeaderNumberProblem::kNotFinite:
      bad_argument(false, item, shown(v) + " is not finite in single precision", takes);
    case HeaderNumberProblem::kNotPositive:
      bad_argument(false, item, shown(v) + " is not positive; a step must be positive", takes);
    case HeaderNumberProblem::kNone:
      break;
  }
  return to_single(v);
}

// The origin or the steps of a map, each rounded once to single precision.
std::array<float, 3> header_triple(const py::object& value, const char* item, bool steps) {
  const auto p = real_triple(value, item);
  const char* takes = steps ? "three positive numbers (x, y, z)" : kPointTakes;
  return {header_number(p[0], steps, item, takes), header_number(p[1], steps, item, takes),
          header_number(p[2], steps, item, takes)};
}

// ---------------------------------------------------------------------------
// Sampling, line integrals and map differences: fieldmap_query's, with the
// points and results converted to and from Python.

using fieldmap::DiffResult;
using fieldmap::GridAxis;
using fieldmap::GridPoints;
using fieldmap::IntegralResult;
using fieldmap::IntegrationRule;
using fieldmap::LinePoints;
using fieldmap::Point3;

// A coordinate as the command line takes it, or a ValueError in its words.
float coordinate(double v, const char* item, const char* takes) {
  float out = 0;
  if (!fieldmap::single_coordinate(v, out)) {
    bad_argument(false, item, shown(v) + " is not a finite number in single precision", takes);
  }
  return out;
}

Point3 finite_point(const py::object& value, const char* item) {
  const auto p = real_triple(value, item);
  return Point3{coordinate(p[0], item, kPointTakes), coordinate(p[1], item, kPointTakes),
                coordinate(p[2], item, kPointTakes)};
}

void check_line(fieldmap::LineProblem problem) {
  if (problem == fieldmap::LineProblem::kZeroLength) {
    throw py::value_error("the line has zero length");
  }
  if (problem == fieldmap::LineProblem::kTooMany) throw py::value_error("too many points");
}

// The points of a line given by a count or a step (exactly one of them).
LinePoints line_points(const py::object& start, const py::object& end,
                       std::optional<std::int64_t> points, std::optional<double> step) {
  const Point3 a = finite_point(start, "start"), b = finite_point(end, "end");
  if (points.has_value() == step.has_value()) {
    throw py::value_error("give either points or step");
  }
  if (points) {
    if (*points < 2) throw py::value_error("a line needs at least 2 points");
    if (*points > kMaxPoints) throw py::value_error("too many points");
    return LinePoints::with_count(a, b, *points);
  }
  if (!(*step > 0) || !std::isfinite(*step)) throw py::value_error("step must be positive");
  std::optional<LinePoints> line;
  check_line(fieldmap::sampled_line(a, b, *step, kMaxPoints, line));
  return *line;
}

// The line of an integral: by count, or by step (default: the library's)
// over the whole length, as `fieldmap integral` takes it.
LinePoints integral_points(const FieldMap& map, const py::object& start, const py::object& end,
                           std::optional<std::int64_t> points, std::optional<double> step) {
  if (points || (step && !(*step > 0))) return line_points(start, end, points, step);
  const Point3 a = finite_point(start, "start"), b = finite_point(end, "end");
  if (step && !std::isfinite(*step)) throw py::value_error("step must be positive");
  std::optional<LinePoints> line;
  check_line(fieldmap::integral_line(a, b, step.value_or(0.0), map.grid(), kMaxPoints, line));
  return *line;
}

// A sample holds about this many bytes a point: the library's points,
// fields and statuses, and the arrays made of them.
constexpr double kSampleBytes = 2 * (6 * sizeof(float) + sizeof(std::int16_t));

// Refuses a sample that the memory of the machine cannot hold, rather than
// letting it fill the swap.
void check_memory(double points) {
  const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGE_SIZE);
  const double memory = static_cast<double>(pages) * static_cast<double>(page);
  if (pages > 0 && page > 0 && points * kSampleBytes > memory) {
    char message[160];
    std::snprintf(message, sizeof message,
                  "too many points: %.0f points take %.1f GB, more than the %.1f GB of memory",
                  points, points * kSampleBytes / 1e9, memory / 1e9);
    throw py::value_error(message);
  }
}

struct LineSample {
  SampleArrays arrays;
  py::array_t<double> distance;
  double spacing = 0;
};

LineSample sample_line(const FieldMap& map, const py::object& start, const py::object& end,
                       std::optional<std::int64_t> points, std::optional<double> step,
                       std::optional<unsigned> threads, const std::string& method) {
  const Interpolation interpolation = interpolation_arg(method);
  LinePoints line = line_points(start, end, points, step);
  check_memory(static_cast<double>(line.count()));
  const unsigned n_threads = thread_count(threads, static_cast<std::size_t>(line.count()));
  fieldmap::Samples s;
  {
    py::gil_scoped_release unlocked;
    s = fieldmap::sample_source(map, line, n_threads, interpolation);
  }
  const auto n = static_cast<py::ssize_t>(s.points.size());
  LineSample r{sample_arrays(s, {n}), py::array_t<double>(n), line.spacing()};
  double* d = r.distance.mutable_data();
  for (py::ssize_t k = 0; k < n; ++k) d[k] = line.distance(k);
  return r;
}

GridAxis axis_of(const py::object& value, const char* name) {
  constexpr const char* kTakes = "a number or (first, last, count)";
  double first = 0, last = 0;
  std::int64_t count = 1;
  if (has_items(value)) {
    const auto items = items_of(value, 3, name, kTakes);
    first = real_of(items[0], name, kTakes);
    last = real_of(items[1], name, kTakes);
    count = whole_of(items[2], name, kTakes, 1, kMaxPoints);
  } else {
    first = last = real_of(value, name, kTakes);
  }
  coordinate(first, name, kTakes);
  coordinate(last, name, kTakes);
  return GridAxis::from_to(first, last, count);
}

void check_grid_size(const GridAxis& x, const GridAxis& y, const GridAxis& z) {
  if (static_cast<double>(x.count) * static_cast<double>(y.count) * static_cast<double>(z.count) >
      static_cast<double>(kMaxPoints)) {
    throw py::value_error("too many points");
  }
}

py::array_t<float> axis_array(const GridAxis& a) {
  py::array_t<float> values(a.count);
  float* out = values.mutable_data();
  for (std::int64_t i = 0; i < a.count; ++i) out[i] = a.value(i);
  return values;
}

struct GridSample {
  SampleArrays arrays;
  py::array_t<float> x, y, z;
};

GridSample sample_grid(const FieldMap& map, const py::object& x, const py::object& y,
                       const py::object& z, std::optional<unsigned> threads,
                       const std::string& method) {
  const Interpolation interpolation = interpolation_arg(method);
  const GridAxis ax = axis_of(x, "x"), ay = axis_of(y, "y"), az = axis_of(z, "z");
  check_grid_size(ax, ay, az);
  check_memory(static_cast<double>(ax.count * ay.count * az.count));
  const unsigned n_threads =
      thread_count(threads, static_cast<std::size_t>(ax.count * ay.count * az.count));
  fieldmap::Samples s;
  {
    py::gil_scoped_release unlocked;
    s = fieldmap::sample_grid(map, ax, ay, az, n_threads, interpolation);
  }
  return GridSample{sample_arrays(s, {az.count, ay.count, ax.count}), axis_array(ax),
                    axis_array(ay), axis_array(az)};
}

// An integral and the rule it was computed with.
struct LineIntegral {
  IntegralResult result;
  IntegrationRule rule = IntegrationRule::kSimpson;
};

const char* rule_name(IntegrationRule rule) {
  return rule == IntegrationRule::kTrapezoid ? "trapezoid" : "simpson";
}

LineIntegral integral(const FieldMap& map, const py::object& start, const py::object& end,
                      std::optional<std::int64_t> points, std::optional<double> step,
                      const std::string& rule, bool skip_unevaluable,
                      std::optional<int> main_component, std::optional<unsigned> threads,
                      const std::string& method) {
  fieldmap::IntegralOptions options;
  options.method = interpolation_arg(method);
  if (rule == "trapezoid") {
    options.rule = IntegrationRule::kTrapezoid;
  } else if (rule != "simpson") {
    throw py::value_error("rule must be 'simpson' or 'trapezoid'");
  }
  if (main_component) {
    if (*main_component < 0 || *main_component > 2) {
      throw py::value_error("main_component must be 0, 1 or 2");
    }
    options.main_component = *main_component;
  }
  options.skip_unevaluable = skip_unevaluable;
  LinePoints line = integral_points(map, start, end, points, step);
  options.threads = thread_count(threads, static_cast<std::size_t>(line.count()));
  LineIntegral r;
  r.rule = options.rule;
  {
    py::gil_scoped_release unlocked;
    r.result = fieldmap::integrate_line(map, line, options);
  }
  if (!r.result.stopped && !r.result.any_evaluated) {
    throw py::value_error("no point of the line can be evaluated");
  }
  if (r.result.stopped) {
    const Point3 p = r.result.bad_point;
    throw py::value_error(
        "the field cannot be evaluated at (" + std::string(py::str(py::float_(p.x))) + ", " +
        std::string(py::str(py::float_(p.y))) + ", " + std::string(py::str(py::float_(p.z))) +
        "): " + std::string(field_message(r.result.bad_status)) +
        " (skip_unevaluable=True integrates the evaluable stretches)");
  }
  return r;
}

DiffResult diff(const FieldMap& a, const FieldMap& b, const py::object& x, const py::object& y,
                const py::object& z, std::optional<unsigned> threads) {
  const int given = !x.is_none() + !y.is_none() + !z.is_none();
  if (given != 0 && given != 3) throw py::value_error("give x, y and z for a grid, or none");
  std::optional<GridPoints> points;
  if (given == 3) {
    const GridAxis ax = axis_of(x, "x"), ay = axis_of(y, "y"), az = axis_of(z, "z");
    check_grid_size(ax, ay, az);
    points.emplace(ax, ay, az);
  } else {
    points.emplace(GridPoints::nodes_of(a.grid()));
  }
  const unsigned n_threads =
      thread_count(threads, static_cast<std::size_t>(std::max<std::int64_t>(points->total(), 0)));
  DiffResult result;
  py::gil_scoped_release unlocked;
  // Grid points never fail to come.
  fieldmap::diff_maps(a, b, *points, result, {}, n_threads);
  return result;
}

// ---------------------------------------------------------------------------
// Building, loading and saving maps.

FieldMap from_arrays(const py::object& values_object, const py::object& origin,
                     const py::object& steps, double angle, const py::object& reflection,
                     const py::str& title, const py::object& date, const py::object& axis_texts,
                     const py::object& is_indices, const py::object& im_indices) {
  auto values =
      py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(values_object);
  if (!values) throw py::value_error("values must be a float array of shape (NZ, NY, NX, 3)");
  if (values.ndim() != 4 || values.shape(3) != 3) {
    throw py::value_error("values must have shape (NZ, NY, NX, 3)");
  }
  if (values.size() > std::numeric_limits<std::int32_t>::max()) {
    throw py::value_error("too many nodes");
  }
  MapContents c;
  c.title = stored_text(title, 80, "title");
  c.date = date.is_none() ? today() : stored_text(py::str(date), 18, "date");
  const auto axes = items_of(axis_texts, 3, "axis_texts", "three texts");
  for (const py::object& axis : axes) {
    if (!py::isinstance<py::str>(axis)) {
      bad_argument(true, "axis_texts", shown(axis) + " is not a text", "three texts");
    }
  }
  c.axa = stored_text(axes[0], 8, "an axis text");
  c.axb = stored_text(axes[1], 8, "an axis text");
  c.axc = stored_text(axes[2], 8, "an axis text");
  c.angle = header_number(angle, false, "angle", "a number of degrees");
  const auto o = header_triple(origin, "origin", false);
  const auto d = header_triple(steps, "steps", true);
  const auto r = int32_triple(reflection, "reflection");
  const auto is = int32_triple(is_indices, "is_indices");
  const auto im = int32_triple(im_indices, "im_indices");
  std::tie(c.xmin, c.ymin, c.zmin) = std::tuple(o[0], o[1], o[2]);
  std::tie(c.dx, c.dy, c.dz) = std::tuple(d[0], d[1], d[2]);
  std::tie(c.ida, c.idb, c.idc) = std::tuple(r[0], r[1], r[2]);
  std::tie(c.isa, c.isb, c.isc) = std::tuple(is[0], is[1], is[2]);
  std::tie(c.ima, c.imb, c.imc) = std::tuple(im[0], im[1], im[2]);
  c.nx = static_cast<std::int32_t>(values.shape(2));
  c.ny = static_cast<std::int32_t>(values.shape(1));
  c.nz = static_cast<std::int32_t>(values.shape(0));
  c.values.assign(values.data(), values.data() + values.size());
  FieldMap map;
  MapError error;
  if (!FieldMap::from_contents(std::move(c), map, error)) raise_map_error(error);
  return map;
}

py::tuple point3(const Point3& p) { return triple(p.x, p.y, p.z); }

// Where a component differs most; NaN coordinates when no point was compared.
py::tuple max_at(const fieldmap::ComponentDiff& c) {
  return c.where < 0 ? triple(kNaN, kNaN, kNaN) : point3(c.at);
}

// The results of sampling along a line and on a grid.
void register_samples(py::module_& m) {
  py::class_<LineSample>(
      m, "LineSample",
      "The field at points along a line (Map.sample_line): points, b and status as arrays.")
      .def_property_readonly(
          "points", [](const LineSample& s) { return s.arrays.points; },
          "The points, (N, 3) float32.")
      .def_property_readonly(
          "b", [](const LineSample& s) { return s.arrays.b; },
          "The field at the points, (N, 3) float32, NaN where not evaluated.")
      .def_property_readonly(
          "status", [](const LineSample& s) { return s.arrays.status; },
          "The status of each point, (N,) int16: 0 evaluated, 1-3 outside the x, y, z limits, 4 "
          "unmeasured.")
      .def_readonly("distance", &LineSample::distance, "The distance of each point from the start.")
      .def_readonly("spacing", &LineSample::spacing, "The distance between neighbouring points.");

  py::class_<GridSample>(
      m, "GridSample", "The field on a grid (Map.sample_grid): arrays of shape (NZ, NY, NX, ...).")
      .def_property_readonly(
          "points", [](const GridSample& s) { return s.arrays.points; },
          "The points, (NZ, NY, NX, 3) float32.")
      .def_property_readonly(
          "b", [](const GridSample& s) { return s.arrays.b; },
          "The field, (NZ, NY, NX, 3) float32, NaN where not evaluated.")
      .def_property_readonly(
          "status", [](const GridSample& s) { return s.arrays.status; },
          "The status of each point, (NZ, NY, NX) int16 (0 evaluated).")
      .def_readonly("x", &GridSample::x, "The x coordinates of the grid.")
      .def_readonly("y", &GridSample::y, "The y coordinates of the grid.")
      .def_readonly("z", &GridSample::z, "The z coordinates of the grid.");
}

// The result of an integral along a line.
void register_integral(py::module_& m) {
  py::class_<LineIntegral>(
      m, "LineIntegral",
      "The field integrals along a line (Map.integral), as fieldmap integral prints them.")
      .def_property_readonly(
          "integral",
          [](const LineIntegral& r) {
            const float* i = r.result.integral;
            return triple(i[0], i[1], i[2]);
          },
          "(bx, by, bz) integrated over the length: field units times length units.")
      .def_property_readonly(
          "rule", [](const LineIntegral& r) { return rule_name(r.rule); },
          "\"simpson\" or \"trapezoid\".")
      .def_property_readonly(
          "rule_description",
          [](const LineIntegral& r) { return fieldmap::rule_description(r.rule); },
          "The rule in words, as fieldmap integral prints it.")
      .def_property_readonly(
          "points", [](const LineIntegral& r) { return r.result.points; },
          "The number of points on the line, both ends included.")
      .def_property_readonly(
          "spacing", [](const LineIntegral& r) { return r.result.spacing; },
          "The distance between neighbouring points.")
      .def_property_readonly(
          "length", [](const LineIntegral& r) { return r.result.length; },
          "The length of the line.")
      .def_property_readonly(
          "peak", [](const LineIntegral& r) { return r.result.peak; },
          "The largest |B| on the line.")
      .def_property_readonly(
          "peak_at", [](const LineIntegral& r) { return point3(r.result.peak_at); },
          "Where |B| is largest, (x, y, z).")
      .def_property_readonly(
          "main_component", [](const LineIntegral& r) { return r.result.main_component; },
          "The main component: 0, 1 or 2 (bx, by, bz).")
      .def_property_readonly(
          "main_peak", [](const LineIntegral& r) { return r.result.main_peak; },
          "The main component's value at its largest magnitude.")
      .def_property_readonly(
          "main_peak_at", [](const LineIntegral& r) { return point3(r.result.main_peak_at); },
          "Where the main component is largest, (x, y, z).")
      .def_property_readonly(
          "effective_length", [](const LineIntegral& r) { return r.result.effective_length; },
          "The main component's integral over its peak value (length units).")
      .def_property_readonly(
          "skipped", [](const LineIntegral& r) { return r.result.skipped; },
          "The number of points left out (skip_unevaluable=True).")
      .def_property_readonly(
          "skipped_length", [](const LineIntegral& r) { return r.result.skipped_length; },
          "The length left out with them.")
      .def_property_readonly(
          "evaluated", [](const LineIntegral& r) { return r.result.points - r.result.skipped; },
          "The number of points evaluated.")
      .def("__repr__", [](const LineIntegral& r) {
        const float* i = r.result.integral;
        return py::str("LineIntegral(integral={}, rule={!r}, effective_length={})")
            .format(triple(i[0], i[1], i[2]), rule_name(r.rule), r.result.effective_length);
      });
}

// The result of comparing two maps.
void register_difference(py::module_& m) {
  py::class_<DiffResult>(
      m, "MapDifference",
      "How two maps differ (Map.diff): per component the largest difference, where, and the RMS.")
      .def_property_readonly(
          "max_abs",
          [](const DiffResult& d) {
            return triple(d.component[0].max_abs, d.component[1].max_abs, d.component[2].max_abs);
          },
          "(bx, by, bz): the largest |A - B| of each component.")
      .def_property_readonly(
          "max_at",
          [](const DiffResult& d) {
            return triple(max_at(d.component[0]), max_at(d.component[1]), max_at(d.component[2]));
          },
          "Where each largest difference lies, (x, y, z) per component.")
      .def_property_readonly(
          "rms",
          [](const DiffResult& d) {
            return triple(d.component[0].rms, d.component[1].rms, d.component[2].rms);
          },
          "(bx, by, bz): the RMS difference over the points evaluable in both maps.")
      .def_property_readonly("max_difference", &DiffResult::max_abs,
                             "The largest |A - B| over the three components.")
      .def_readonly("points", &DiffResult::points, "The number of points compared.")
      .def_readonly("compared", &DiffResult::both, "The number of points evaluable in both maps.")
      .def_readonly("only_a", &DiffResult::only_a,
                    "The number of points evaluable in the first map only.")
      .def_readonly("only_b", &DiffResult::only_b,
                    "The number of points evaluable in the second map only.")
      .def_readonly("neither", &DiffResult::neither,
                    "The number of points evaluable in neither map.")
      .def("__repr__", [](const DiffResult& d) {
        return py::str("MapDifference(max_abs={}, rms={}, compared={}, only_a={}, only_b={})")
            .format(triple(d.component[0].max_abs, d.component[1].max_abs, d.component[2].max_abs),
                    triple(d.component[0].rms, d.component[1].rms, d.component[2].rms), d.both,
                    d.only_a, d.only_b);
      });
}

// The map type and its header items (texts, symmetry, carried integers),
// read-only.
py::class_<FieldMap> register_map_header(py::module_& m) {
  return py::class_<FieldMap>(
             m, "Map",
             "A field map: its header items, its node values as a NumPy view, and the "
             "console's\nevaluation (mirror planes, sector symmetry, unmeasured nodes, trilinear "
             "or "
             "cubic\ninterpolation) at many points at a time.  fieldscan.load(path) reads "
             "one;\nMap.from_arrays builds one.  Example:\n\n    m = "
             "fieldscan.load(\"build/demo.map\")\n "
             "   b, status = m.field([[0, 0, 0], [5, 2, 3.5]])")
      .def_static("from_arrays", &from_arrays, py::arg("values"), py::kw_only(),
                  py::arg("origin") = triple(0.0, 0.0, 0.0),
                  py::arg("steps") = triple(1.0, 1.0, 1.0), py::arg("angle") = 90.0,
                  py::arg("reflection") = triple(0, 0, 0), py::arg("title") = "fieldscan map",
                  py::arg("date") = py::none(), py::arg("axis_texts") = triple("X", "Y", "Z"),
                  py::arg("is_indices") = triple(0, 0, 0), py::arg("im_indices") = triple(0, 0, 0),
                  "A map from node values of shape (NZ, NY, NX, 3) (any float type, stored in\n"
                  "single precision; unmeasured nodes hold UNMEASURED) and its header items.\n"
                  "angle is in degrees; texts are Latin-1, at most 80 (title), 18 (date) and\n"
                  "8 (axis texts) characters.")
      .def_property_readonly(
          "title", [](const FieldMap& map) { return text(map.contents().title); },
          "The title, at most 80 characters.")
      .def_property_readonly(
          "date", [](const FieldMap& map) { return text(map.contents().date); },
          "The date text, at most 18 characters.")
      .def_property_readonly(
          "axis_texts",
          [](const FieldMap& map) {
            const MapContents& c = map.contents();
            return triple(text(c.axa), text(c.axb), text(c.axc));
          },
          "The three axis texts of 8 characters (fieldmap records units in them: \"X [mm]\", \"B "
          "[T]\").")
      .def_property_readonly(
          "angle", [](const FieldMap& map) { return map.contents().angle; },
          "The symmetry angle in degrees (90: a plain grid; otherwise a sector about the z axis).")
      .def_property_readonly(
          "reflection",
          [](const FieldMap& map) {
            const MapContents& c = map.contents();
            return triple(c.ida, c.idb, c.idc);
          },
          "The reflection indices (IDA, IDB, IDC) of the mirror planes x, y, z = origin (0: none).")
      .def_property_readonly(
          "is_indices",
          [](const FieldMap& map) {
            const MapContents& c = map.contents();
            return triple(c.isa, c.isb, c.isc);
          },
          "The integers (ISA, ISB, ISC) of the origin record, carried but not used.")
      .def_property_readonly(
          "im_indices",
          [](const FieldMap& map) {
            const MapContents& c = map.contents();
            return triple(c.ima, c.imb, c.imc);
          },
          "The integers (IMA, IMB, IMC) of the origin record, carried but not used.");
}

// The map's grid: where its nodes lie, the limits of evaluation and the node
// values.
void register_map_grid(py::class_<FieldMap>& map_class) {
  map_class
      .def_property_readonly(
          "origin",
          [](const FieldMap& map) {
            const MapContents& c = map.contents();
            return triple(c.xmin, c.ymin, c.zmin);
          },
          "The first node (XMIN, YMIN, ZMIN).")
      .def_property_readonly(
          "steps",
          [](const FieldMap& map) {
            const MapContents& c = map.contents();
            return triple(c.dx, c.dy, c.dz);
          },
          "The grid steps (DX, DY, DZ).")
      .def_property_readonly(
          "counts",
          [](const FieldMap& map) {
            const MapContents& c = map.contents();
            return triple(c.nx, c.ny, c.nz);
          },
          "The node counts (NX, NY, NZ).")
      .def_property_readonly(
          "limits",
          [](const FieldMap& map) {
            float low[3], high[3];
            evaluated_limits(map.grid(), low, high);
            return triple(py::make_tuple(low[0], high[0]), py::make_tuple(low[1], high[1]),
                          py::make_tuple(low[2], high[2]));
          },
          "((xlow, xhigh), (ylow, yhigh), (zlow, zhigh)): the limits the "
          "evaluation applies, each a coordinate that is evaluated")
      .def_property_readonly("values", &values_view,
                             "The node values, (NZ, NY, NX, 3) float32, read-only, on the map's "
                             "own storage")
      .def_property_readonly("unmeasured", &unmeasured,
                             "True at the nodes that were not measured, (NZ, NY, NX)");
}

// The map's evaluation: the field at points, on lines and grids, integrals and
// differences.
void register_map_evaluation(py::class_<FieldMap>& map_class) {
  map_class
      .def("field", &field_at_points, py::arg("points"), py::arg("threads") = py::none(),
           py::arg("method") = "linear",
           "The field at points of shape (N, 3): (b, status), b (N, 3) float32 (NaN where\n"
           "not evaluated), status (N,) int16: 0 evaluated, 1-3 outside the x, y, z limits,\n"
           "4 next to an unmeasured node.  threads: how many to share the points among\n"
           "(default: all cores from 50,000 points on).")
      .def("field", &field_at_point, py::arg("x"), py::arg("y"), py::arg("z"),
           py::arg("method") = "linear", "The field at one point: (b, status), b of shape (3,).")
      .def("sample_line", &sample_line, py::arg("start"), py::arg("end"), py::kw_only(),
           py::arg("points") = py::none(), py::arg("step") = py::none(),
           py::arg("threads") = py::none(), py::arg("method") = "linear",
           "The field at `points` points from start to end (both included), or every `step`\n"
           "from start: a LineSample (points, distance, b, status).")
      .def("sample_grid", &sample_grid, py::kw_only(), py::arg("x"), py::arg("y"), py::arg("z"),
           py::arg("threads") = py::none(), py::arg("method") = "linear",
           "The field on a grid; each axis a value or (first, last, count): a GridSample\n"
           "(x, y, z, and points, b, status of shape (NZ, NY, NX, ...)).")
      .def("integral", &integral, py::arg("start"), py::arg("end"), py::kw_only(),
           py::arg("points") = py::none(), py::arg("step") = py::none(),
           py::arg("rule") = "simpson", py::arg("skip_unevaluable") = false,
           py::arg("main_component") = py::none(), py::arg("threads") = py::none(),
           py::arg("method") = "linear",
           "The integral of each component along the line, over `points` points or points\n"
           "at most `step` apart from start to end, both included (default step: a quarter\n"
           "of the finest grid step), as `fieldmap integral`: a LineIntegral.  rule: 'simpson' "
           "(composite Simpson, the 3/8\n"
           "rule on the last three intervals when their number is odd) or 'trapezoid'.\n"
           "main_component (0, 1, 2; default: the largest in magnitude) is the one of the\n"
           "effective length.  A point that cannot be evaluated raises ValueError unless\n"
           "skip_unevaluable, which integrates the evaluable stretches.")
      .def("diff", &diff, py::arg("other"), py::kw_only(), py::arg("x") = py::none(),
           py::arg("y") = py::none(), py::arg("z") = py::none(), py::arg("threads") = py::none(),
           "other - self at the nodes of self, or on a grid given as for sample_grid:\n"
           "a MapDifference.")
      .def("__repr__", [](const FieldMap& map) {
        const MapContents& c = map.contents();
        return py::str("<fieldscan.Map {!r}: {} x {} x {} nodes>")
            .format(text(c.title), c.nx, c.ny, c.nz);
      });
}

}  // namespace
}  // namespace fieldscan

PYBIND11_MODULE(_fieldscan, m) {
  using namespace fieldscan;
  m.doc() = "Field maps: loading, saving, evaluation with the console's arithmetic";

  g_map_error = py::exception<MapError>(m, "MapError", PyExc_Exception).release();
  m.attr("MXS") = static_cast<std::int64_t>(MXS);
  m.attr("UNMEASURED") = kUnmeasuredMark;
  m.attr("UNMEASURED_LIMIT") = kUnmeasuredLimit;
  m.def(
      "field_message",
      [](const py::object& status) {
        const std::int64_t s = whole_of(status, "status", "a field status, 0 to 4", 0,
                                        static_cast<std::int64_t>(FieldStatus::kUnmeasured));
        return std::string(field_message(FieldStatus(s)));
      },
      py::arg("status"));

  register_samples(m);
  register_integral(m);
  register_difference(m);
  py::class_<FieldMap> map_class = register_map_header(m);
  register_map_grid(map_class);
  register_map_evaluation(map_class);
  register_analysis(m);
  register_interp_bindings(m);
  register_file_bindings(m);
  register_io_bindings(m);
}
