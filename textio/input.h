// Text input: answer lines and the fields cut from them.
//
// A record is one line without its line end (a carriage return directly
// before the line feed is dropped; every other byte is data).  Fields are
// cut by columns; columns past the end of the record count as blanks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "textio/diagnostic.h"

namespace fieldscan {

struct InputRecord {
  std::string text;
  std::size_t cursor = 0;  // 0-based column of the next field
};

class InputStream {
 public:
  // Reads from the open descriptor `fd` (not owned).  The stream reads
  // ahead into its own buffer, so every read of `fd` must go through this
  // one object for as long as the descriptor is in use.
  InputStream(int fd, StreamId id);

  enum class Result { kRecord, kEndOfInput, kError };
  // Reads the next line, of any length, into `record` (cursor at column 1).
  // A last line without a line feed is a record (a carriage return ending
  // it is dropped, as before a line feed); end of input is reported only
  // when no byte is left (an empty line is a record); a descriptor that is
  // closed counts as the end of input.  Other bytes are kept as they are
  // (NUL, control characters, a carriage return inside the line).  On
  // kEndOfInput and kError `record` is left as it was.  A read interrupted
  // by a signal is retried.
  Result read_record(InputRecord& record);

  // As read_record, for reads without an end-of-input branch: end of input
  // is the severe diagnostic 24 and a read error the severe diagnostic 39.
  void read_record_or_fail(InputRecord& record);

  const StreamId& id() const { return id_; }

 private:
  int fd_;
  StreamId id_;
  std::string buffer_;
  std::size_t pos_ = 0;
  bool eof_ = false;
};

// Text field of `width` columns from the record's cursor into a target of
// `target_length` characters.  Columns past the record's end are blanks.
// Equal lengths: the field unchanged.  A narrower field: put at the left,
// the rest blanks.  A wider field: its rightmost `target_length` characters.
// Commas are data here.  Advances the cursor by `width`.
std::string read_text_field(InputRecord& record, std::size_t target_length, std::size_t width);

// Cuts a fixed-point field of up to `width` columns at the cursor (a comma
// ends it early and is consumed) and converts it with `decimals` implied
// decimals.  Returns false on an input conversion failure; `value` is then
// unchanged.  The cursor moves past the columns taken either way.
bool read_fixed_field(InputRecord& record, int width, int decimals, float& value);

// Converts the text of one fixed-point field (already cut).  Returns false
// on an input conversion failure; `value` is then unchanged.  A field with
// no digit (empty, blank, only a sign or a point) gives +0.0; a zero or a
// value below the float range keeps the sign typed (-0.0).  A value beyond
// the float range, NaN, Inf and every malformed field are failures.
bool convert_fixed(std::string_view field, int decimals, float& value);

}  // namespace fieldscan
