#include "fieldscan/textio/record.h"

#include <algorithm>

#include "fieldscan/textio/format.h"

namespace fieldscan {

Record& Record::skip(int n) {
  if (n > 0) cursor_ += static_cast<std::size_t>(n);
  return *this;
}

Record& Record::literal(std::string_view s) {
  put(s);
  return *this;
}

// A text field as wide as its value is the value itself.
Record& Record::text(std::string_view s) {
  put(s);
  return *this;
}

Record& Record::integer(std::int32_t v, int w) {
  const std::string field = format_integer(v, w);
  if (is_overflow(field)) overflowed_ = true;
  put(field);
  return *this;
}

Record& Record::fixed(float v, int w, int d) {
  const std::string field = format_fixed(v, w, d);
  if (is_overflow(field)) overflowed_ = true;
  put(field);
  return *this;
}

Record& Record::open_line() {
  open_line_ = true;
  return *this;
}

// Writes `s` at the cursor; columns between the old end of the line and the
// cursor (passed by skips) become blanks.  Writing nothing changes nothing.
void Record::put(std::string_view s) {
  if (s.empty()) return;
  const std::size_t end = cursor_ + s.size();
  if (buf_.size() < end) buf_.resize(end, ' ');
  std::copy(s.begin(), s.end(), buf_.begin() + static_cast<std::ptrdiff_t>(cursor_));
  cursor_ = end;
  high_ = std::max(high_, end);
}

}  // namespace fieldscan
