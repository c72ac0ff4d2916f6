// Saving a map to a file without ever leaving a cut one behind.
#pragma once

#include <string>

#include "mapfile/map_contents.h"

namespace fieldscan {

// Why a save failed: the errno value and a message naming the file.
struct SaveError {
  int error_number = 0;
  std::string message;
};

// Writes `contents` as a map file to `path`: to a new temporary file beside
// it, synced, then renamed over `path`, and the directory synced.  On failure
// `path` is left as it was, the temporary file is removed and `error` says
// why.
bool save_map(const std::string& path, const MapContents& contents, SaveError& error);

}  // namespace fieldscan
