#include "fieldmap/cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "fieldmap/analysis_cli.h"
#include "fieldmap/help.h"
#include "fieldmap/query_cli.h"
#include "fieldmap/resample_cli.h"
#include "fieldscan/field/field_map.h"
#include "fieldscan/formats/format_io.h"
#include "fieldscan/formats/grid_finder.h"
#include "fieldscan/formats/table_map.h"
#include "fieldscan/formats/table_reader.h"
#include "fieldscan/formats/table_writer.h"
#include "fieldscan/mapfile/atomic_file.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/query/input_map.h"
#include "fieldscan/query/map_info.h"
#include "fieldscan/textio/number.h"
#include "fieldscan/textio/text.h"

namespace fieldscan::fieldmap {
namespace {

// Conversions of tables at least this long show their progress.
constexpr std::size_t kProgressBytes = std::size_t{8} << 20;

int failure(CliStreams& io, const std::string& message) {
  io.err += "fieldmap: " + message + "\n";
  return 1;
}

// An open file descriptor, closed when it goes out of scope.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// True when `path` names the same file as `other` (both exist).
bool same_file(const std::string& path, const struct stat& other) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && st.st_dev == other.st_dev && st.st_ino == other.st_ino;
}

// "-" names the standard streams.
bool is_standard(const std::string& path) { return path == "-"; }

// A file name as messages show it.
std::string shown(const std::string& path, const char* standard) {
  return is_standard(path) ? standard : path;
}

// The last part of a path: a converted table's default title.
std::string base_name(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads the map file named `path` once, the way LOAD names it (blanks
// around it removed); on failure returns false with the message for the
// user in `why`.
bool load_map(const std::string& path, FieldMap& map, std::string& why) {
  if (path.size() > 80) {
    why = path + ": the map file name is longer than 80 characters";
    return false;
  }
  MapError error;
  if (!FieldMap::load(is_standard(path) ? "/dev/stdin" : path, map, error)) {
    why = shown(path, "standard input") + ": " + error.message;
    return false;
  }
  return true;
}

bool write_all_to(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int info(const std::vector<std::string>& pos, CliStreams& io) {
  FieldMap map;
  std::string why;
  if (!load_map(pos[0], map, why)) return failure(io, why);
  io.out += format_info(pos[0], map.contents(), map.grid(), node_stats(map.contents()));
  return 0;
}

int export_table(const std::vector<std::string>& pos, const FormatOptions& formats,
                 CliStreams& io) {
  const std::string& map_path = pos[0];
  const std::string& table_path = pos[1];
  if (formats.unfold && formats.to != Format::vti) {
    return usage_error(io, "--unfold is for --to vti only");
  }
  FieldMap map;
  std::string why;
  if (!load_map(map_path, map, why)) return failure(io, why);
  std::string text;
  if (!prepare_export(map_path, map, formats, text, why)) return failure(io, why);
  struct stat input {};
  if (!is_standard(table_path) && ::stat(std::string(trim_blanks(map_path)).c_str(), &input) == 0 &&
      same_file(table_path, input)) {
    return failure(io, table_path + ": is the map being exported; not writing the table over it");
  }
  AtomicFile file;
  if (is_standard(table_path) ? file.open_descriptor(STDOUT_FILENO) : file.open(table_path)) {
    if (!write_export(map_path, map, formats, text, file, why) && file.why().empty()) {
      return failure(io, why);
    }
    file.commit();
  }
  if (!file.why().empty()) {
    return failure(io, shown(table_path, "standard output") + ": " + file.why());
  }
  for (const std::string& change : export_changes(map.contents(), formats.to)) {
    io.err += "fieldmap: warning: " + shown(table_path, "standard output") + ": " + change + "\n";
  }
  return 0;
}

// Standard input for convert: a regular file is read where it is; anything
// else (a pipe) is first copied to an unnamed temporary file, so that its
// format can be recognised from its content and it can be read again.
int standard_input_table(std::string& why) {
  struct stat st {};
  if (::fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
    return ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  }
  std::FILE* copy = std::tmpfile();
  if (!copy) {
    why = std::string("cannot make a temporary copy: ") + std::strerror(errno);
    return -1;
  }
  const int fd = ::fcntl(fileno(copy), F_DUPFD_CLOEXEC, 0);
  std::fclose(copy);  // the copy lives on through `fd`, and goes with it
  char chunk[65536];
  for (ssize_t n; fd >= 0 && (n = ::read(STDIN_FILENO, chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !write_all_to(fd, std::string_view(chunk, static_cast<std::size_t>(n)))) {
      why = std::strerror(errno);
      ::close(fd);
      return -1;
    }
  }
  if (fd >= 0 && ::lseek(fd, 0, SEEK_SET) != 0) {
    why = std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

struct ConvertOptions {
  MapContents contents;
  bool has_title = false;
  bool has_date = false;
  bool has_angle = false;
  bool has_reflect = false;
  double scale = 1.0;
  FormatOptions formats;  // --from, --to, --units
};

void take_option(const std::string& command, const std::string& name, const std::string& value,
                 ConvertOptions& o) {
  bool taken = false;
  std::string problem;
  if (!take_format_option(command, name, value, o.formats, taken, problem)) {
    throw UsageError{problem};
  }
  if (taken) return;
  if (name == "--title") {
    if (value.size() > 80) throw UsageError{"--title: longer than the 80 bytes of the title"};
    o.contents.title = value;
    o.has_title = true;
  } else if (name == "--date") {
    if (value.size() > 18) throw UsageError{"--date: longer than the 18 bytes of the date"};
    o.contents.date = value;
    o.has_date = true;
  } else if (name == "--angle") {
    float angle = 0;
    if (!parse_float(value, angle) || !std::isfinite(angle)) {
      throw UsageError{"--angle: \"" + value + "\" is not a finite number of degrees"};
    }
    o.contents.angle = angle;
    o.has_angle = true;
  } else if (name == "--reflect") {
    std::int32_t index[3];
    std::size_t start = 0;
    for (int a = 0; a < 3; ++a) {
      const std::size_t comma = a < 2 ? value.find(',', start) : value.size();
      std::int64_t v = 0;
      if (comma == std::string::npos ||
          !parse_int64(std::string_view(value).substr(start, comma - start), v) || v < INT32_MIN ||
          v > INT32_MAX) {
        throw UsageError{"--reflect: \"" + value + "\" is not three integers A,B,C"};
      }
      index[a] = static_cast<std::int32_t>(v);
      start = comma + 1;
    }
    o.contents.ida = index[0];
    o.contents.idb = index[1];
    o.contents.idc = index[2];
    o.has_reflect = true;
  } else if (name == "--scale") {
    double scale = 0;
    if (!parse_double(value, scale) || !std::isfinite(scale) || !(scale > 0)) {
      throw UsageError{"--scale: \"" + value + "\" is not a positive number"};
    }
    o.scale = scale;
  } else {
    throw UsageError{"unknown option " + name};
  }
}

// "lines 4, 9 and 12" or "lines 4, 9, 12, 20, 31, ..." for the first
// lines of `count` ones.
std::string line_list(const std::vector<std::uint64_t>& lines, std::int64_t count) {
  std::string out = lines.size() == 1 ? "line " : "lines ";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0)
      out += i + 1 == lines.size() && count == 1 + static_cast<std::int64_t>(i) ? " and " : ", ";
    out += std::to_string(lines[i]);
  }
  if (count > static_cast<std::int64_t>(lines.size())) out += ", ...";
  return out;
}

// The warning for nodes a file gave more than once (empty for none).
std::string repeats_warning(const std::string& table_path, const RepeatedNodes& repeats) {
  if (repeats.nodes == 0) return {};
  return "fieldmap: warning: " + table_path + ": " + std::to_string(repeats.nodes) +
         (repeats.nodes == 1 ? " node is" : " nodes are") + " given more than once, " +
         std::to_string(repeats.differing) +
         " of them with different values; the later row wins (" +
         line_list(repeats.lines, static_cast<std::int64_t>(repeats.rows)) + ")\n";
}

// Opens the table `table_path` names ("-": a copy of standard input) into
// `input`, with its status in `st`; otherwise the exit status of the
// failure, with its message.
int open_table(const std::string& table_path, const std::string& map_path, Fd& input,
               struct stat& st, CliStreams& io) {
  std::string copy_why;
  input.fd = is_standard(table_path) ? standard_input_table(copy_why)
                                     : ::open(table_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (input.fd < 0 || ::fstat(input.fd, &st) != 0) {
    return failure(io, shown(table_path, "standard input") + ": " +
                           (copy_why.empty() ? std::strerror(errno) : copy_why));
  }
  if (S_ISDIR(st.st_mode)) return failure(io, table_path + ": " + std::strerror(EISDIR));
  if (!is_standard(map_path) && same_file(map_path, st)) {
    return failure(io, map_path + ": is the table being read; not writing the map over it");
  }
  return 0;
}

// The header items given on the command line replace those of the table.
void apply_options(const ConvertOptions& options, MapContents& contents) {
  if (options.has_title) contents.title = options.contents.title;
  if (options.has_date) contents.date = options.contents.date;
  if (options.has_angle) contents.angle = options.contents.angle;
  if (options.has_reflect) {
    contents.ida = options.contents.ida;
    contents.idb = options.contents.idb;
    contents.idc = options.contents.idc;
  }
}

// The summary line and the warnings of a conversion.
void report_convert(const std::string& table_path, const std::string& map_path,
                    const MapContents& contents, const TableMapNotes& notes, CliStreams& io) {
  const std::int64_t nodes = static_cast<std::int64_t>(contents.values.size() / 3);
  // With the map on standard output the summary goes beside it, to standard error.
  (is_standard(map_path) ? io.err : io.out) +=
      shown(map_path, "standard output") + ": " + std::to_string(contents.nx) + " x " +
      std::to_string(contents.ny) + " x " + std::to_string(contents.nz) + " nodes, " +
      std::to_string(nodes - notes.unmeasured) + " measured, " + std::to_string(notes.unmeasured) +
      " unmeasured" + units_summary(notes.units) + "\n";
  const BuildNotes& built = notes.built;
  if (built.made_unmeasured > 0) {
    io.err += "fieldmap: warning: " + table_path + ": " + std::to_string(built.made_unmeasured) +
              (built.made_unmeasured == 1 ? " row holds" : " rows hold") + " values above " +
              std::to_string(static_cast<int>(kUnmeasuredLimit)) +
              " in all three components, which mark a node unmeasured (" +
              line_list(built.made_unmeasured_lines, built.made_unmeasured) + ")\n";
  }
  io.err += repeats_warning(table_path, notes.repeats);
}

int convert(const std::vector<std::string>& pos, const ConvertOptions& options, CliStreams& io) {
  const std::string& table_path = pos[0];
  const std::string& map_path = pos[1];
  Fd input;
  struct stat st {};
  if (const int status = open_table(table_path, map_path, input, st, io)) return status;
  const std::uint64_t size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  // The format: --from, else recognised from the content of a regular file
  // (a pipe cannot be read twice; it goes to the table reader).
  TableMapRequest how;
  how.format = options.formats.from.value_or(Format::table);
  how.forced = options.formats.from.has_value();
  std::string why;
  if (S_ISREG(st.st_mode) && !table_format(input.fd, options.formats, how.format, why)) {
    return failure(io, table_path + ": " + why);
  }
  how.request.want = options.formats.units;
  how.request.scale = options.scale;
  how.title = base_name(table_path);
  how.date = today();
  bool progress_open = false;
  if (io.progress && size >= kProgressBytes) {
    how.progress = [&io, &table_path, &progress_open](double fraction) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "%3d%%", static_cast<int>(fraction * 100.0));
      progress_open = fraction < 1.0;
      io.progress("\rfieldmap: reading " + table_path + " " + buffer + (progress_open ? "" : "\n"));
    };
  }
  MapContents contents = options.contents;
  TableMapNotes notes;
  TableError error;
  if (!read_table_map(input.fd, size, how, contents, notes, error, why)) {
    // A failure's message starts on a line of its own.
    if (progress_open) io.progress("\n");
    if (!why.empty()) return failure(io, table_path + ": " + why);
    io.err += table_path + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) +
              ": " + error.message + "\n";
    return 1;
  }
  apply_options(options, contents);
  AtomicFile map_file;
  if (is_standard(map_path) ? !map_file.open_descriptor(STDOUT_FILENO) : !map_file.open(map_path)) {
    return failure(io, shown(map_path, "standard output") + ": " + map_file.why());
  }
  if (!write_map_file(map_file, contents, &why)) {
    return failure(io, shown(map_path, "standard output") + ": " + why);
  }
  report_convert(table_path, map_path, contents, notes, io);
  return 0;
}

}  // namespace

int usage_error(CliStreams& io, const std::string& problem) {
  io.err += "fieldmap: " + problem + "\n" + synopsis() +
            "Run \"fieldmap --help\" for what each command does and its options.\n";
  return 2;
}

std::string synopsis() {
  return "usage: fieldmap info MAP\n"
         "       fieldmap convert TABLE MAP [--from FORMAT] [--units LENGTH,FIELD]\n"
         "                                  [--title T] [--date D] [--angle DEG]\n"
         "                                  [--reflect A,B,C] [--scale S]\n"
         "       fieldmap export MAP TABLE [--to FORMAT] [--units LENGTH,FIELD] [--unfold]\n" +
         query_usage() + analysis_usage() + resample_usage() + "       fieldmap --help\n";
}

std::string usage() {
  return synopsis() +
         "\n"
         "  info     show the header, grid, node counts and field ranges of a map file\n"
         "  convert  turn a field table into a map file; nodes without a row or with a\n"
         "           value that is not finite become unmeasured (999999); \"#map\" lines\n"
         "           in front of the rows of a table fill the map header\n"
         "           --from FORMAT     the table's format (default: recognised from its\n"
         "                             content): table (header form \"NX NY NZ\" /\n"
         "                             column lines / \"0\"), csv (plain columns\n"
         "                             x y z bx by bz), bdsim, g4beamline, comsol\n"
         "           --units L,F       the map's units, converted from the table's:\n"
         "                             L one of um mm cm m, F one of T mT G kG\n"
         "                             (default: the table's own; never guessed)\n"
         "           --title T         map title (default: the table's file name)\n"
         "           --date D          map date (default: today, DD-MON-YYYY)\n"
         "           --angle DEG       symmetry angle in degrees (default 90)\n"
         "           --reflect A,B,C   reflection indices IDA,IDB,IDC (default 0,0,0)\n"
         "           --scale S         multiply the coordinates by S (default 1)\n"
         "  export   write a map file as a header-form table, its header items in \"#map\"\n"
         "           lines, that converts back to the same map\n"
         "           --to FORMAT       table (default), csv, bdsim (cm, T),\n"
         "                             g4beamline (mm, T) or vti (VTK image data)\n"
         "           --unfold          vti: the whole extent the mirror planes give\n"
         "           --units L,F       the map's units, when the map does not record them\n"
         "  sample   the field at points: along a line, on a grid or from a file (x y z\n"
         "           per line), as CSV (default), TSV or JSON; -o writes a file;\n"
         "           --gradient adds the nine derivatives dbx_dx .. dbz_dz\n"
         "  integral field integrals along a line, the peak field and the effective\n"
         "           length, from points at most S apart (default: a quarter of the\n"
         "           finest grid step) with both ends among them\n"
         "  resample a map on another grid: each node the input's field there (--box:\n"
         "           default the input's nodes; --to: default a map file); INPUT is a map\n"
         "           file or a table in any format, which may exceed the console's capacity\n"
         "  diff     compare two maps at the nodes of A (or at given points); exit 0\n"
         "           when they agree within --tolerance (default 0), 1 when not, 2 on\n"
         "           trouble; recorded units of B are converted to those of A\n"
         "A file name \"-\" is standard input or standard output.\n"
         "The map or table is written to a temporary file beside it and renamed over\n"
         "it when complete, so a failure leaves an existing file as it was.\n";
}

namespace {

// The file names and options of info, convert or export (`args[0]`);
// false when they ask for help.  Errors of the call are thrown.
bool parse_file_command(const std::vector<std::string>& args, std::vector<std::string>& pos,
                        ConvertOptions& options) {
  const std::string& command = args[0];
  bool options_end = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_end || a.size() < 2 || a[0] != '-' || a == "-") {
      pos.push_back(a);
      continue;
    }
    if (a == "--") {
      options_end = true;
      continue;
    }
    if (a == "--help" || a == "-h") return false;
    if (command == "info") throw UsageError{command + " takes no option " + a};
    if (command == "export" && a == "--unfold") {
      options.formats.unfold = true;
      continue;
    }
    std::string name = a;
    std::string value;
    const auto equals = a.find('=');
    if (equals != std::string::npos) {
      name = a.substr(0, equals);
      value = a.substr(equals + 1);
    } else {
      if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
      value = args[++i];
    }
    take_option(command, name, value, options);
  }
  return true;
}

int run_call(const std::vector<std::string>& args, CliStreams& io) {
  if (args.empty()) return usage_error(io, "missing subcommand");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    if (args.size() != 1) return usage_error(io, "--help takes no arguments");
    io.out += usage();
    return 0;
  }
  if (command == "sample") return run_sample(args, io);
  if (command == "integral") return run_integral(args, io);
  if (command == "diff") return run_diff(args, io);
  if (command == "harmonics") return run_harmonics(args, io);
  if (command == "check") return run_check(args, io);
  if (command == "resample") return run_resample(args, io);
  if (command != "info" && command != "convert" && command != "export") {
    return usage_error(io, "unknown subcommand \"" + command + "\"");
  }

  std::vector<std::string> pos;
  ConvertOptions options;
  try {
    if (!parse_file_command(args, pos, options)) {
      io.out += command_usage(command);
      return 0;
    }
  } catch (const UsageError& e) {
    return usage_error(io, e.problem);
  }

  const std::size_t wanted = command == "info" ? 1 : 2;
  if (pos.size() != wanted) {
    return usage_error(io, command + " takes " + std::to_string(wanted) + " file name" +
                               (wanted > 1 ? "s" : "") + ", not " + std::to_string(pos.size()));
  }
  if (command == "info") return info(pos, io);
  if (command == "export") return export_table(pos, options.formats, io);
  return convert(pos, options, io);
}

}  // namespace

int run_fieldmap(const std::vector<std::string>& args, CliStreams& io) {
  try {
    return run_call(args, io);
  } catch (const std::bad_alloc&) {
    return failure(io, "out of memory");
  } catch (const std::exception& e) {
    return failure(io, e.what());
  }
}

}  // namespace fieldscan::fieldmap
