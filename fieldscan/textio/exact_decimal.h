// Exact decimal rounding of single-precision magnitudes.
//
// A finite single-precision number is m * 2^e with an integer m < 2^24 and
// -149 <= e <= 104, so its magnitude is below 2^128 and its lowest bit is
// 2^-149.  It is therefore held without loss as a binary fixed-point number
// of 128 integer bits and 160 fraction bits, from which the decimal digits
// are produced exactly (no intermediate rounding anywhere).
#pragma once

#include <string>

namespace fieldscan {

struct DecimalDigits {
  std::string integer;   // decimal digits without leading zeros; empty below 1
  std::string fraction;  // exactly the requested number of digits
};

// The magnitude of the finite value `value` rounded to `decimals` (>= 0)
// fraction digits; a remainder of exactly one half or more rounds up.
DecimalDigits round_to_decimals(float value, int decimals);

}  // namespace fieldscan
