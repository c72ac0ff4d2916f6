// The subcommands of fieldmap that ask a map for its field:
//
//   sample MAP (--line L (--points N | --step S) | --grid --x .. --y .. --z .. | --points FILE)
//              [--format csv|tsv|json] [-o FILE]
//   integral MAP --line L [--step S | --points N] [--rule simpson|trapezoid]
//              [--component bx|by|bz] [--skip-unevaluable]
//   diff A B [--tolerance T] [--line .. | --grid .. | --points FILE]
//
// Exit status as for the other subcommands (0 done, 1 the work failed,
// 2 a wrong call), except diff: 0 the maps agree within the tolerance,
// 1 they do not, 2 a wrong call or a map or points file that cannot be read.
#pragma once

#include <string>
#include <vector>

#include "fieldmap/cli.h"

namespace fieldscan::fieldmap {

// Each takes the whole argument list, the subcommand first.
int run_sample(const std::vector<std::string>& args, CliStreams& io);
int run_integral(const std::vector<std::string>& args, CliStreams& io);
int run_diff(const std::vector<std::string>& args, CliStreams& io);

// The usage lines of the three subcommands, for the tool's usage text.
std::string query_usage();

}  // namespace fieldscan::fieldmap
