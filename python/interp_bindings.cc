#include "python/interp_bindings.h"

#include <pybind11/stl.h>

#include <array>
#include <optional>

#include "fieldscan/field/field_map.h"
#include "fieldscan/formats/formats.h"
#include "fieldscan/formats/units.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/query/resample.h"

namespace py = pybind11;

namespace fieldscan {
namespace {

FieldMap resample(const FieldMap& map, std::optional<py::object> step,
                  std::optional<std::array<std::int64_t, 3>> counts,
                  std::optional<std::array<std::array<double, 2>, 3>> box,
                  const std::string& method, std::int64_t capacity) {
  fieldmap::ResampleRequest request;
  if (step.has_value() == counts.has_value()) throw py::value_error("give either step or counts");
  if (step) {
    if (py::isinstance<py::float_>(*step) || py::isinstance<py::int_>(*step)) {
      const double d = py::cast<double>(*step);
      request.step = std::array<double, 3>{d, d, d};
    } else {
      request.step = py::cast<std::array<double, 3>>(*step);
    }
  }
  request.counts = counts;
  request.box = box;
  request.method = interpolation_arg(method);
  request.capacity = capacity;
  fieldmap::ResampleResult result;
  std::string why;
  bool ok;
  {
    py::gil_scoped_release unlocked;
    ok = fieldmap::resample(map, request, result, why);
  }
  if (!ok) throw py::value_error(why);
  FieldMap out;
  MapError error;
  if (!FieldMap::from_contents(std::move(result.contents), out, error)) {
    throw py::value_error(error.message);
  }
  return out;
}

// The VTK image export under its own name: Map.export(path, "vti").
void export_vti(const py::object& map, const py::object& path, bool unfold) {
  map.attr("export")(path, "vti", py::arg("unfold") = unfold);
}

}  // namespace

Interpolation interpolation_arg(const std::string& name) {
  Interpolation method;
  if (!parse_interpolation(name, method)) {
    throw py::value_error("method must be 'linear' or 'cubic', not '" + name + "'");
  }
  return method;
}

void register_interp_bindings(py::module_& m) {
  auto map_class = py::reinterpret_borrow<py::class_<FieldMap>>(m.attr("Map"));
  map_class.def("resample", &resample, py::kw_only(), py::arg("step") = py::none(),
                py::arg("counts") = py::none(), py::arg("box") = py::none(),
                py::arg("method") = "linear", py::arg("capacity") = std::int64_t{MXS},
                "The map on a new grid, as `fieldmap resample` makes it: step (one number or\n"
                "three) or counts (three), box ((x0, x1), (y0, y1), (z0, z1); default the\n"
                "stored nodes), method 'linear' or 'cubic'.  ValueError for a grid beyond\n"
                "`capacity` values, naming counts that fit.");
  map_class.def("export_vti", &export_vti, py::arg("path"), py::kw_only(),
                py::arg("unfold") = false,
                "Writes the map as VTK XML image data (.vti), as `fieldmap export --to vti`.");
}

}  // namespace fieldscan
