#include "fieldmap/resample_cli.h"

#include <sys/stat.h>

#include <array>

#include "fieldmap/help.h"
#include "fieldscan/formats/format_io.h"
#include "fieldscan/formats/table_writer.h"
#include "fieldscan/mapfile/atomic_file.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/query/input_map.h"
#include "fieldscan/query/resample.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

// A table of a map file read for resampling may be this much larger than
// the console's capacity: a solver export of some 10^8 values.
constexpr std::int64_t kInputCapacity = std::int64_t{1} << 30;

struct ResampleCall {
  std::string input, output;
  ResampleRequest request;
  FormatOptions formats;
  bool to_map = true;  // no --to: a map file
};

// "A,B,C" (or "A" for all three when `one` is allowed) as three numbers.
std::array<std::string, 3> three(const std::string& option, const std::string& value, bool one) {
  std::array<std::string, 3> part;
  std::size_t start = 0;
  for (int a = 0; a < 3; ++a) {
    const std::size_t comma = value.find(',', start);
    if (a == 0 && comma == std::string::npos && one) return {value, value, value};
    if ((a < 2) == (comma == std::string::npos)) {
      throw UsageError{option + ": \"" + value + "\" is not three values A,B,C"};
    }
    part[a] = value.substr(start, comma == std::string::npos ? comma : comma - start);
    start = comma + 1;
  }
  return part;
}

void take(const std::string& name, const std::string& value, ResampleCall& call) {
  if (name == "--step" || name == "--counts") {
    if (call.request.step || call.request.counts) throw UsageError{"give --step or --counts once"};
    const auto part = three(name, value, name == "--step");
    std::array<double, 3> step{};
    std::array<std::int64_t, 3> counts{};
    for (int a = 0; a < 3; ++a) {
      if (name == "--step" && (!parse_double(part[a], step[a]) || !(step[a] > 0))) {
        throw UsageError{"--step: \"" + part[a] + "\" is not a positive number"};
      }
      if (name == "--counts" && (!parse_int64(part[a], counts[a]) || counts[a] < 1)) {
        throw UsageError{"--counts: \"" + part[a] + "\" is not a count of at least 1"};
      }
    }
    if (name == "--step") call.request.step = step;
    if (name == "--counts") call.request.counts = counts;
  } else if (name == "--box") {
    std::array<std::array<double, 2>, 3> box{};
    const auto part = three(name, value, false);
    for (int a = 0; a < 3; ++a) {
      const auto colon = part[a].find(':');
      if (colon == std::string::npos || !parse_double(part[a].substr(0, colon), box[a][0]) ||
          !parse_double(part[a].substr(colon + 1), box[a][1]) || box[a][1] < box[a][0]) {
        throw UsageError{"--box: \"" + part[a] + "\" is not LOW:HIGH with LOW <= HIGH"};
      }
    }
    call.request.box = box;
  } else if (name == "--interpolation") {
    if (!parse_interpolation(value, call.request.method)) {
      throw UsageError{"--interpolation: \"" + value + "\" is not linear or cubic"};
    }
  } else if (name == "--to" && value == "map") {
    call.to_map = true;
  } else {
    bool taken = false;
    std::string problem;
    const std::string as = name == "--to" ? "export" : "convert";
    if (!take_format_option(as, name, value, call.formats, taken, problem)) {
      throw UsageError{problem};
    }
    if (!taken) throw UsageError{"resample takes no option " + name};
    if (name == "--to") call.to_map = false;
  }
}

ResampleCall parse_call(const std::vector<std::string>& args) {
  ResampleCall call;
  std::vector<std::string> pos;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || a[0] != '-') {
      pos.push_back(a);
      continue;
    }
    const auto equals = a.find('=');
    const std::string name = a.substr(0, equals);
    if (equals == std::string::npos && i + 1 >= args.size()) throw UsageError{a + " needs a value"};
    take(name, equals == std::string::npos ? args[++i] : a.substr(equals + 1), call);
  }
  if (pos.size() != 2) {
    throw UsageError{"resample takes an input and an output file, not " +
                     std::to_string(pos.size()) + " names"};
  }
  if (!call.request.step && !call.request.counts) {
    throw UsageError{"resample needs --step D, --step DX,DY,DZ or --counts NX,NY,NZ"};
  }
  call.input = pos[0];
  call.output = pos[1];
  return call;
}

// The new map to the output: a map file, or the format of --to.
bool write_output(const ResampleCall& call, const MapContents& contents, std::string& why) {
  if (call.to_map) return write_map_file(call.output, contents, &why);
  FieldMap map;
  MapError error;
  if (!FieldMap::from_contents(contents, map, error)) {
    why = error.message;
    return false;
  }
  AtomicFile file;
  std::string text;
  if (call.formats.to == Format::table) {
    why = table_problem(contents);
    if (!why.empty()) return false;
    if (!file.open(call.output)) return (why = file.why(), false);
    if (!table_with_units(call.output, contents, call.formats, why,
                          [&file](std::string_view piece) { return file.write(piece); })) {
      return false;
    }
  } else {
    if (!export_text(call.output, map.grid(), contents, call.formats, text, why)) return false;
    if (!file.open(call.output)) return (why = file.why(), false);
    file.write(text);
  }
  if (!file.commit()) why = file.why();
  return why.empty();
}

}  // namespace

std::string resample_usage() {
  return "       fieldmap resample INPUT OUTPUT (--step D | --step DX,DY,DZ | --counts NX,NY,NZ)\n"
         "                           [--box X0:X1,Y0:Y1,Z0:Z1] [--interpolation linear|cubic]\n"
         "                           [--from FORMAT] [--units L,F] [--to FORMAT]\n";
}

int run_resample(const std::vector<std::string>& args, CliStreams& io) {
  if (asks_help(args)) {
    io.out += command_usage("resample");
    return 0;
  }
  ResampleCall call;
  try {
    call = parse_call(args);
  } catch (const UsageError& e) {
    return usage_error(io, e.problem);
  }
  struct stat in {
  }, out{};
  if (::stat(call.input.c_str(), &in) == 0 && ::stat(call.output.c_str(), &out) == 0 &&
      in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
    io.err += "fieldmap: " + call.output + ": is the input; not writing over it\n";
    return 1;
  }
  FieldMap input;
  Units units;
  std::string why;
  ResampleResult result;
  if (!read_input_map(call.input, call.formats, kInputCapacity, input, units, why) ||
      !resample(input, call.request, result, why)) {
    io.err += "fieldmap: " + why + "\n";
    return 1;
  }
  if (!write_output(call, result.contents, why)) {
    io.err += "fieldmap: " + call.output + ": " + why + "\n";
    return 1;
  }
  io.out += call.output + ": " + resample_summary(result) + "\n";
  return 0;
}

}  // namespace fieldscan::fieldmap
