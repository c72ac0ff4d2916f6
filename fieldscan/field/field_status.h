// What one evaluation of a map gives: the field at a point, or why the
// point has none.
#pragma once

#include <cstdint>
#include <string_view>

namespace fieldscan {

// Why a point has no field; the values are FIELDS' status codes.
enum class FieldStatus : std::int16_t {
  kOk = 0,
  kOutsideX = 1,
  kOutsideY = 2,
  kOutsideZ = 3,
  kUnmeasured = 4,
};

// FIELDS' message for `status` without its blank padding ("Point is outside
// X-limits", ..., "Non measured point - probably iron"); empty for kOk.
std::string_view field_message(FieldStatus status);

// The three components of the field at a point.
struct FieldVector {
  float bx = 0, by = 0, bz = 0;
};

}  // namespace fieldscan
