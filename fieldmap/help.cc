#include "fieldmap/help.h"

#include <algorithm>
#include <sstream>

#include "fieldmap/cli.h"

namespace fieldscan::fieldmap {
namespace {

struct CommandHelp {
  const char* name;
  // What the command does, for those that the usage's list leaves out.
  const char* summary;
  const char* example;
};

// One example per command, on the demo map that the build writes.
constexpr CommandHelp kCommands[] = {
    {"info", "", "  fieldmap info build/demo.map\n"},
    {"convert", "", "  fieldmap convert fieldmap/testdata/PurgMag3D.TABLE purg.map --units mm,T\n"},
    {"export", "", "  fieldmap export build/demo.map demo.csv --to csv\n"},
    {"sample", "", "  fieldmap sample build/demo.map --line -20,0,2:20,0,2 --points 11\n"},
    {"integral", "", "  fieldmap integral build/demo.map --line -17,0,0:17,0,0 --step 0.5\n"},
    {"diff", "", "  fieldmap diff build/demo.map changed.map --tolerance 0.01\n"},
    {"harmonics",
     "  harmonics the multipole coefficients of the field on circles of radius R\n"
     "           about an axis, at one place or along it (see docs/analysis.md)\n",
     "  fieldmap harmonics build/demo.map --axis x --radius 5 --order 6\n"},
    {"check",
     "  check    a quality report: divergence and curl at the interior nodes, the\n"
     "           reversed components on each mirror plane, the unmeasured nodes;\n"
     "           exit 1 when a relative figure is above its limit\n",
     "  fieldmap check build/demo.map --max-curl 0.02\n"},
    {"resample", "",
     "  fieldmap resample build/demo.map fine.map --step 0.5 --interpolation cubic\n"},
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The forms of the call of `name` from the synopsis: its line and the
// indented lines that continue it.
std::string forms_of(const std::string& name) {
  std::string out;
  bool inside = false;
  for (const std::string& line : lines_of(synopsis())) {
    const auto at = line.find("fieldmap ");
    if (at != std::string::npos) {
      inside = line.compare(at + 9, name.size() + 1, name + " ") == 0;
      if (inside) out += "usage: " + line.substr(at) + "\n";
    } else if (inside) {
      out += line.substr(std::min<std::size_t>(line.size(), 1)) + "\n";
    }
  }
  return out;
}

// The paragraph of `name` in the usage's list of commands.
std::string summary_of(const std::string& name) {
  std::string out;
  bool inside = false;
  const std::string head = "  " + name + " ";
  for (const std::string& line : lines_of(usage())) {
    if (line.rfind(head, 0) == 0) {
      inside = true;
    } else if (inside && line.rfind("           ", 0) != 0) {
      break;
    }
    if (inside) out += line + "\n";
  }
  return out;
}

}  // namespace

std::string command_usage(const std::string& command) {
  for (const CommandHelp& c : kCommands) {
    if (command != c.name) continue;
    const std::string summary = *c.summary ? c.summary : summary_of(command);
    return forms_of(command) + "\n" + summary + "\nExample:\n" + c.example +
           "\nRun \"fieldmap --help\" for every command.\n";
  }
  return usage();
}

bool asks_help(const std::vector<std::string>& args) {
  return std::any_of(args.begin() + (args.empty() ? 0 : 1), args.end(),
                     [](const std::string& a) { return a == "--help" || a == "-h"; });
}

}  // namespace fieldscan::fieldmap
