#include "fieldscan/field/field_map.h"

#include <algorithm>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "fieldscan/field/batch_threads.h"
#include "fieldscan/field/cubic.h"
#include "fieldscan/field/evaluate.h"
#include "fieldscan/mapfile/byte_source.h"
#include "fieldscan/mapfile/map_reader.h"

namespace fieldscan {
namespace {

MapError error_of(std::int16_t status, const Text80& message) {
  return MapError{status, std::string(trim_blanks(view(message)))};
}

// Number of values the counts call for: 3 * nx * ny * nz, or none when a
// count is not positive; -1 when it exceeds what memory can address.
std::int64_t values_for(std::int32_t nx, std::int32_t ny, std::int32_t nz) {
  if (nx <= 0 || ny <= 0 || nz <= 0) return 0;
  __extension__ typedef __int128 Wide;
  const Wide n = Wide{3} * nx * ny * nz;
  if (n > static_cast<Wide>(std::vector<float>().max_size())) return -1;
  return static_cast<std::int64_t>(n);
}

using Storage = std::function<float*(std::size_t)>;
using Reader = std::function<std::int16_t(GridSize&, MapContents&, const Storage&, Text80&)>;

// Runs `read` into fresh items; the values get exactly the room they need.
bool read_fresh(const Reader& read, MapContents& contents, GridSize& grid, MapError& error) {
  Text80 message;
  const Storage storage = [&contents](std::size_t n) {
    contents.values.assign(n, 0.0f);
    return contents.values.data();
  };
  const std::int16_t status = read(grid, contents, storage, message);
  if (status == 0) return true;
  error = error_of(status, message);
  return false;
}

}  // namespace

bool FieldMap::load(std::string_view name, FieldMap& map, MapError& error, std::int64_t capacity) {
  FieldMap loaded;
  const Reader read = [&](GridSize& grid, MapContents& items, const Storage& storage,
                          Text80& message) {
    return read_map_file(trim_blanks(name), grid, items, capacity, storage, message);
  };
  if (!read_fresh(read, loaded.contents_, loaded.grid_, error)) return false;
  map = std::move(loaded);
  return true;
}

bool FieldMap::load_bytes(std::string_view bytes, FieldMap& map, MapError& error,
                          std::int64_t capacity) {
  FieldMap loaded;
  MemorySource source(bytes);
  const Reader read = [&](GridSize& grid, MapContents& items, const Storage& storage,
                          Text80& message) {
    return read_map(source, grid, items, capacity, storage, message);
  };
  if (!read_fresh(read, loaded.contents_, loaded.grid_, error)) return false;
  map = std::move(loaded);
  return true;
}

bool FieldMap::from_contents(MapContents contents, FieldMap& map, MapError& error) {
  const std::int64_t n = values_for(contents.nx, contents.ny, contents.nz);
  if (n < 0 || contents.values.size() != static_cast<std::size_t>(n)) {
    error = MapError{8, "Reading error: FIELDs"};
    return false;
  }
  FieldMap made;
  GridSize& g = made.grid_;
  g.XMIN = contents.xmin, g.YMIN = contents.ymin, g.ZMIN = contents.zmin;
  g.DX = contents.dx, g.DY = contents.dy, g.DZ = contents.dz;
  g.NX = contents.nx, g.NY = contents.ny, g.NZ = contents.nz;
  g.IDA = contents.ida, g.IDB = contents.idb, g.IDC = contents.idc;
  g.IMA = contents.ima, g.IMB = contents.imb, g.IMC = contents.imc;
  g.ANGLE = degrees_to_radians(contents.angle);
  derive_limits(g);
  made.contents_ = std::move(contents);
  map = std::move(made);
  return true;
}

FieldStatus FieldMap::field(float x, float y, float z, FieldVector& b) const {
  return field(x, y, z, b, Interpolation::kLinear);
}

FieldStatus FieldMap::field(float x, float y, float z, FieldVector& b, Interpolation method) const {
  float v[3];
  const FieldStatus status =
      evaluate_by(method, grid_, contents_.values.data(),
                  static_cast<std::int64_t>(contents_.values.size()), x, y, z, v);
  if (status == FieldStatus::kOk) b = FieldVector{v[0], v[1], v[2]};
  return status;
}

void FieldMap::field(std::span<const float> x, std::span<const float> y, std::span<const float> z,
                     std::span<FieldVector> b, std::span<FieldStatus> status,
                     unsigned threads) const {
  field(x, y, z, b, status, threads, Interpolation::kLinear);
}

void FieldMap::field(std::span<const float> x, std::span<const float> y, std::span<const float> z,
                     std::span<FieldVector> b, std::span<FieldStatus> status, unsigned threads,
                     Interpolation method) const {
  const std::size_t n = std::min({x.size(), y.size(), z.size(), b.size(), status.size()});
  const auto run = [&](std::size_t begin, std::size_t end) {
    evaluate_many_by(method, grid_, contents_.values.data(),
                     static_cast<std::int64_t>(contents_.values.size()), end - begin,
                     x.data() + begin, y.data() + begin, z.data() + begin, b.data() + begin,
                     status.data() + begin);
  };
  const std::size_t parts = batch_threads(n, threads);
  if (parts == 1) return run(0, n);
  // Each thread takes one contiguous share; a thread that cannot be started
  // leaves its share, and every later one, to this thread.
  std::vector<std::thread> workers;
  workers.reserve(parts - 1);
  const std::size_t chunk = (n + parts - 1) / parts;
  std::size_t started = 1;
  try {
    for (; started < parts; ++started) {
      workers.emplace_back(run, started * chunk, std::min(n, (started + 1) * chunk));
    }
  } catch (const std::system_error&) {
  }
  run(0, std::min(n, chunk));
  if (started < parts) run(started * chunk, n);
  for (auto& w : workers) w.join();
}

}  // namespace fieldscan
