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

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fieldmap/cli.h"
#include "fieldscan/field/field_map.h"

namespace fieldscan::fieldmap {

// The command line of one subcommand: positional arguments, options with
// a value and flags.
struct Args {
  std::vector<std::string> pos;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
  bool help = false;

  bool has(const std::string& name) const { return values.count(name) > 0 || flags.count(name); }
  const std::string* value(const std::string& name) const {
    const auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
  }
};

// `valued` options take a value ("--x V" or "--x=V"), `flags` none; a
// wrong call throws UsageError.  args[0] is the subcommand.
Args parse_args(const std::vector<std::string>& args, const std::set<std::string>& valued,
                const std::set<std::string>& flags);

// --interpolation linear|cubic (default linear); a wrong call throws
// UsageError.
Interpolation parse_method(const Args& args);

// Loads the map file `path`; false with "PATH: reason" in `why`.
bool load_map(const std::string& path, FieldMap& map, std::string& why);

// Each takes the whole argument list, the subcommand first.
int run_sample(const std::vector<std::string>& args, CliStreams& io);
int run_integral(const std::vector<std::string>& args, CliStreams& io);
int run_diff(const std::vector<std::string>& args, CliStreams& io);

// The usage lines of the three subcommands, for the tool's usage text.
std::string query_usage();

}  // namespace fieldscan::fieldmap
