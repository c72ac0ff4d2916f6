// Numbers in text tables: exact parsing and shortest exact printing.
//
// Parsing takes a whole token (no blanks) and accepts what std::from_chars
// accepts in general format (decimal, exponent, "inf", "infinity", "nan"),
// plus one leading '+'.  A decimal whose magnitude is beyond the target type
// gives an infinity (overflow) or a signed zero (underflow) rather than a
// failure, so that a table can carry such values and the caller decides what
// they mean.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fieldscan::fieldmap {

// The correctly rounded single-precision value of `token`.  False, with
// `value` untouched, when the token is not entirely one number.
bool parse_float(std::string_view token, float& value);

// As parse_float, in double precision.
bool parse_double(std::string_view token, double& value);

// A decimal integer (optional sign) that fits 64 bits.  False, `value`
// untouched, otherwise.
bool parse_int64(std::string_view token, std::int64_t& value);

// Appends the shortest decimal text that parse_float reads back as exactly
// `value` (for NaN: "nan" or "-nan"; for infinities "inf" or "-inf").
void append_float(std::string& out, float value);

// The same text as a string of its own.
std::string float_text(float value);

}  // namespace fieldscan::fieldmap
