// The loader behind LOAD, working on bytes that are already open.
//
// LOAD opens the named file and hands it over as a FileSource; tests hand
// over maps built in memory.  Everything after the open happens here.
#pragma once

#include <cstdint>

#include "mapfile/byte_source.h"
#include "textio/text.h"

namespace fieldscan {

// Reads the map records from `source` (positioned at the first record) into
// SIZE and BMAP, with exactly the statuses, messages and partial state of
// LOAD (status 2 to 8; status 1 belongs to the open, which LOAD does).
// Never writes BMAP at or beyond element MXS, never allocates memory whose
// size comes from the data, and reads no further than the last record it
// needs.
void load_from_source(ByteSource& source, float BMAP[], const std::int32_t& MXS, Text80& MESSAGE,
                      std::int16_t& STATUS);

}  // namespace fieldscan
