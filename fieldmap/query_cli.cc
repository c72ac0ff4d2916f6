#include "fieldmap/query_cli.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "fieldmap/help.h"
#include "fieldscan/mapfile/atomic_file.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/query/integral.h"
#include "fieldscan/query/map_diff.h"
#include "fieldscan/query/point_source.h"
#include "fieldscan/query/sample.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

// Most points a line may have when given by its step.
constexpr std::int64_t kMaxLinePoints = std::int64_t{1} << 40;

// True when `a` and `b` name the same existing file.
bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

int failure(CliStreams& io, const std::string& message, int status = 1) {
  io.err += "fieldmap: " + message + "\n";
  return status;
}

}  // namespace

Args parse_args(const std::vector<std::string>& args, const std::set<std::string>& valued,
                const std::set<std::string>& flags) {
  Args out;
  bool options_end = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_end || a.size() < 2 || a[0] != '-') {
      out.pos.push_back(a);
      continue;
    }
    if (a == "--") {
      options_end = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      out.help = true;
      continue;
    }
    std::string name = a;
    std::optional<std::string> value;
    const auto equals = a.find('=');
    if (equals != std::string::npos) {
      name = a.substr(0, equals);
      value = a.substr(equals + 1);
    }
    if (flags.count(name)) {
      if (value) throw UsageError{name + " takes no value"};
      out.flags.insert(name);
      continue;
    }
    if (!valued.count(name)) throw UsageError{args[0] + " takes no option " + name};
    if (!value) {
      if (i + 1 >= args.size()) throw UsageError{name + " needs a value"};
      value = args[++i];
    }
    if (!out.values.emplace(name, *value).second) throw UsageError{name + " is given twice"};
  }
  return out;
}

Interpolation parse_method(const Args& args) {
  Interpolation method = Interpolation::kLinear;
  const std::string* name = args.value("--interpolation");
  if (name && !parse_interpolation(*name, method)) {
    throw UsageError{"--interpolation: \"" + *name + "\" is not linear or cubic"};
  }
  return method;
}

namespace {

Point3 parse_ends(const Args& args, Point3& b) {
  Point3 a;
  std::string why;
  if (!parse_line_ends(*args.value("--line"), a, b, why)) throw UsageError{"--line: " + why};
  return a;
}

std::int64_t parse_count(const std::string& value) {
  std::int64_t n = 0;
  if (!parse_int64(value, n)) throw UsageError{"--points: \"" + value + "\" is not a count"};
  if (n < 2) throw UsageError{"--points: a line needs at least 2 points, not " + value};
  return n;
}

double parse_step(const std::string& value) {
  double s = 0;
  if (!parse_double(value, s) || !std::isfinite(s) || !(s > 0)) {
    throw UsageError{"--step: \"" + value + "\" is not a positive number"};
  }
  return s;
}

void check_line(LineProblem problem) {
  if (problem == LineProblem::kZeroLength) throw UsageError{"--line: the line has zero length"};
  if (problem == LineProblem::kTooMany) {
    throw UsageError{"--step: too many points on the line at that step"};
  }
}

LinePoints stepped_line(Point3 a, Point3 b, double step) {
  std::optional<LinePoints> line;
  check_line(sampled_line(a, b, step, kMaxLinePoints, line));
  return *line;
}

// The points named on the command line: a line, a grid or a points file;
// none of these gives nullptr.  Errors of the call are thrown; a file that
// cannot be opened gives nullptr with `open_error` set.
struct PointChoice {
  std::unique_ptr<PointSource> source;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{nullptr, &std::fclose};
  std::string open_error;
};

PointChoice choose_points(const Args& args) {
  PointChoice choice;
  const bool line = args.has("--line");
  const bool grid = args.has("--grid");
  const bool file = args.has("--points") && !line;
  if (line + grid + file > 1) throw UsageError{"give one of --line, --grid and --points FILE"};
  if (!line && args.has("--step")) throw UsageError{"--step goes with --line"};
  if (!grid) {
    for (const char* axis : {"--x", "--y", "--z"}) {
      if (args.has(axis)) throw UsageError{std::string(axis) + " goes with --grid"};
    }
  }
  if (line) {
    Point3 b;
    const Point3 a = parse_ends(args, b);
    const std::string* points = args.value("--points");
    const std::string* step = args.value("--step");
    if (!points && !step) throw UsageError{"--line needs --points N or --step S"};
    if (points && step) throw UsageError{"give --points or --step with --line, not both"};
    if (points) {
      choice.source =
          std::make_unique<LinePoints>(LinePoints::with_count(a, b, parse_count(*points)));
    } else {
      choice.source = std::make_unique<LinePoints>(stepped_line(a, b, parse_step(*step)));
    }
  } else if (grid) {
    GridAxis axes[3];
    const char* const names[3] = {"--x", "--y", "--z"};
    for (int i = 0; i < 3; ++i) {
      const std::string* v = args.value(names[i]);
      if (!v) throw UsageError{"--grid needs --x, --y and --z"};
      std::string why;
      if (!parse_axis(*v, axes[i], why)) throw UsageError{std::string(names[i]) + ": " + why};
    }
    auto g = std::make_unique<GridPoints>(axes[0], axes[1], axes[2]);
    if (g->total() < 0) throw UsageError{"--grid: too many points"};
    choice.source = std::move(g);
  } else if (file) {
    const std::string& name = *args.value("--points");
    std::FILE* f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (!f) {
      choice.open_error = name + ": " + std::strerror(errno);
      return choice;
    }
    std::int64_t size = -1;
    struct stat st {};
    if (::fstat(fileno(f), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        if (f != stdin) std::fclose(f);
        choice.open_error = name + ": Is a directory";
        return choice;
      }
      if (S_ISREG(st.st_mode)) size = st.st_size;
    }
    if (f != stdin) choice.file.reset(f);
    choice.source = std::make_unique<FilePoints>(f, name == "-" ? "standard input" : name, size);
  }
  return choice;
}

}  // namespace

bool load_map(const std::string& path, FieldMap& map, std::string& why) {
  MapError error;
  if (!FieldMap::load(path == "-" ? "/dev/stdin" : path, map, error)) {
    why = (path == "-" ? "standard input" : path) + ": " + error.message;
    return false;
  }
  return true;
}

namespace {

// A progress line on standard error ("\rfieldmap: sampling 42%"), shown
// only when the caller gave a progress sink and the run has taken a while.
class Progress {
 public:
  Progress(CliStreams& io, std::string what) : io_(io), what_(std::move(what)) {}
  ~Progress() {
    if (shown_) io_.progress("\rfieldmap: " + what_ + " done\n");
  }
  std::function<void(double)> callback() {
    if (!io_.progress) return {};
    return [this](double fraction) { update(fraction); };
  }

 private:
  void update(double fraction) {
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::milliseconds(500)) return;
    const int percent = fraction < 0 ? -1 : static_cast<int>(fraction * 100.0);
    if (shown_ && percent == last_ && now - last_time_ < std::chrono::seconds(1)) return;
    shown_ = true;
    last_ = percent;
    last_time_ = now;
    io_.progress("\rfieldmap: " + what_ +
                 (percent >= 0 ? " " + std::to_string(percent) + "%" : std::string(" ...")));
  }

  CliStreams& io_;
  std::string what_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_time_;
  bool shown_ = false;
  int last_ = -2;
};

SampleFormat parse_format(const Args& args) {
  const std::string* f = args.value("--format");
  if (!f || *f == "csv") return SampleFormat::kCsv;
  if (*f == "tsv") return SampleFormat::kTsv;
  if (*f == "json") return SampleFormat::kJson;
  throw UsageError{"--format: \"" + *f + "\" is not csv, tsv or json"};
}

void expect_files(const Args& args, const std::string& command, std::size_t wanted) {
  if (args.pos.size() != wanted) {
    throw UsageError{command + " takes " + std::to_string(wanted) + " map file name" +
                     (wanted > 1 ? "s" : "") + ", not " + std::to_string(args.pos.size())};
  }
  // "-" is standard input, which can be read once.
  const std::string* points = args.value("--points");
  if (std::count(args.pos.begin(), args.pos.end(), "-") + (points && *points == "-") > 1) {
    throw UsageError{"standard input (\"-\") is named more than once"};
  }
}

}  // namespace

std::string query_usage() {
  return "       fieldmap sample MAP (--line X0,Y0,Z0:X1,Y1,Z1 (--points N | --step S)\n"
         "                           | --grid --x A:B:N --y C:D:M --z E | --points FILE|-)\n"
         "                           [--format csv|tsv|json] [--gradient] [-o FILE]\n"
         "                           [--interpolation linear|cubic]\n"
         "       fieldmap integral MAP --line X0,Y0,Z0:X1,Y1,Z1 [--step S | --points N]\n"
         "                           [--rule simpson|trapezoid] [--component bx|by|bz]\n"
         "                           [--skip-unevaluable] [--interpolation linear|cubic]\n"
         "       fieldmap diff A B [--tolerance T] [--line .. | --grid .. | --points FILE]\n"
         "                           [--interpolation linear|cubic]\n";
}

namespace {

struct SampleCall {
  Args args;
  PointChoice points;
  SampleFormat format = SampleFormat::kCsv;
  Interpolation method = Interpolation::kLinear;
};

// The arguments of sample; false when they ask for help.  Errors of the
// call are thrown.
bool parse_sample(const std::vector<std::string>& argv, SampleCall& call) {
  Args& args = call.args;
  args = parse_args(argv,
                    {"--line", "--points", "--step", "--x", "--y", "--z", "--format", "-o",
                     "--output", "--interpolation"},
                    {"--grid", "--gradient"});
  if (args.help) return false;
  expect_files(args, "sample", 1);
  if (args.has("-o") && args.has("--output")) throw UsageError{"-o is given twice"};
  call.format = parse_format(args);
  call.method = parse_method(args);
  call.points = choose_points(args);
  if (!call.points.source && call.points.open_error.empty()) {
    throw UsageError{"sample needs --line, --grid or --points FILE"};
  }
  return true;
}

// Where sample writes: the file -o names, through an atomic file, or
// standard output.
struct SampleSink {
  const std::string* name = nullptr;  // the file; null for standard output
  AtomicFile file;
  int out_errno = 0;  // why standard output could not be written
  std::function<bool(std::string_view)> write;
};

// Opens the output of sample; empty, or the message of the failure.
std::string open_sink(const Args& args, CliStreams& io, SampleSink& sink) {
  const std::string* out_name = args.value("-o") ? args.value("-o") : args.value("--output");
  if (out_name && *out_name != "-") {
    const std::string* inputs[] = {&args.pos[0], args.value("--points")};
    for (const std::string* input : inputs) {
      if (input && *input != "-" && same_file(*out_name, *input)) {
        return *out_name + ": is an input of this call; not writing the table over it";
      }
    }
    if (!sink.file.open(*out_name)) return *out_name + ": cannot write: " + sink.file.why();
    sink.name = out_name;
    sink.write = [&sink](std::string_view s) { return sink.file.write(s); };
  } else if (io.write_out) {
    sink.write = [&io, &sink](std::string_view s) {
      if (io.write_out(s)) return true;
      sink.out_errno = errno;  // on the writing thread; read after it has ended
      return false;
    };
  } else {
    sink.write = [&io](std::string_view s) {
      io.out += s;
      return true;
    };
  }
  return {};
}

}  // namespace

int run_sample(const std::vector<std::string>& argv, CliStreams& io) {
  SampleCall call;
  try {
    if (!parse_sample(argv, call)) {
      io.out += command_usage(argv[0]);
      return 0;
    }
  } catch (const UsageError& e) {
    return usage_error(io, e.problem);
  }
  const Args& args = call.args;
  PointChoice& points = call.points;
  if (!points.open_error.empty()) return failure(io, points.open_error);

  FieldMap map;
  std::string why;
  if (!load_map(args.pos[0], map, why)) return failure(io, why);

  SampleSink sink;
  why = open_sink(args, io, sink);
  if (!why.empty()) return failure(io, why);

  SampleCounts counts;
  bool ok;
  {
    Progress progress(io, "sampling");
    ok = write_samples(map, *points.source, call.format, sink.write, progress.callback(), counts,
                       args.has("--gradient"), call.method);
  }
  if (!ok) {
    if (!points.source->error().empty()) return failure(io, points.source->error());
    if (sink.name) return failure(io, *sink.name + ": cannot write: " + sink.file.why());
    return failure(
        io, std::string("cannot write to standard output") +
                (sink.out_errno != 0 ? std::string(": ") + std::strerror(sink.out_errno) : ""));
  }
  if (sink.name && !sink.file.commit()) {
    return failure(io, *sink.name + ": cannot write: " + sink.file.why());
  }
  return 0;
}

namespace {

IntegrationRule parse_rule(const std::string& rule) {
  if (rule == "simpson") return IntegrationRule::kSimpson;
  if (rule == "trapezoid") return IntegrationRule::kTrapezoid;
  throw UsageError{"--rule: \"" + rule + "\" is not simpson or trapezoid"};
}

int parse_component(const std::string& c) {
  if (c == "bx") return 0;
  if (c == "by") return 1;
  if (c == "bz") return 2;
  throw UsageError{"--component: \"" + c + "\" is not bx, by or bz"};
}

// The arguments of integral; false when they ask for help.  Errors of the
// call are thrown.
bool parse_integral(const std::vector<std::string>& argv, Args& args, IntegralOptions& options,
                    Point3& a, Point3& b) {
  args =
      parse_args(argv, {"--line", "--points", "--step", "--rule", "--component", "--interpolation"},
                 {"--skip-unevaluable"});
  if (args.help) return false;
  expect_files(args, "integral", 1);
  if (!args.has("--line")) throw UsageError{"integral needs --line X0,Y0,Z0:X1,Y1,Z1"};
  a = parse_ends(args, b);
  if (args.has("--points") && args.has("--step")) {
    throw UsageError{"give --points or --step, not both"};
  }
  if (const std::string* rule = args.value("--rule")) options.rule = parse_rule(*rule);
  if (const std::string* c = args.value("--component"))
    options.main_component = parse_component(*c);
  options.skip_unevaluable = args.has("--skip-unevaluable");
  options.method = parse_method(args);
  if (const std::string* n = args.value("--points")) parse_count(*n);
  if (const std::string* s = args.value("--step")) stepped_line(a, b, parse_step(*s));
  return true;
}

}  // namespace

int run_integral(const std::vector<std::string>& argv, CliStreams& io) {
  Args args;
  IntegralOptions options;
  Point3 a, b;
  try {
    if (!parse_integral(argv, args, options, a, b)) {
      io.out += command_usage(argv[0]);
      return 0;
    }
  } catch (const UsageError& e) {
    return usage_error(io, e.problem);
  }

  FieldMap map;
  std::string why;
  if (!load_map(args.pos[0], map, why)) return failure(io, why);

  std::optional<LinePoints> line;
  try {
    if (const std::string* n = args.value("--points")) {
      line = LinePoints::with_count(a, b, parse_count(*n));
    } else {
      const std::string* s = args.value("--step");
      check_line(integral_line(a, b, s ? parse_step(*s) : 0.0, map.grid(), kMaxLinePoints, line));
    }
  } catch (const UsageError& e) {
    return usage_error(io, e.problem);
  }

  const IntegralResult r = integrate_line(map, *line, options);
  if (r.stopped) {
    return failure(io, "point " + std::to_string(r.bad_index + 1) + " of the line, (" +
                           float_text(r.bad_point.x) + ", " + float_text(r.bad_point.y) + ", " +
                           float_text(r.bad_point.z) +
                           "), cannot be evaluated: " + std::string(status_reason(r.bad_status)) +
                           " (--skip-unevaluable integrates the evaluable stretches only)");
  }
  io.out += format_integral(r, a, b, options.rule);
  if (!r.any_evaluated) return failure(io, "no point of the line can be evaluated");
  return 0;
}

namespace {

// The arguments of diff; false when they ask for help.  Errors of the call
// are thrown.
bool parse_diff(const std::vector<std::string>& argv, Args& args, PointChoice& points,
                double& tolerance, Interpolation& method) {
  args = parse_args(
      argv, {"--tolerance", "--line", "--points", "--step", "--x", "--y", "--z", "--interpolation"},
      {"--grid"});
  if (args.help) return false;
  expect_files(args, "diff", 2);
  if (const std::string* t = args.value("--tolerance")) {
    if (!parse_double(*t, tolerance) || !std::isfinite(tolerance) || tolerance < 0) {
      throw UsageError{"--tolerance: \"" + *t + "\" is not a number 0 or more"};
    }
  }
  points = choose_points(args);
  method = parse_method(args);
  return true;
}

// The report of diff: where it compared (the nodes of map A, `g`, or the
// points given) and the differences.
std::string diff_report(const DiffResult& result, double tolerance, bool at_nodes,
                        const GridSize& g, const std::string& name_a) {
  std::string report;
  std::function<std::string(std::int64_t)> where;
  if (at_nodes) {
    report = "Compared at the " + std::to_string(result.points) + " nodes of " + name_a + "\n";
    const std::int64_t nx = g.NX, ny = g.NY;
    where = [nx, ny](std::int64_t n) {
      return "node (" + std::to_string(n % nx + 1) + ", " + std::to_string(n / nx % ny + 1) + ", " +
             std::to_string(n / nx / ny + 1) + ")";
    };
  } else {
    where = [](std::int64_t n) { return "point " + std::to_string(n + 1); };
  }
  report += format_diff(result, tolerance, where);
  return report;
}

}  // namespace

int run_diff(const std::vector<std::string>& argv, CliStreams& io) {
  Args args;
  PointChoice points;
  double tolerance = 0;
  Interpolation method = Interpolation::kLinear;
  try {
    if (!parse_diff(argv, args, points, tolerance, method)) {
      io.out += command_usage(argv[0]);
      return 0;
    }
  } catch (const UsageError& e) {
    return usage_error(io, e.problem);
  }
  // Trouble is status 2 here: 1 means the maps differ.
  if (!points.open_error.empty()) return failure(io, points.open_error, 2);

  FieldMap map_a, map_b;
  std::string why;
  if (!load_map(args.pos[0], map_a, why) || !load_map(args.pos[1], map_b, why)) {
    return failure(io, why, 2);
  }

  std::optional<GridPoints> nodes;
  PointSource* source = points.source.get();
  const GridSize& g = map_a.grid();
  if (!source) {
    nodes.emplace(GridPoints::nodes_of(g));
    source = &*nodes;
  }
  DiffResult result;
  bool ok;
  {
    Progress progress(io, "comparing");
    ok = diff_maps(map_a, map_b, *source, result, progress.callback(), 0, method);
  }
  if (!ok) return failure(io, source->error(), 2);

  const std::string report = diff_report(result, tolerance, nodes.has_value(), g, args.pos[0]);
  // A report that cannot be written is trouble, not a difference.
  if (io.write_out && !io.write_out(report)) {
    return failure(io, std::string("cannot write to standard output: ") + std::strerror(errno), 2);
  }
  if (!io.write_out) io.out += report;
  return result.within(tolerance) ? 0 : 1;
}

}  // namespace fieldscan::fieldmap
