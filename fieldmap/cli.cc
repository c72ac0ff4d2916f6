#include "fieldmap/cli.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "fieldmap/format_cli.h"
#include "fieldmap/grid_finder.h"
#include "fieldmap/map_info.h"
#include "fieldmap/number.h"
#include "fieldmap/table_reader.h"
#include "fieldmap/table_writer.h"
#include "mapfile/load.h"
#include "mapfile/map_writer.h"
#include "textio/text.h"

namespace fieldscan::fieldmap {
namespace {

// The field array of this process: LOAD fills it, info and export read it.
float g_bmap[MXS];

// Conversions of tables at least this long show their progress.
constexpr std::size_t kProgressBytes = std::size_t{8} << 20;

struct UsageError {
  std::string problem;
};

int usage_error(CliStreams& io, const std::string& problem) {
  io.err += "fieldmap: " + problem + "\n" + usage();
  return 2;
}

int failure(CliStreams& io, const std::string& message) {
  io.err += "fieldmap: " + message + "\n";
  return 1;
}

bool read_whole_file(const std::string& path, std::string& text, std::string& why) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) {
    why = std::strerror(errno);
    return false;
  }
  text.clear();
  if (std::fseek(f.get(), 0, SEEK_END) == 0) {
    const long size = std::ftell(f.get());
    if (size > 0) text.reserve(static_cast<std::size_t>(size));
    std::rewind(f.get());
  }
  char buffer[1 << 16];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, f.get());
    text.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  if (std::ferror(f.get())) {
    why = "read error";
    return false;
  }
  return true;
}

// Today's date as DD-MON-YYYY.
std::string today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  static const char* const months[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d-%s-%04d", local.tm_mday, months[local.tm_mon % 12],
                local.tm_year + 1900);
  return buffer;
}

std::string base_name(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Loads `path` with LOAD into SIZE and g_bmap; on failure returns false with
// the message for the user in `why`.
bool load_map(const std::string& path, std::string& why) {
  if (path.size() > 80) {
    why = path + ": the map file name is longer than 80 characters";
    return false;
  }
  const Text80 name = make_text<80>(path);
  Text80 message = make_text<80>("");
  std::int16_t status = 0;
  LOAD(name, g_bmap, MXS, message, status);
  if (status != 0) {
    why = path + ": " + std::string(trim_blanks(view(message)));
    return false;
  }
  return true;
}

int info(const std::vector<std::string>& pos, CliStreams& io) {
  std::string why;
  if (!load_map(pos[0], why)) return failure(io, why);
  MapTexts texts;
  if (!read_map_texts(pos[0], texts)) return failure(io, pos[0] + ": cannot read its header");
  io.out += format_info(pos[0], texts, SIZE, node_stats(SIZE, g_bmap));
  return 0;
}

int export_table(const std::vector<std::string>& pos, const FormatOptions& formats,
                 CliStreams& io) {
  std::string why;
  if (!load_map(pos[0], why)) return failure(io, why);
  std::string text;
  if (!export_text(pos[0], SIZE, g_bmap, formats, text, why)) return failure(io, why);
  if (!write_file(pos[1], text)) {
    return failure(io, pos[1] + ": cannot write the table");
  }
  return 0;
}

struct ConvertOptions {
  MapContents contents;
  bool has_title = false;
  bool has_date = false;
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
    if (value.size() > 80) throw UsageError{"--title: longer than 80 characters"};
    o.contents.title = value;
    o.has_title = true;
  } else if (name == "--date") {
    if (value.size() > 18) throw UsageError{"--date: longer than 18 characters"};
    o.contents.date = value;
    o.has_date = true;
  } else if (name == "--angle") {
    float angle = 0;
    if (!parse_float(value, angle) || !std::isfinite(angle)) {
      throw UsageError{"--angle: \"" + value + "\" is not a finite number of degrees"};
    }
    o.contents.angle = angle;
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

int convert(const std::vector<std::string>& pos, const ConvertOptions& options, CliStreams& io) {
  const std::string& table_path = pos[0];
  const std::string& map_path = pos[1];
  std::string text;
  std::string why;
  Format format = Format::table;
  if (!table_format(table_path, options.formats, format, why)) {
    return failure(io, table_path + ": " + why);
  }
  FormatRequest request;
  request.want = options.formats.units;
  request.scale = options.scale;
  Units units;
  TableError error;
  MapContents contents = options.contents;
  if (!read_by_table_reader(format)) {
    if (!read_other_format(format, table_path, request, contents, units, error, why)) {
      if (!why.empty()) return failure(io, table_path + ": " + why);
      io.err += table_path + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) +
                ": " + error.message + "\n";
      return 1;
    }
  } else if (!read_whole_file(table_path, text, why)) {
    return failure(io, table_path + ": " + why);
  }

  ReadOptions read_options;
  read_options.scale = options.scale;
  read_options.columns_known = [&](const Table& t, double factor[6], TableError& e) {
    if (options.formats.from && !check_table_form(t, format, e)) return false;
    return table_units(t, request, factor, units, e);
  };
  if (io.progress && text.size() >= kProgressBytes) {
    read_options.progress = [&io, &table_path](double fraction) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "%3d%%", static_cast<int>(fraction * 100.0));
      io.progress("\rfieldmap: reading " + table_path + " " + buffer +
                  (fraction >= 1.0 ? "\n" : ""));
    };
  }
  Table table;
  if (read_by_table_reader(format) &&
      (!read_table(text, read_options, table, error) || !build_map(text, table, contents, error))) {
    io.err += table_path + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) +
              ": " + error.message + "\n";
    return 1;
  }
  record_units(units, contents);
  if (!options.has_title) contents.title = base_name(table_path);
  if (!options.has_date) contents.date = today();
  if (!write_map_file(map_path, contents)) return failure(io, map_path + ": cannot write the map");

  std::int64_t unmeasured = 0;
  for (std::size_t n = 0; n + 2 < contents.values.size(); n += 3) {
    if (contents.values[n] == kUnmeasured && contents.values[n + 1] == kUnmeasured &&
        contents.values[n + 2] == kUnmeasured) {
      ++unmeasured;
    }
  }
  const std::int64_t nodes = static_cast<std::int64_t>(contents.values.size() / 3);
  io.out += map_path + ": " + std::to_string(contents.nx) + " x " + std::to_string(contents.ny) +
            " x " + std::to_string(contents.nz) + " nodes, " + std::to_string(nodes - unmeasured) +
            " measured, " + std::to_string(unmeasured) + " unmeasured" + units_summary(units) +
            "\n";
  return 0;
}

}  // namespace

std::string usage() {
  return "usage: fieldmap info MAP\n"
         "       fieldmap convert TABLE MAP [--from FORMAT] [--units LENGTH,FIELD]\n"
         "                                  [--title T] [--date D] [--angle DEG]\n"
         "                                  [--reflect A,B,C] [--scale S]\n"
         "       fieldmap export MAP TABLE [--to FORMAT] [--units LENGTH,FIELD]\n"
         "       fieldmap --help\n"
         "\n"
         "  info     show the header, grid, node counts and field ranges of a map file\n"
         "  convert  turn a field table into a map file; nodes without a row or with a\n"
         "           value that is not finite become unmeasured (999999)\n"
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
         "  export   write a map file as a table that converts back exactly\n"
         "           --to FORMAT       table (default), csv, bdsim (cm, T) or\n"
         "                             g4beamline (mm, T)\n"
         "           --units L,F       the map's units, when the map does not record them\n";
}

int run_fieldmap(const std::vector<std::string>& args, CliStreams& io) {
  if (args.empty()) return usage_error(io, "missing subcommand");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    if (args.size() != 1) return usage_error(io, "--help takes no arguments");
    io.out += usage();
    return 0;
  }
  if (command != "info" && command != "convert" && command != "export") {
    return usage_error(io, "unknown subcommand \"" + command + "\"");
  }

  std::vector<std::string> pos;
  ConvertOptions options;
  try {
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
      if (a == "--help" || a == "-h") {
        io.out += usage();
        return 0;
      }
      if (command == "info") throw UsageError{command + " takes no option " + a};
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

}  // namespace fieldscan::fieldmap
