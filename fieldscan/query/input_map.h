// Any input the kit reads, as a map: a map file, or a field table in any of
// the formats it reads, converted as `fieldmap convert` converts it (its
// "#map" header lines, its units; the title is the file's name when the
// table gives none).
#pragma once

#include <cstdint>
#include <string>

#include "fieldscan/field/field_map.h"
#include "fieldscan/formats/format_io.h"
#include "fieldscan/formats/units.h"

namespace fieldscan::fieldmap {

// Reads `path` (a file with zero bytes is a map file; anything else a table
// of the format --from names or recognised from its content) into `map`,
// allowing up to `capacity` values, with the map's units in `units`.  False
// with the message for the user in `why` ("PATH:LINE:COLUMN: problem" for
// a table that does not convert).
bool read_input_map(const std::string& path, const FormatOptions& options, std::int64_t capacity,
                    FieldMap& map, Units& units, std::string& why);

}  // namespace fieldscan::fieldmap
