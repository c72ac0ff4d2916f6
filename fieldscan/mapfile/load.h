// LOAD: reads one map file into SIZE and BMAP.
//
// The records are those of mapfile/map_format.h; the trailing length of a
// record is skipped without being compared.  A record whose L is shorter
// than its items, a length word of 2^31 or more, or a file ending before a
// record's trailing length word is complete is a reading error of that
// record: status 2 (title), 3 (date), 4 (axis texts and ANGLE), 5 (origin
// and integers), 6 (steps and counts) or 8 (a plane).
#pragma once

#include <cstddef>
#include <cstdint>

#include "fieldscan/mapfile/grid.h"
#include "fieldscan/textio/text.h"

namespace fieldscan {

// Opens the file named by MAPNAME (leading and trailing blanks removed)
// read-only, reads it into SIZE and BMAP[0 .. 3*NX*NY*NZ), checks the grid
// against MXS, converts ANGLE to radians and derives the limits.
//
// STATUS 0: SIZE and BMAP hold the map; MESSAGE is left untouched.
// STATUS 1..8: MESSAGE holds the reason, blank-padded to 80 characters:
//   1 "Cannot open the MAP file"        5 "Reading error: X/Y/Z~MIN, ..."
//   2 "Reading error: TITLE"            6 "Reading error: D~X/Y/Z, N~X/Y/Z"
//   3 "Reading error: DATE"             7 " Change the program parameter MXS to"
//   4 "Reading error: AX~A/B/C, ANGLE"    followed by the required size
//                                       8 "Reading error: FIELDs"
// After a failure, every item read completely keeps its new value and planes
// read before the failing one stay in BMAP; the derived limits are unchanged.
// The file is never written.
void LOAD(const Text80& MAPNAME, float BMAP[], const std::int32_t& MXS, Text80& MESSAGE,
          std::int16_t& STATUS);

// Offers the whole pages of BMAP[0 .. count) to the kernel for large pages
// (2 MiB on x86-64).  The first touch of a fresh page is a page fault; a map
// of 12 MB read into 4 KiB pages takes 3,000 of them, which cost more than
// copying its bytes, and in large pages a handful.  Whatever the array's
// first touch reaches is then resident in whole large pages, so only an
// array aligned to them and filled from its start gains.  A hint: the
// kernel may decline, and nothing else changes.
void advise_large_pages(float BMAP[], std::size_t count);

}  // namespace fieldscan
