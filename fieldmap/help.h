#pragma once

#include <string>
#include <vector>

namespace fieldscan::fieldmap {

// The help of one subcommand ("fieldmap sample --help"): its forms of the
// call, what it does and one example.  An unknown command gives the usage of
// the whole tool.
std::string command_usage(const std::string& command);

// Whether the arguments after the subcommand ask for its help (--help, -h).
bool asks_help(const std::vector<std::string>& args);

}  // namespace fieldscan::fieldmap
