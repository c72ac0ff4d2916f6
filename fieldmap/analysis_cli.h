// The subcommands of fieldmap that analyse a map:
//
//   harmonics MAP --radius R [--center U,V] [--axis x|y|z] [--at W | --along A:B [--step S]]
//             [--points N] [--order M] [--main K] [--numbering european|us]
//             [--format text|csv|json]
//   check MAP [--max-divergence D] [--max-curl C] [--max-plane P] [--format text|json]
//
// harmonics: 0 done, 1 a circle point that cannot be evaluated or a map
// that does not load, 2 a wrong call.  check: 0 every figure within its
// limit, 1 not, 2 a wrong call or a map that does not load.
#pragma once

#include <string>
#include <vector>

#include "fieldmap/cli.h"

namespace fieldscan::fieldmap {

// Each takes the whole argument list, the subcommand first.
int run_harmonics(const std::vector<std::string>& args, CliStreams& io);
int run_check(const std::vector<std::string>& args, CliStreams& io);

// Their usage lines, for the tool's usage text.
std::string analysis_usage();

}  // namespace fieldscan::fieldmap
