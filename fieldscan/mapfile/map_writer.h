// Writes map files from code, in exactly the format LOAD reads.
//
// Used by the tests (which also need malformed files: encode_records gives
// each record's data unframed, so a test can cut, lengthen or reframe any of
// them), by the build (the demo map) and by the map conversion tool.  The
// fieldscan executable never writes a map.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan {

// 0-based position in MapContents::values (and in BMAP) of component c (1..3)
// of node (i, j, k) (1-based).
std::size_t value_index(const MapContents& contents, int i, int j, int k, int c);

// Sets values to f(x, y, z) at every node position x = xmin + (i-1)*dx, ...
void fill_values(MapContents& contents,
                 const std::function<std::array<float, 3>(float x, float y, float z)>& f);

// The data (unframed) of each record in file order: 5 header records, then
// one per plane (nz of them; none when nz <= 0; a plane of an empty grid is
// an empty record).
std::vector<std::string> encode_records(const MapContents& contents);

// One record framed by its length words: lead, the data, trail.
std::string frame_record(std::string_view data);
std::string frame_record(std::string_view data, std::uint32_t lead, std::uint32_t trail);

// Today's date in local time as a map's date item: DD-MON-YYYY (for
// example 09-DEC-2026).
std::string today();

// The whole file: every record of encode_records, framed.
std::string encode_map(const MapContents& contents);

// Writes `bytes` to `path` (created or replaced, through a temporary file
// beside it, so that a failure leaves `path` as it was).  False on any
// failure, with the system's text for the reason in `why` when given.
bool write_file(const std::string& path, std::string_view bytes, std::string* why = nullptr);
// The same for the map file of `contents`, encoded one record at a time.
bool write_map_file(const std::string& path, const MapContents& contents,
                    std::string* why = nullptr);

class AtomicFile;
// The same into `file`, opened and not yet written; commits it.
bool write_map_file(AtomicFile& file, const MapContents& contents, std::string* why = nullptr);

}  // namespace fieldscan
