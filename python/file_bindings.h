// Paths and files for Python: the path forms open() takes, the OSError a
// failed write raises, and the atomic write of any bytes.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace fieldscan {

// A path as open() takes it: str, bytes or os.PathLike, in the file
// system's encoding (the undecodable bytes of a str given back as they were).
std::string path_of(const pybind11::object& path);

// Raises the OSError for writing `path` (str, bytes or os.PathLike) failed
// for the reason `why`: the subclass open() would raise for that reason
// (IsADirectoryError, ...), or OSError with the reason.
[[noreturn]] void raise_write_error(const pybind11::object& path, const std::string& why);

// _write_file(path, data): the bytes written through the atomic file.
void register_file_bindings(pybind11::module_& m);

}  // namespace fieldscan
