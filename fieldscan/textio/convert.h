// Conversion of a fixed-point input field to a single-precision number.
#pragma once

#include <string_view>

namespace fieldscan {

// Converts the text of one fixed-point field (already cut).  Returns false
// on an input conversion failure; `value` is then unchanged.  A field with
// no digit (empty, blank, only a sign or a point) gives +0.0; a zero or a
// value below the float range keeps the sign typed (-0.0).  A value beyond
// the float range, NaN, Inf and every malformed field are failures.
bool convert_fixed(std::string_view field, int decimals, float& value);

}  // namespace fieldscan
