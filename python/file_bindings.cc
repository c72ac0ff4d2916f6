#include "python/file_bindings.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "fieldscan/mapfile/atomic_file.h"

namespace py = pybind11;

namespace fieldscan {
namespace {

// The errno value whose system text is `why`, or 0.
int error_number_of(const std::string& why) {
  for (int e = 1; e < 256; ++e) {
    if (why == std::strerror(e)) return e;
  }
  return 0;
}

void write_file(const py::object& path, const py::bytes& data) {
  const std::string file = path_of(path);
  const std::string_view bytes = data;
  std::string why;
  bool written;
  {
    py::gil_scoped_release unlocked;
    written = write_file_atomically(file, bytes, &why);
  }
  if (!written) raise_write_error(path, why);
}

}  // namespace

std::string path_of(const py::object& path) {
  const std::string name = py::bytes(py::module_::import("os").attr("fsencode")(path));
  if (name.find('\0') != std::string::npos) throw py::value_error("path: embedded null byte");
  return name;
}

void raise_write_error(const py::object& path, const std::string& why) {
  const py::object name = py::module_::import("os").attr("fspath")(path);
  errno = error_number_of(why);
  if (errno != 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
    throw py::error_already_set();
  }
  const py::str shown_name = py::module_::import("os").attr("fsdecode")(name);
  PyErr_SetObject(PyExc_OSError, py::str("{}: {}").format(shown_name, why).ptr());
  throw py::error_already_set();
}

void register_file_bindings(py::module_& m) {
  m.def("_write_file", &write_file, py::arg("path"), py::arg("data"),
        "Writes `data` to `path` through a temporary file renamed over it, so a failure\n"
        "(OSError) leaves an existing file as it was; a symbolic link is followed and an\n"
        "existing file keeps its permission bits.");
}

}  // namespace fieldscan
