// Fuzz target for the map loader: arbitrary bytes as the content of a map
// file, read through the loader's own reading code (an in-memory byte
// source in place of the open file).
//
// BMAP is a heap array of exactly MXS values, so AddressSanitizer sees any
// access past it.  Every outcome is checked against an independent reading
// of the format (map_model.h):
//  - STATUS is the model's status (0, 2..8) and MESSAGE its text; a
//    successful load leaves MESSAGE as the caller had it;
//  - on success SIZE holds the header items and the derived limits, BMAP
//    holds exactly the file's plane bytes, the elements after them are
//    untouched, and the loader read no byte past the last record it needed;
//  - on failure the derived limits are untouched and every plane read
//    completely before the failing one is in BMAP.
// Any difference aborts.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "fieldscan/mapfile/byte_source.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_reader.h"
#include "testsupport/map_model.h"

namespace {

using fieldscan::GridSize;
using fieldscan::SIZE;

// A small capacity (a 16 x 16 x 16 grid fills it exactly), so that the
// capacity check and full arrays are reached by small inputs.
constexpr std::int32_t kCapacity = 3 * 4096;
constexpr std::size_t kMaxInput = 1 << 16;
constexpr std::uint32_t kSentinelBits = 0x7FA5A5A5u;  // a NaN no file value needs to hold
constexpr float kLimitSentinel = -31.75f;

[[noreturn]] void fail(const char* what, int status, int expected) {
  std::fprintf(stderr, "load_fuzz: %s (status %d, model %d)\n", what, status, expected);
  std::abort();
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// The single-precision rounding of a limit computed in double, or nothing
// when the double is beyond the single-precision range (left open here).
bool same_limit(float actual, double exact) {
  if (std::isnan(exact)) return std::isnan(actual);
  if (std::fabs(exact) > std::numeric_limits<float>::max()) return true;
  return bits(actual) == bits(static_cast<float>(exact));
}

void check_limits(const fieldscan::model::MapModel& m) {
  // pi in single precision, as the loader takes it; the angle in radians.
  const double P = static_cast<double>(static_cast<float>(3.14159265358979323846));
  const double a = static_cast<double>(m.angle_degrees) / 180.0 * P;
  if (std::fabs(a) <= std::numeric_limits<float>::max() && !std::isnan(a) &&
      bits(SIZE.ANGLE) != bits(static_cast<float>(a)))
    fail("ANGLE in radians", 0, 0);
  const double angle = SIZE.ANGLE;
  const bool quadrant = std::fabs(angle - P * 0.5) < static_cast<double>(1.0e-5f);
  const double lx = (static_cast<double>(m.nx) - 1.0) * m.dx;
  const double ly = quadrant ? (static_cast<double>(m.ny) - 1.0) * m.dy : lx;
  const double lz = (static_cast<double>(m.nz) - 1.0) * m.dz;
  if (!same_limit(SIZE.XHIGH, m.xmin + lx)) fail("XHIGH", 0, 0);
  if (!same_limit(SIZE.YHIGH, m.ymin + ly)) fail("YHIGH", 0, 0);
  if (!same_limit(SIZE.ZHIGH, m.zmin + lz)) fail("ZHIGH", 0, 0);
  if (!same_limit(SIZE.XLOW, m.ida != 0 ? m.xmin - lx : m.xmin)) fail("XLOW", 0, 0);
  if (!same_limit(SIZE.YLOW, m.idb != 0 ? m.ymin - ly : m.ymin)) fail("YLOW", 0, 0);
  if (!same_limit(SIZE.ZLOW, m.idc != 0 ? m.zmin - lz : m.zmin)) fail("ZLOW", 0, 0);
}

void check_header(const fieldscan::model::MapModel& m) {
  const float reals[][2] = {{SIZE.XMIN, m.xmin}, {SIZE.YMIN, m.ymin}, {SIZE.ZMIN, m.zmin},
                            {SIZE.DX, m.dx},     {SIZE.DY, m.dy},     {SIZE.DZ, m.dz}};
  for (const auto& r : reals)
    if (bits(r[0]) != bits(r[1])) fail("a real of records 4 or 5", 0, 0);
  const std::int32_t ints[][2] = {{SIZE.NX, m.nx},   {SIZE.NY, m.ny},   {SIZE.NZ, m.nz},
                                  {SIZE.IDA, m.ida}, {SIZE.IDB, m.idb}, {SIZE.IDC, m.idc},
                                  {SIZE.IMA, m.ima}, {SIZE.IMB, m.imb}, {SIZE.IMC, m.imc}};
  for (const auto& i : ints)
    if (i[0] != i[1]) fail("an integer of records 4 or 5", 0, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // Exactly MXS values on the heap, each holding a sentinel pattern.
  std::vector<float> storage(kCapacity, std::bit_cast<float>(kSentinelBits));
  float* BMAP = storage.data();
  const std::int32_t MXS = kCapacity;

  SIZE = GridSize{};
  SIZE.XLOW = SIZE.YLOW = SIZE.ZLOW = kLimitSentinel;
  SIZE.XHIGH = SIZE.YHIGH = SIZE.ZHIGH = kLimitSentinel;
  const auto callers = fieldscan::make_text<80>("the caller's message");
  fieldscan::Text80 MESSAGE = callers;
  std::int16_t STATUS = -1;

  fieldscan::MemorySource source(bytes);
  fieldscan::load_from_source(source, BMAP, MXS, MESSAGE, STATUS);

  const fieldscan::model::MapModel m = fieldscan::model::read_map(bytes, MXS);
  if (STATUS != m.status) fail("status differs from the format", STATUS, m.status);

  const std::string_view message = fieldscan::view(MESSAGE);
  if (STATUS == 0) {
    if (MESSAGE != callers) fail("message changed on success", STATUS, m.status);
    if (source.position() != m.end) fail("read past the last record needed", STATUS, m.status);
    check_header(m);
    check_limits(m);
    if (std::memcmp(BMAP, m.planes.data(), m.planes.size()) != 0)
      fail("BMAP differs from the plane bytes", STATUS, m.status);
    for (std::size_t n = m.planes.size() / 4; n < storage.size(); ++n)
      if (bits(BMAP[n]) != kSentinelBits) fail("BMAP written past the planes", STATUS, m.status);
    return 0;
  }

  if (STATUS == 7) {
    const std::string expected = fieldscan::model::capacity_message(m.required);
    if (m.required <= std::numeric_limits<std::int32_t>::max()) {
      if (message != expected) fail("capacity message", STATUS, m.status);
    } else if (message.substr(0, 36) != " Change the program parameter MXS to" ||
               message.substr(48) != std::string(32, ' ')) {
      fail("capacity message of a size beyond 32 bits", STATUS, m.status);
    }
  } else {
    std::string expected(fieldscan::model::fixed_message(STATUS));
    expected.resize(80, ' ');
    if (message != expected) fail("message text", STATUS, m.status);
  }
  const float limits[] = {SIZE.XLOW, SIZE.YLOW, SIZE.ZLOW, SIZE.XHIGH, SIZE.YHIGH, SIZE.ZHIGH};
  for (float l : limits)
    if (bits(l) != bits(kLimitSentinel)) fail("limits changed by a failed load", STATUS, m.status);
  if (std::memcmp(BMAP, m.planes.data(), m.planes.size()) != 0)
    fail("planes read before the failing one are not in BMAP", STATUS, m.status);
  return 0;
}
