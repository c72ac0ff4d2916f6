// Bytes of other people's text that do not look like what they are:
// Unicode spaces where a reader expects a blank, bytes that do not print in
// a message that quotes the text, and keywords in any case.
#pragma once

#include <string>
#include <string_view>

namespace fieldscan::fieldmap {

// `line` with each Unicode space that word processors and spreadsheets put
// between words (U+00A0 no-break space, U+2007 figure space, U+202F narrow
// no-break space, in UTF-8) replaced by as many ASCII blanks as it has
// bytes, so that byte columns stay where they were.  `line` itself when it
// holds none; otherwise a view of `storage`, valid until it changes.
std::string_view blank_unicode_spaces(std::string_view line, std::string& storage);

// `text` with every byte that does not print written as \xHH (two upper-case
// hex digits): ASCII control bytes and DEL, bytes that are not part of valid
// UTF-8, and the UTF-8 of characters that show as nothing or as a blank
// (C1 controls, no-break and other Unicode spaces, zero-width characters,
// the byte-order mark).  Printable UTF-8 stays as it is.  Every message that
// quotes input text goes through this, so that a message never hides its
// cause.
std::string printable(std::string_view text);

// `text` with ASCII letters in lower case (every other byte as it is), for
// matching the keywords and unit names of a file whatever their case.
std::string lower(std::string_view text);

}  // namespace fieldscan::fieldmap
