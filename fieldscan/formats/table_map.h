// A field table in any format the kit reads, turned into the contents of a
// map file: the rows on their grid, the table's "#map" header lines and its
// units in the map header.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "fieldscan/formats/formats.h"
#include "fieldscan/formats/grid_finder.h"
#include "fieldscan/formats/table_error.h"
#include "fieldscan/formats/units.h"
#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan::fieldmap {

struct TableMapRequest {
  Format format = Format::table;
  bool forced = false;    // the format was named, not recognised: the table must be of its form
  FormatRequest request;  // the map's units, the coordinate scale
  std::string title;      // the title when the table gives none
  std::string date;       // the date when the table gives none
  std::function<void(double)> progress;  // the fraction of a table read so far (unset: none)
};

// What the conversion found besides the map.
struct TableMapNotes {
  Units units;                  // the map's units, where known
  BuildNotes built;             // rows whose values became unmeasured nodes
  RepeatedNodes repeats;        // nodes a G4beamline file gives more than once
  std::int64_t unmeasured = 0;  // unmeasured nodes of the map
};

// Reads the table of `how.format` open on `fd` at its start (`size` its
// length when known, else 0) into `contents`, whose header items the
// table's "#map" lines replace.  False with either `why` (the problem with
// the whole file) or `error` (its line, column and problem) set.
bool read_table_map(int fd, std::uint64_t size, const TableMapRequest& how, MapContents& contents,
                    TableMapNotes& notes, TableError& error, std::string& why);

}  // namespace fieldscan::fieldmap
