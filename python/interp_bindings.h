// Bindings of the interpolation choice, resampling and the VTK export.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "fieldscan/field/interpolation.h"

namespace fieldscan {

// method="linear" | "cubic"; ValueError for anything else.
Interpolation interpolation_arg(const std::string& name);

// Map.resample and Map.export_vti, on the module's Map class.
void register_interp_bindings(pybind11::module_& m);

}  // namespace fieldscan
