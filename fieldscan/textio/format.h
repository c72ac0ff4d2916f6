// Rendering of single values into fixed-width fields.
//
// Each function returns exactly `w` characters (w >= 1).  A value that does
// not fit is rendered as `w` asterisks; `is_overflow` tells such a field
// apart (no value that fits renders as all asterisks).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fieldscan {

// Fixed-point field of width w with d decimals (0 <= d < w).  Works on the
// exact value of the single-precision number and rounds a remainder of one
// half or more away from zero.  A negative value that rounds to zero has no
// sign.  The zero before the point is written when there is room for it.
// Non-finite values are " NaN", " Infinity", " -Infinity", left-aligned
// and blank-filled; nonzero subnormal magnitudes use an exponent form.
// A field one column narrower than the non-finite form drops its leading
// blank, a narrower one is asterisks.  A subnormal shows as an unsigned zero
// in exponent form, right-aligned ("0.000E+00" for w10.d3, the zero before
// the point only when there is room), asterisks when w < d + 5.
std::string format_fixed(float value, int w, int d);

// Integer field of width w: decimal digits, a minus sign for a negative
// value, right-aligned; asterisks when wider than w.
std::string format_integer(std::int32_t value, int w);

// Text field of width w for a text value: copied when w equals its length,
// right-aligned after blanks when wider, cut to its first w characters when
// narrower.
std::string format_text(std::string_view value, int w);

// True when `field` is the asterisk fill of a value that did not fit.
bool is_overflow(std::string_view field);

}  // namespace fieldscan
