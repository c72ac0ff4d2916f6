// Registers Harmonics and the methods harmonics, gradient and check of
// Map (which must already be registered) in the module.
#pragma once

#include <pybind11/pybind11.h>

namespace fieldscan {

void register_analysis(pybind11::module_& m);

}  // namespace fieldscan
