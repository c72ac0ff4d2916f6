#include "python/io_bindings.h"

#include <pybind11/stl.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "fieldscan/field/field_map.h"
#include "fieldscan/formats/format_io.h"
#include "fieldscan/mapfile/atomic_file.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/query/input_map.h"
#include "python/file_bindings.h"

namespace py = pybind11;

namespace fieldscan {
namespace {

// fieldscan.MapError with the loader's status (0: a table that does not
// convert) and message.
[[noreturn]] void raise_map_error(const MapError& error) {
  const py::object type = py::module_::import("fieldscan._fieldscan").attr("MapError");
  py::object exception = type(error.message);
  exception.attr("status") = error.status;
  exception.attr("message") = error.message;
  PyErr_SetObject(type.ptr(), exception.ptr());
  throw py::error_already_set();
}

// format= and units= as `fieldmap` takes --from (--to) and --units, with
// its words for a wrong value.
fieldmap::FormatOptions format_options(const char* command, const char* option,
                                       const std::optional<std::string>& format,
                                       const std::optional<std::string>& units) {
  fieldmap::FormatOptions options;
  bool taken = false;
  std::string problem;
  if ((format &&
       !fieldmap::take_format_option(command, option, *format, options, taken, problem)) ||
      (units &&
       !fieldmap::take_format_option(command, "--units", *units, options, taken, problem))) {
    // The command line's words, with the argument's name for the option's.
    const std::size_t colon = problem.find(':');
    const bool is_units = problem.rfind("--units", 0) == 0;
    throw py::value_error((is_units ? "units" : "format") + problem.substr(colon));
  }
  return options;
}

FieldMap load(const py::object& path, const std::optional<std::string>& format,
              const std::optional<std::string>& units, std::int64_t capacity) {
  const std::string name = path_of(path);
  const fieldmap::FormatOptions options = format_options("convert", "--from", format, units);
  FieldMap map;
  fieldmap::Units read_units;
  MapError error;
  std::string why;
  bool loaded;
  {
    py::gil_scoped_release unlocked;
    loaded = fieldmap::read_input_map(name, options, capacity, map, read_units, why, &error, false);
  }
  if (loaded) return map;
  if (error.status == 0) error.message = why;
  raise_map_error(error);
}

void save(const FieldMap& map, const py::object& path) {
  const std::string file = path_of(path);
  std::string why;
  bool saved;
  {
    py::gil_scoped_release unlocked;
    saved = write_map_file(file, map.contents(), &why);
  }
  if (!saved) raise_write_error(path, why);
}

void export_map(const FieldMap& map, const py::object& path, const std::string& format,
                const std::optional<std::string>& units, bool unfold) {
  if (format == "map") {
    if (units) throw py::value_error("units: a map file records no units but its own");
    return save(map, path);
  }
  fieldmap::FormatOptions options = format_options("export", "--to", format, units);
  if (unfold && options.to != fieldmap::Format::vti) {
    throw py::value_error("unfold is for format='vti' only");
  }
  options.unfold = unfold;
  const std::string file_name = path_of(path);
  const std::string shown = py::str(py::module_::import("os").attr("fsdecode")(path));
  std::string text, why;
  AtomicFile file;
  bool written = false;
  {
    py::gil_scoped_release unlocked;
    // A problem of the units stops before the file is committed.
    if (fieldmap::prepare_export(shown, map, options, text, why) && file.open(file_name) &&
        (fieldmap::write_export(shown, map, options, text, file, why) || !file.why().empty())) {
      written = file.commit();
    }
  }
  if (written) return;
  if (!file.why().empty()) raise_write_error(path, file.why());
  throw py::value_error(why);
}

// A pickled map is its map file's bytes, which load back bit for bit.
py::bytes pickled(const FieldMap& map) { return py::bytes(encode_map(map.contents())); }

FieldMap unpickled(const py::bytes& state) {
  FieldMap map;
  MapError error;
  if (!FieldMap::load_bytes(std::string_view(state), map, error,
                            std::numeric_limits<std::int64_t>::max())) {
    raise_map_error(error);
  }
  return map;
}

}  // namespace

void register_io_bindings(py::module_& m) {
  auto map_class = py::reinterpret_borrow<py::class_<FieldMap>>(m.attr("Map"));
  map_class.def("save", &save, py::arg("path"),
                "Writes the map file: to a temporary file beside it, synced, then renamed over\n"
                "it, so a failure (OSError) leaves an existing file as it was.");
  map_class.def("export", &export_map, py::arg("path"), py::arg("format") = "table", py::kw_only(),
                py::arg("units") = py::none(), py::arg("unfold") = false,
                "Writes the map as `fieldmap export --to FORMAT [--units L,F]` writes it:\n"
                "format 'table', 'csv', 'bdsim', 'g4beamline' or 'vti' (unfold: the images in\n"
                "the mirror planes too), or 'map' (Map.save); units 'mm,T' names the units\n"
                "the map does not record.  Written as Map.save writes (OSError on failure);\n"
                "ValueError when the map cannot be written in that format.");
  map_class.def(py::pickle(&pickled, &unpickled));
  m.def("load", &load, py::arg("path"), py::arg("format") = py::none(),
        py::arg("units") = py::none(), py::kw_only(),
        py::arg("capacity") = static_cast<std::int64_t>(MXS),
        "Loads a map file as the console does, or a table in any format `fieldmap\n"
        "convert` reads (recognised from its content; format= names it: 'table', 'csv',\n"
        "'bdsim', 'g4beamline', 'comsol'), converted as convert converts it (units\n"
        "'mm,T': the map's units), with at most `capacity` values.  Raises MapError with\n"
        "the loader's message and status on failure (status 0: a table that does not\n"
        "convert; its message names the line and column).");
}

}  // namespace fieldscan
