// fieldmap resample: a map on the grid the user asks for.
#pragma once

#include <string>
#include <vector>

#include "fieldmap/cli.h"

namespace fieldscan::fieldmap {

// The forms of the call, for the synopsis.
std::string resample_usage();

// "fieldmap resample INPUT OUTPUT ..."; `args` start with "resample".
int run_resample(const std::vector<std::string>& args, CliStreams& io);

}  // namespace fieldscan::fieldmap
