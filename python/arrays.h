// The conversion of NumPy arrays: the points given to the map and the
// fields, statuses and node values handed back.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fieldscan/field/field_map.h"
#include "fieldscan/query/sample.h"

namespace fieldscan {

// The threads a batch of `points` uses: `threads` when given (at most 64),
// else one below 50,000 points and one per core above.
unsigned thread_count(std::optional<unsigned> threads, std::size_t points);

// The field at the rows of an (N, 3) array of points (float64 or float32,
// any strides; anything else converted to float32): the (N, 3) float32
// field, NaN where there is none, and the N statuses.
pybind11::tuple field_at_points(const FieldMap& map, const pybind11::object& points,
                                std::optional<unsigned> threads, const std::string& method_name);

// The field at one point: a float32 array of three and the status.
pybind11::tuple field_at_point(const FieldMap& map, double x, double y, double z,
                               const std::string& method);

// The samples' points, field and status as arrays of the given leading
// shape; the field is NaN where it was not evaluated.
struct SampleArrays {
  pybind11::array_t<float> points, b;
  pybind11::array_t<std::int16_t> status;
};

SampleArrays sample_arrays(const fieldmap::Samples& s, std::vector<pybind11::ssize_t> shape);

// The node values of the Map `self` as a read-only (NZ, NY, NX, 3) array
// over the map's own storage.
pybind11::array values_view(const pybind11::object& self);

// Which nodes of `map` are unmeasured, as an (NZ, NY, NX) array.
pybind11::array_t<bool> unmeasured(const FieldMap& map);

}  // namespace fieldscan
