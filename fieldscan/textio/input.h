// Text input: answer lines and the fields cut from them.
//
// A record is one line without its line end (a carriage return directly
// before the line feed is dropped; every other byte is data).  Fields are
// cut by columns; columns past the end of the record count as blanks.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "fieldscan/textio/diagnostic.h"

namespace fieldscan {

// Columns of a line that are kept in its record; the rest of a longer line
// is read and discarded.  No answer of the dialogue is looked at beyond
// its 80th column (the map name and the height answer are 80-character
// texts, the other fields are shorter).
constexpr std::size_t kRecordColumns = 80;

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
  // Reads the next line, of any length, into `record` (cursor at column 1);
  // the record keeps its first kRecordColumns characters, so memory does
  // not grow with the line.  A last line without a line feed is a record (a
  // carriage return ending it is dropped, as before a line feed); end of
  // input is reported only when no byte is left (an empty line is a
  // record); a descriptor that is closed counts as the end of input.  Other
  // bytes are kept as they are (NUL, control characters, a carriage return
  // inside the line).  On kEndOfInput and kError `record` is left as it
  // was.  A read interrupted by a signal is retried, and a non-blocking
  // descriptor without data is waited for.
  Result read_record(InputRecord& record);

  // As read_record, for reads without an end-of-input branch: end of input
  // is the severe diagnostic 24 and a read error the severe diagnostic 39.
  void read_record_or_fail(InputRecord& record);

  const StreamId& id() const { return id_; }

 private:
  // Reads the next chunk into the buffer; false when the operating system
  // refuses.  Sets eof_ at the end of input.
  bool fill();
  // Hands the line read so far out as a record and starts the next one.
  Result hand_out(InputRecord& record);

  int fd_;
  StreamId id_;
  std::unique_ptr<char[]> buffer_;  // bytes [pos_, end_) not yet taken
  std::size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  std::string line_;       // the kept columns of the line being read
  bool too_long_ = false;  // the line has more columns than line_ keeps
  bool in_line_ = false;   // a byte of the line has been read
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

}  // namespace fieldscan
