#include "fieldmap/analysis_cli.h"

#include <cmath>

#include "fieldmap/help.h"
#include "fieldmap/query_cli.h"
#include "fieldscan/query/harmonics.h"
#include "fieldscan/query/map_check.h"
#include "fieldscan/query/sample.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

int failure(CliStreams& io, const std::string& message, int status) {
  io.err += "fieldmap: " + message + "\n";
  return status;
}

double number(const std::string& option, const std::string& value) {
  double v = 0;
  if (!parse_double(value, v) || !std::isfinite(v)) {
    throw UsageError{option + ": \"" + value + "\" is not a finite number"};
  }
  return v;
}

int integer(const std::string& option, const std::string& value) {
  std::int64_t v = 0;
  if (!parse_int64(value, v) || v < -(1 << 30) || v > (1 << 30)) {
    throw UsageError{option + ": \"" + value + "\" is not a whole number"};
  }
  return static_cast<int>(v);
}

// "A<sep>B" as two finite numbers.
void pair(const std::string& option, const std::string& value, char sep, double& a, double& b) {
  const auto at = value.find(sep);
  if (at == std::string::npos) {
    throw UsageError{option + ": \"" + value + "\" is not two numbers A" + sep + "B"};
  }
  a = number(option, value.substr(0, at));
  b = number(option, value.substr(at + 1));
}

void take_harmonics_options(const Args& args, HarmonicsOptions& o, HarmonicsFormat& format) {
  if (!args.has("--radius")) throw UsageError{"harmonics needs --radius R"};
  o.radius = number("--radius", *args.value("--radius"));
  if (const std::string* v = args.value("--center"))
    pair("--center", *v, ',', o.center[0], o.center[1]);
  if (const std::string* v = args.value("--axis")) {
    if (*v != "x" && *v != "y" && *v != "z")
      throw UsageError{"--axis: \"" + *v + "\" is not x, y or z"};
    o.axis = (*v)[0] - 'x';
  }
  if (args.has("--at") && args.has("--along")) throw UsageError{"give --at or --along, not both"};
  if (args.has("--step") && !args.has("--along")) throw UsageError{"--step goes with --along"};
  if (const std::string* v = args.value("--at")) o.at = number("--at", *v);
  if (const std::string* v = args.value("--along")) {
    o.along = true;
    pair("--along", *v, ':', o.from, o.to);
  }
  if (const std::string* v = args.value("--step")) o.step = number("--step", *v);
  if (args.has("--step") && !(o.step > 0)) throw UsageError{"--step: not a positive number"};
  if (const std::string* v = args.value("--points")) o.points = integer("--points", *v);
  if (const std::string* v = args.value("--order")) o.order = integer("--order", *v);
  if (const std::string* v = args.value("--main")) o.main = integer("--main", *v);
  if (const std::string* v = args.value("--numbering")) {
    if (*v != "european" && *v != "us")
      throw UsageError{"--numbering: \"" + *v + "\" is not european or us"};
    o.numbering = *v == "us" ? Numbering::kUs : Numbering::kEuropean;
  }
  if (const std::string* v = args.value("--format")) {
    if (*v != "text" && *v != "csv" && *v != "json")
      throw UsageError{"--format: \"" + *v + "\" is not text, csv or json"};
    format = *v == "csv"    ? HarmonicsFormat::kCsv
             : *v == "json" ? HarmonicsFormat::kJson
                            : HarmonicsFormat::kText;
  }
  o.method = parse_method(args);
  const std::string problem = harmonics_problem(o);
  if (!problem.empty()) throw UsageError{"harmonics: " + problem};
}

double limit(const Args& args, const std::string& option, double fallback) {
  const std::string* v = args.value(option);
  if (!v) return fallback;
  const double x = number(option, *v);
  if (x < 0) throw UsageError{option + ": \"" + *v + "\" is not a number 0 or more"};
  return x;
}

}  // namespace

std::string analysis_usage() {
  return "       fieldmap harmonics MAP --radius R [--center U,V] [--axis x|y|z]\n"
         "                           [--at W | --along A:B [--step S]] [--points N]\n"
         "                           [--order M] [--main K] [--numbering european|us]\n"
         "                           [--format text|csv|json] [--interpolation linear|cubic]\n"
         "       fieldmap check MAP [--max-divergence D] [--max-curl C] [--max-plane P]\n"
         "                           [--format text|json]\n";
}

int run_harmonics(const std::vector<std::string>& argv, CliStreams& io) {
  Args args;
  HarmonicsOptions options;
  HarmonicsFormat format = HarmonicsFormat::kText;
  try {
    args = parse_args(argv,
                      {"--radius", "--center", "--axis", "--at", "--along", "--step", "--points",
                       "--order", "--main", "--numbering", "--format", "--interpolation"},
                      {});
    if (args.help) {
      io.out += command_usage(argv[0]);
      return 0;
    }
    if (args.pos.size() != 1) throw UsageError{"harmonics takes 1 map file name"};
    take_harmonics_options(args, options, format);
  } catch (const UsageError& e) {
    return usage_error(io, e.problem);
  }
  FieldMap map;
  std::string why;
  if (!load_map(args.pos[0], map, why)) return failure(io, why, 1);
  const Harmonics h = compute_harmonics(map, options);
  if (h.too_many) return failure(io, "too many circles along the axis at the default step", 1);
  if (h.stopped) {
    return failure(io,
                   "the circle point " + point_text(h.bad_point) +
                       " cannot be evaluated: " + std::string(status_reason(h.bad_status)),
                   1);
  }
  io.out += format_harmonics(h, options, format);
  return 0;
}

int run_check(const std::vector<std::string>& argv, CliStreams& io) {
  Args args;
  CheckLimits limits;
  bool json = false;
  try {
    args = parse_args(argv, {"--max-divergence", "--max-curl", "--max-plane", "--format"}, {});
    if (args.help) {
      io.out += command_usage(argv[0]);
      return 0;
    }
    if (args.pos.size() != 1) throw UsageError{"check takes 1 map file name"};
    limits.divergence = limit(args, "--max-divergence", limits.divergence);
    limits.curl = limit(args, "--max-curl", limits.curl);
    limits.plane = limit(args, "--max-plane", limits.plane);
    if (const std::string* v = args.value("--format")) {
      if (*v != "text" && *v != "json")
        throw UsageError{"--format: \"" + *v + "\" is not text or json"};
      json = *v == "json";
    }
  } catch (const UsageError& e) {
    return usage_error(io, e.problem);
  }
  FieldMap map;
  std::string why;
  if (!load_map(args.pos[0], map, why)) return failure(io, why, 2);
  const MapCheck check = check_map(map, limits);
  io.out += format_check(check, limits, json);
  return check.passed ? 0 : 1;
}

}  // namespace fieldscan::fieldmap
