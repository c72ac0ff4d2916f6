// Output streams: the console and listing files.
//
// Every record is handed to the operating system as it is written (no
// buffering), so a refused write is seen at that record and a record that
// was printed is never lost afterwards.  A refused write is the severe
// diagnostic 38 for the stream.  A record holding an asterisk field is
// followed by the diagnostic 63 for the stream.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "fieldscan/textio/diagnostic.h"
#include "fieldscan/textio/record.h"
#include "fieldscan/textio/text.h"

namespace fieldscan {

class OutputStream {
 public:
  // Writes to the open descriptor `fd` (not owned).
  OutputStream(int fd, StreamId id);
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // Opens (or creates) the listing file `name` in the working directory for
  // writing at its start without cutting it; the first record written cuts
  // off the former content.  Returns false when the file cannot be opened.
  bool open_listing(const std::string& name);
  // Closes a listing file opened by open_listing (no effect otherwise).
  void close();

  // The record's columns, then carriage return and line feed unless the
  // record ends with the open-line ending.
  void write_record(const Record& record);

  // Free-form output: records of at most 80 columns, each beginning with one
  // blank; a text longer than the room left continues on the next record;
  // an integer is a field of width 12.  No items give a record of one blank.
  using Item = std::variant<std::string_view, std::int32_t>;
  void write_free_form(std::initializer_list<Item> items);

  const StreamId& id() const { return id_; }

 private:
  void write_bytes(std::string_view bytes);

  int fd_;
  bool owned_ = false;
  bool cut_pending_ = false;  // listing file: cut at the first record
  StreamId id_;
};

// A record written into a text variable: the record's columns, then blanks
// to the end of the text.  An asterisk field gives the diagnostic 63 for
// unit -5, "Internal Formatted Write".
void write_record_to_text(Text80& text, const Record& record);

// Free-form output into a text variable: one blank, the items in order
// (texts unchanged, integers as fields of width 12), then blanks.
void write_free_form_to_text(Text80& text, std::initializer_list<OutputStream::Item> items);

}  // namespace fieldscan
