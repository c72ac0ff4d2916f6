// Fuzz target for FIELDS on arbitrary grid descriptions and points.
//
// The input describes SIZE (origin, steps, angle, counts, reflection
// indices and limits, each either from a palette of likely values or as raw
// bit patterns: zero, negative and non-finite steps and angles, negative or
// huge counts), a handful of points, and the node values.  Only grids whose
// product 3 * NX * NY * NZ passes the capacity check are taken.
//
// BMAP is a heap array holding exactly the loaded grid: 3 * NX * NY * NZ
// values when every count is positive, none otherwise.  MXS is that size
// plus some slack, and the slack is poisoned, so AddressSanitizer reports
// any read of a node outside the loaded grid, whether past the array or
// inside the capacity but beyond the grid.  Checked for every point:
//  - STATUS is 0..4; on failure MESSAGE is that status's text and BX, BY,
//    BZ are untouched; on success MESSAGE is untouched;
//  - when every node is finite and no larger than 1e37 in magnitude, a
//    success gives finite components (the interpolation is a weighted mean
//    with weights in [0, 1] summing to 1, and the sector unfold is a
//    rotation, which at most multiplies the magnitude by the square root
//    of 2);
//  - a second call with the same arguments gives the same bits (FIELDS
//    keeps no state);
//  - every way of evaluating the points as a batch (vector code for each
//    instruction set this processor has, and point by point) gives
//    FIELDS' statuses and bits, and leaves the failed points' fields alone.
// Any difference aborts.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fieldscan/field/evaluate.h"
#include "fieldscan/field/fields.h"
#include "fieldscan/mapfile/grid.h"

#if defined(__SANITIZE_ADDRESS__)
#define FIELDS_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FIELDS_FUZZ_ASAN 1
#endif
#endif
#ifdef FIELDS_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

using fieldscan::SIZE;

// Grids of at most this many values are evaluated; larger ones would fit
// the tool's MXS but only slow the fuzzer down.
constexpr std::int64_t kMaxValues = 3 * 65536;
constexpr std::size_t kMaxInput = 1 << 16;
constexpr float kBound = 1e37f;

// Reads the input front to back; past its end every read gives zeros.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(u8()) << (8 * i);
    return v;
  }
  float raw_float() { return std::bit_cast<float>(u32()); }
  bool empty() const { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

[[noreturn]] void fail(const char* what, float x, float y, float z, int status) {
  std::fprintf(stderr, "fields_fuzz: %s at (%a, %a, %a), status %d\n", what, static_cast<double>(x),
               static_cast<double>(y), static_cast<double>(z), status);
  std::abort();
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

float to_float(double v) {
  if (std::isnan(v) || std::fabs(v) <= 3.4028234663852886e38) return static_cast<float>(v);
  return v > 0 ? INFINITY : -INFINITY;
}

float origin(Bytes& in, bool raw) {
  return raw ? in.raw_float() : static_cast<float>(static_cast<std::int8_t>(in.u8())) / 4.0f;
}

float step(Bytes& in, bool raw) {
  static const float palette[] = {1.0f, 0.5f, 2.0f, 0.25f, 0.0f, -1.0f, 1e-30f, 3.0f};
  return raw ? in.raw_float() : palette[in.u8() % 8];
}

std::int32_t count(Bytes& in, bool raw) {
  return raw ? static_cast<std::int32_t>(in.u32()) : static_cast<std::int32_t>(in.u8() % 10) - 2;
}

// The limits as the loader derives them from the other members.
void derive_limits() {
  const double P = static_cast<double>(static_cast<float>(3.14159265358979323846));
  const bool quadrant =
      std::fabs(static_cast<double>(SIZE.ANGLE) - P * 0.5) < static_cast<double>(1.0e-5f);
  const double lx = (static_cast<double>(SIZE.NX) - 1.0) * SIZE.DX;
  const double ly = quadrant ? (static_cast<double>(SIZE.NY) - 1.0) * SIZE.DY : lx;
  const double lz = (static_cast<double>(SIZE.NZ) - 1.0) * SIZE.DZ;
  SIZE.XHIGH = to_float(SIZE.XMIN + lx);
  SIZE.YHIGH = to_float(SIZE.YMIN + ly);
  SIZE.ZHIGH = to_float(SIZE.ZMIN + lz);
  SIZE.XLOW = SIZE.IDA != 0 ? to_float(SIZE.XMIN - lx) : SIZE.XMIN;
  SIZE.YLOW = SIZE.IDB != 0 ? to_float(SIZE.YMIN - ly) : SIZE.YMIN;
  SIZE.ZLOW = SIZE.IDC != 0 ? to_float(SIZE.ZMIN - lz) : SIZE.ZMIN;
}

// One coordinate of a point: raw bits, a limit, a limit nudged by one ulp,
// or a position in steps from the origin.
float coordinate(Bytes& in, float origin, float step, float low, float high) {
  const std::uint8_t mode = in.u8();
  switch (mode % 6) {
    case 0:
      return in.raw_float();
    case 1:
      return low;
    case 2:
      return high;
    case 3:
      return std::nextafter(high, INFINITY);
    case 4:
      return std::nextafter(low, -INFINITY);
    default: {
      const double s = std::isfinite(step) && step != 0.0f ? step : 1.0;
      return to_float(origin + s * static_cast<double>(static_cast<std::int8_t>(in.u8())) / 8.0);
    }
  }
}

struct Point {
  float x, y, z;
};

const char* const kMessages[] = {nullptr, "Point is outside X-limits", "Point is outside Y-limits",
                                 "Point is outside Z-limits", "Non measured point - probably iron"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  Bytes in(data, size);

  // The grid description.
  const std::uint8_t mode = in.u8();
  SIZE = fieldscan::GridSize{};
  SIZE.XMIN = origin(in, mode & 1);
  SIZE.YMIN = origin(in, mode & 1);
  SIZE.ZMIN = origin(in, mode & 1);
  SIZE.DX = step(in, mode & 2);
  SIZE.DY = step(in, mode & 2);
  SIZE.DZ = step(in, mode & 2);
  if (mode & 4) {
    SIZE.ANGLE = in.raw_float();
  } else {
    static const float degrees[] = {0, 30, 45, 90, 60, 22.5f, -30, 120, 180, 5, 89.9999f, 1e-3f};
    const float P = static_cast<float>(3.14159265358979323846);
    SIZE.ANGLE = static_cast<float>(static_cast<double>(degrees[in.u8() % 12]) / 180.0 * P);
  }
  SIZE.NX = count(in, mode & 8);
  SIZE.NY = count(in, mode & 8);
  SIZE.NZ = count(in, mode & 8);
  if (mode & 16) {
    SIZE.IDA = static_cast<std::int32_t>(in.u32());
    SIZE.IDB = static_cast<std::int32_t>(in.u32());
    SIZE.IDC = static_cast<std::int32_t>(in.u32());
  } else {
    SIZE.IDA = in.u8() % 3;
    SIZE.IDB = in.u8() % 3;
    SIZE.IDC = in.u8() % 3;
  }
  if (mode & 32) {
    float* limits[] = {&SIZE.XLOW, &SIZE.YLOW, &SIZE.ZLOW, &SIZE.XHIGH, &SIZE.YHIGH, &SIZE.ZHIGH};
    for (float* l : limits) *l = in.raw_float();
  } else {
    derive_limits();
  }

  // The capacity check of the loader, on the exact product.
  const __int128 required = static_cast<__int128>(3) * SIZE.NX * SIZE.NY * SIZE.NZ;
  if (required > fieldscan::MXS) return 0;
  const bool loaded = SIZE.NX > 0 && SIZE.NY > 0 && SIZE.NZ > 0;
  const std::int64_t values = loaded ? static_cast<std::int64_t>(required) : 0;
  if (values > kMaxValues) return 0;
  const std::int64_t per_plane = loaded ? 3 * static_cast<std::int64_t>(SIZE.NX) * SIZE.NY : 0;
  std::int64_t slack = 0;
  switch (in.u8() % 4) {
    case 1:
      slack = 3;
      break;
    case 2:
      slack = per_plane;
      break;
    case 3:
      slack = per_plane + 5;
      break;
    default:
      break;
  }
  if (slack > kMaxValues) slack = 0;

  // The points.
  std::vector<Point> points(1 + in.u8() % 16);
  for (Point& p : points) {
    p.x = coordinate(in, SIZE.XMIN, SIZE.DX, SIZE.XLOW, SIZE.XHIGH);
    p.y = coordinate(in, SIZE.YMIN, SIZE.DY, SIZE.YLOW, SIZE.YHIGH);
    p.z = coordinate(in, SIZE.ZMIN, SIZE.DZ, SIZE.ZLOW, SIZE.ZHIGH);
  }

  // The node values: measured, unmeasured, partly marked, huge or raw.
  std::vector<float> storage(static_cast<std::size_t>(values + slack));
  bool bounded = true;
  for (std::int64_t n = 0; n + 2 < values; n += 3) {
    float* node = storage.data() + n;
    const std::uint8_t kind = in.empty() ? 0 : in.u8();
    switch (kind % 6) {
      case 0:
        node[0] = static_cast<float>(n % 97) * 0.5f;
        node[1] = -static_cast<float>(n % 13);
        node[2] = 1000.0f + static_cast<float>(n);
        break;
      case 1:
        node[0] = node[1] = node[2] = 999999.0f;
        break;
      case 2:
        node[0] = node[1] = 999999.0f;
        node[2] = -3.0f;
        break;
      case 3:
        node[0] = node[1] = node[2] = 900000.0f;
        break;
      case 4:
        node[0] = kBound;
        node[1] = -kBound;
        node[2] = kBound;
        break;
      default:
        for (int c = 0; c < 3; ++c) {
          node[c] = in.raw_float();
          if (!(std::fabs(node[c]) <= kBound)) bounded = false;
        }
        break;
    }
  }
  float* BMAP = storage.data();
  const std::int32_t MXS = static_cast<std::int32_t>(values + slack);
#ifdef FIELDS_FUZZ_ASAN
  ASAN_POISON_MEMORY_REGION(BMAP + values, static_cast<std::size_t>(slack) * sizeof(float));
#endif

  const auto callers = fieldscan::make_text<80>("the caller's message");
  std::vector<fieldscan::FieldVector> fields;
  std::vector<std::int16_t> statuses;
  for (const Point& p : points) {
    float BX = 11.5f, BY = -22.5f, BZ = 33.25f;
    fieldscan::Text80 MESSAGE = callers;
    std::int16_t STATUS = -1;
    fieldscan::FIELDS(BMAP, MXS, p.x, p.y, p.z, BX, BY, BZ, MESSAGE, STATUS);
    if (STATUS < 0 || STATUS > 4) fail("status outside 0..4", p.x, p.y, p.z, STATUS);
    if (STATUS == 0) {
      if (MESSAGE != callers) fail("message changed on success", p.x, p.y, p.z, STATUS);
      if (bounded && !(std::isfinite(BX) && std::isfinite(BY) && std::isfinite(BZ)))
        fail("non-finite field from finite nodes", p.x, p.y, p.z, STATUS);
    } else {
      if (bits(BX) != bits(11.5f) || bits(BY) != bits(-22.5f) || bits(BZ) != bits(33.25f))
        fail("components changed on failure", p.x, p.y, p.z, STATUS);
      if (MESSAGE != fieldscan::make_text<80>(kMessages[STATUS]))
        fail("message text", p.x, p.y, p.z, STATUS);
    }

    float AX = 0.0f, AY = 0.0f, AZ = 0.0f;
    fieldscan::Text80 again = callers;
    std::int16_t again_status = -1;
    fieldscan::FIELDS(BMAP, MXS, p.x, p.y, p.z, AX, AY, AZ, again, again_status);
    if (again_status != STATUS || again != MESSAGE ||
        (STATUS == 0 && (bits(AX) != bits(BX) || bits(AY) != bits(BY) || bits(AZ) != bits(BZ))))
      fail("a second call differs", p.x, p.y, p.z, STATUS);
    fields.push_back({BX, BY, BZ});
    statuses.push_back(STATUS);
  }

  std::vector<float> xs, ys, zs;
  for (const Point& p : points) xs.push_back(p.x), ys.push_back(p.y), zs.push_back(p.z);
  for (const fieldscan::BatchVariant& variant : fieldscan::batch_variants()) {
    std::vector<fieldscan::FieldVector> b(points.size(), {11.5f, -22.5f, 33.25f});
    std::vector<fieldscan::FieldStatus> s(points.size());
    variant.run(SIZE, BMAP, MXS, points.size(), xs.data(), ys.data(), zs.data(), b.data(),
                s.data());
    for (std::size_t n = 0; n < points.size(); ++n) {
      const Point& p = points[n];
      if (static_cast<std::int16_t>(s[n]) != statuses[n]) {
        fail(variant.name, p.x, p.y, p.z, static_cast<int>(s[n]));
      }
      if (bits(b[n].bx) != bits(fields[n].bx) || bits(b[n].by) != bits(fields[n].by) ||
          bits(b[n].bz) != bits(fields[n].bz)) {
        fail(variant.name, p.x, p.y, p.z, statuses[n]);
      }
    }
  }

#ifdef FIELDS_FUZZ_ASAN
  ASAN_UNPOISON_MEMORY_REGION(BMAP + values, static_cast<std::size_t>(slack) * sizeof(float));
#endif
  return 0;
}
