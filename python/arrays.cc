#include "python/arrays.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <span>
#include <system_error>
#include <thread>
#include <type_traits>

#include "fieldscan/field/batch_threads.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/node.h"
#include "python/interp_bindings.h"

namespace py = pybind11;

namespace fieldscan {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// Below this many points a second thread costs more than it saves.

// ---------------------------------------------------------------------------
// Evaluation of an (N, 3) array of points straight into the result arrays.

struct PointsView {
  const char* data;
  py::ssize_t row_stride, column_stride;
};

template <class T>
T read_number(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Points are evaluated in chunks of this many, small enough for their
// coordinates and results to stay in the first-level cache.
constexpr std::size_t kChunk = 1024;

// The coordinates of n points from `row` on, in single precision, each
// rounded once.
template <class T>
void gather(const PointsView& in, const char* row, std::size_t n, float* x, float* y, float* z) {
  const py::ssize_t rs = in.row_stride, cs = in.column_stride;
  for (std::size_t k = 0; k < n; ++k) {
    const char* at = row + static_cast<py::ssize_t>(k) * rs;
    x[k] = to_single(read_number<T>(at));
    y[k] = to_single(read_number<T>(at + cs));
    z[k] = to_single(read_number<T>(at + 2 * cs));
  }
}

// The same for rows of three consecutive doubles, the usual layout.  When
// every coordinate is within the single-precision range, a plain conversion
// rounds each exactly as to_single() does, and the loops run in vector
// registers.  The range is tested on the upper half of each double's bits:
// at most that of the largest float, less one, which keeps the magnitude
// below it and fails infinities and NaNs; the few numbers between take the
// general way.
void gather_rows(const char* row, std::size_t n, float* x, float* y, float* z) {
  double xyz[3 * kChunk];
  std::memcpy(xyz, row, 3 * n * sizeof(double));
  constexpr auto kLargest = static_cast<std::int32_t>(
      (std::bit_cast<std::uint64_t>(double{std::numeric_limits<float>::max()}) >> 32) - 1);
  constexpr std::size_t kUpper = std::endian::native == std::endian::little ? 4 : 0;
  std::int32_t beyond = 0;
  for (std::size_t k = 0; k < 3 * n; ++k) {
    std::uint32_t upper;
    std::memcpy(&upper, reinterpret_cast<const char*>(xyz + k) + kUpper, sizeof upper);
    beyond |= static_cast<std::int32_t>(upper & 0x7fffffff) > kLargest ? 1 : 0;
  }
  if (beyond != 0) {
    const PointsView view{row, 3 * sizeof(double), sizeof(double)};
    return gather<double>(view, row, n, x, y, z);
  }
  for (std::size_t k = 0; k < n; ++k) {
    x[k] = static_cast<float>(xyz[3 * k]);
    y[k] = static_cast<float>(xyz[3 * k + 1]);
    z[k] = static_cast<float>(xyz[3 * k + 2]);
  }
}

// The results are written straight into the (N, 3) array of single-precision
// values, whose rows have the layout of FieldVector.
static_assert(sizeof(FieldVector) == 3 * sizeof(float) && alignof(FieldVector) == alignof(float));

// Points [begin, end) in chunks small enough to stay in the first-level
// cache: gathered and converted to single precision, evaluated in one batch
// into the results; a point without a field gets NaN.
template <class T>
void evaluate_range(const FieldMap& map, const PointsView& in, std::size_t begin, std::size_t end,
                    float* out, std::int16_t* out_status, Interpolation method) {
  float x[kChunk], y[kChunk], z[kChunk];
  FieldStatus status[kChunk];
  for (std::size_t first = begin; first < end; first += kChunk) {
    const std::size_t n = std::min(kChunk, end - first);
    const char* row = in.data + static_cast<py::ssize_t>(first) * in.row_stride;
    if (std::is_same_v<T, double> && in.row_stride == 3 * sizeof(T) &&
        in.column_stride == sizeof(T)) {
      gather_rows(row, n, x, y, z);
    } else {
      gather<T>(in, row, n, x, y, z);
    }
    float* b = out + 3 * first;
    map.field(std::span(x, n), std::span(y, n), std::span(z, n),
              std::span(reinterpret_cast<FieldVector*>(b), n), std::span(status, n), 1, method);
    static_assert(sizeof(FieldStatus) == sizeof(std::int16_t));
    std::memcpy(out_status + first, status, n * sizeof(FieldStatus));
    int failed = 0;  // any status but 0, found in vector registers
    for (std::size_t k = 0; k < n; ++k) failed |= out_status[first + k];
    for (std::size_t k = 0; failed != 0 && k < n; ++k) {
      if (status[k] != FieldStatus::kOk) b[3 * k] = b[3 * k + 1] = b[3 * k + 2] = kNaN;
    }
  }
}

template <class T>
void evaluate_points(const FieldMap& map, const PointsView& in, std::size_t count, unsigned threads,
                     float* out, std::int16_t* out_status, Interpolation method) {
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(count, 1)));
  std::vector<std::thread> workers;
  const std::size_t share = count / threads;
  std::size_t begin = 0;
  for (unsigned t = 0; t + 1 < threads; ++t, begin += share) {
    try {
      workers.emplace_back(evaluate_range<T>, std::cref(map), std::cref(in), begin, begin + share,
                           out, out_status, method);
    } catch (const std::system_error&) {
      evaluate_range<T>(map, in, begin, begin + share, out, out_status, method);
    }
  }
  evaluate_range<T>(map, in, begin, count, out, out_status, method);
  for (std::thread& worker : workers) worker.join();
}

}  // namespace

unsigned thread_count(std::optional<unsigned> threads, std::size_t points) {
  // threads=None leaves the choice to the batch rule; an explicit 0 is one.
  return batch_threads(points, threads ? std::max(1u, *threads) : 0);
}

py::tuple field_at_points(const FieldMap& map, const py::object& points,
                          std::optional<unsigned> threads, const std::string& method_name) {
  const Interpolation method = interpolation_arg(method_name);
  py::array array = py::array::ensure(points);
  if (!array) throw py::value_error("points must be an array of shape (N, 3)");
  const bool is_double = array.dtype().is(py::dtype::of<double>());
  if (!is_double && !array.dtype().is(py::dtype::of<float>())) {
    array = py::array_t<float, py::array::forcecast>::ensure(array);
    if (!array) throw py::error_already_set();
  }
  if (array.ndim() != 2 || array.shape(1) != 3) {
    throw py::value_error("points must be an array of shape (N, 3)");
  }
  const auto count = static_cast<std::size_t>(array.shape(0));
  py::array_t<float> b({static_cast<py::ssize_t>(count), py::ssize_t{3}});
  py::array_t<std::int16_t> status(static_cast<py::ssize_t>(count));
  const PointsView in{static_cast<const char*>(array.data()), array.strides(0), array.strides(1)};
  float* out = b.mutable_data();
  std::int16_t* out_status = status.mutable_data();
  const unsigned n_threads = thread_count(threads, count);
  {
    py::gil_scoped_release unlocked;
    if (is_double) {
      evaluate_points<double>(map, in, count, n_threads, out, out_status, method);
    } else {
      evaluate_points<float>(map, in, count, n_threads, out, out_status, method);
    }
  }
  return py::make_tuple(b, status);
}

py::tuple field_at_point(const FieldMap& map, double x, double y, double z,
                         const std::string& method) {
  const float fx = to_single(x), fy = to_single(y), fz = to_single(z);
  FieldVector v{kNaN, kNaN, kNaN};
  const FieldStatus status = map.field(fx, fy, fz, v, interpolation_arg(method));
  py::array_t<float> b(3);
  float* o = b.mutable_data();
  const bool ok = status == FieldStatus::kOk;
  o[0] = ok ? v.bx : kNaN;
  o[1] = ok ? v.by : kNaN;
  o[2] = ok ? v.bz : kNaN;
  return py::make_tuple(b, static_cast<int>(status));
}

SampleArrays sample_arrays(const fieldmap::Samples& s, std::vector<py::ssize_t> shape) {
  std::vector<py::ssize_t> shape3 = shape;
  shape3.push_back(3);
  SampleArrays a{py::array_t<float>(shape3), py::array_t<float>(shape3),
                 py::array_t<std::int16_t>(shape)};
  float* p = a.points.mutable_data();
  float* b = a.b.mutable_data();
  std::int16_t* status = a.status.mutable_data();
  for (std::size_t n = 0; n < s.points.size(); ++n) {
    const bool ok = s.fields.status[n] == FieldStatus::kOk;
    p[3 * n] = s.points.x[n];
    p[3 * n + 1] = s.points.y[n];
    p[3 * n + 2] = s.points.z[n];
    b[3 * n] = ok ? s.fields.b[n].bx : kNaN;
    b[3 * n + 1] = ok ? s.fields.b[n].by : kNaN;
    b[3 * n + 2] = ok ? s.fields.b[n].bz : kNaN;
    status[n] = static_cast<std::int16_t>(s.fields.status[n]);
  }
  return a;
}

// The node values as a read-only array over the map's own storage.
py::array values_view(const py::object& self) {
  const FieldMap& map = py::cast<const FieldMap&>(self);
  const MapContents& c = map.contents();
  const bool empty = c.values.empty();
  const py::ssize_t nz = empty ? 0 : c.nz, ny = empty ? 0 : c.ny, nx = empty ? 0 : c.nx;
  py::array view(py::dtype::of<float>(), {nz, ny, nx, py::ssize_t{3}}, c.values.data(), self);
  py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return view;
}

py::array_t<bool> unmeasured(const FieldMap& map) {
  const MapContents& c = map.contents();
  const bool empty = c.values.empty();
  const py::ssize_t nz = empty ? 0 : c.nz, ny = empty ? 0 : c.ny, nx = empty ? 0 : c.nx;
  py::array_t<bool> result({nz, ny, nx});
  bool* out = result.mutable_data();
  for (py::ssize_t n = 0; n < nz * ny * nx; ++n) out[n] = is_unmeasured(&c.values[3 * n]);
  return result;
}

}  // namespace fieldscan
