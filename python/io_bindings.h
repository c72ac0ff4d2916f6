// Bindings of reading and writing maps in every format the kit knows, and
// of pickling a map.
#pragma once

#include <pybind11/pybind11.h>

namespace fieldscan {

// fieldscan.load, Map.save, Map.export and pickling, on the module (whose
// MapError and Map must exist).
void register_io_bindings(pybind11::module_& m);

}  // namespace fieldscan
