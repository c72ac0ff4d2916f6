// Any input the kit reads, as a map: a map file, or a field table in any of
// the formats it reads, converted as `fieldmap convert` converts it (its
// "#map" header lines, its units; the title is the file's name when the
// table gives none).  And any output `fieldmap export` writes of a map.
#pragma once

#include <cstdint>
#include <string>

#include "fieldscan/field/field_map.h"
#include "fieldscan/formats/format_io.h"
#include "fieldscan/formats/units.h"
#include "fieldscan/mapfile/atomic_file.h"

namespace fieldscan::fieldmap {

// Reads `path` (an empty file, or one holding zero bytes, is a map file;
// anything else a table of the format --from names or recognised from its
// content) into `map`,
// allowing up to `capacity` values, with the map's units in `units`.  False
// with the message for the user in `why` ("PATH:LINE:COLUMN: problem" for
// a table that does not convert).
// When `map_error` is given and no format is forced, a file that is taken as
// a map file, or that cannot be opened, and does not load leaves the map
// loader's own status and message there too.  `name_limit`: a map file is
// refused, as the console refuses it, when its name is longer than the 80
// characters of LOAD's map name.
bool read_input_map(const std::string& path, const FormatOptions& options, std::int64_t capacity,
                    FieldMap& map, Units& units, std::string& why, MapError* map_error = nullptr,
                    bool name_limit = true);

// The first half of writing `map` (read from `name`, which messages name) in
// the format options.to as `fieldmap export` writes it: the whole text for
// the formats export_text writes; for the table, only the check that the
// map can be written as one.  False with the reason otherwise.
bool prepare_export(const std::string& name, const FieldMap& map, const FormatOptions& options,
                    std::string& text, std::string& why);

// The second half: the prepared `text`, or the table with its units, into
// the open `file` (not committed).  False with the reason otherwise (a
// failure of the file leaves its own in file.why()).
bool write_export(const std::string& name, const FieldMap& map, const FormatOptions& options,
                  const std::string& text, AtomicFile& file, std::string& why);

}  // namespace fieldscan::fieldmap
