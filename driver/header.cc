#include "driver/header.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace fieldscan {
namespace {

// The rotation that repeats the sector of angle |angle| (radians) over the
// full quarter turn: P2 / |angle| taken to the nearest integer, halves away
// from zero, minus one.  The quotient is never stored, so it is rounded in
// double precision.  Counts that no 32-bit integer holds are pinned to a
// value that still shows as overflow in the one-column field.
std::int32_t repeat_count(float angle, float p2) {
  const double quotient = static_cast<double>(p2) / std::fabs(static_cast<double>(angle));
  if (!std::isfinite(quotient) || quotient > 1e9) return 1'000'000'000;
  return static_cast<std::int32_t>(std::round(quotient)) - 1;
}

void write_coordinates(OutputStream& console, std::string_view label, float a, float b, float c) {
  Record row;
  row.skip(5).literal(label).fixed(a, 10, 3).fixed(b, 10, 3).fixed(c, 10, 3);
  console.write_record(row);
}

}  // namespace

void write_map_header(OutputStream& console, const GridSize& size) {
  // Pi/2 in single precision, as the two-argument arc tangent gives it.
  const float p2 = static_cast<float>(std::atan2(1.0, 0.0));

  console.write_free_form({});

  Record angle_row;
  angle_row.skip(5).literal("Rotation angle      -> ");
  if (size.ANGLE != 0.0f) {
    const float scaled = static_cast<float>(static_cast<double>(size.ANGLE) * 90.0);
    const float degrees = static_cast<float>(static_cast<double>(scaled) / p2);
    angle_row.fixed(degrees, 7, 1)
        .literal(" (rot.")
        .integer(repeat_count(size.ANGLE, p2), 1)
        .literal("x)");
  } else {
    angle_row.fixed(0.0f, 7, 1).literal(" (rot.all)");
  }
  console.write_record(angle_row);

  Record indices;
  indices.skip(5).literal("Reflection indices  -> ");
  for (const std::int32_t id : {size.IDA, size.IDB, size.IDC}) indices.integer(id, 7).skip(3);
  console.write_record(indices);

  console.write_free_form({});
  write_coordinates(console, "Reference point  -> ", size.XMIN, size.YMIN, size.ZMIN);
  console.write_free_form({});
  write_coordinates(console, "Starting point   -> ", size.XLOW, size.YLOW, size.ZLOW);
  write_coordinates(console, "End point        -> ", size.XHIGH, size.YHIGH, size.ZHIGH);
  write_coordinates(console, "Step size        -> ", size.DX, size.DY, size.DZ);
}

}  // namespace fieldscan
