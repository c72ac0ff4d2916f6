#include "fieldmap/format_cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "fieldmap/table_reader.h"
#include "fieldmap/table_writer.h"

namespace fieldscan::fieldmap {

bool take_format_option(const std::string& command, const std::string& name,
                        const std::string& value, FormatOptions& options, bool& taken,
                        std::string& problem) {
  taken = true;
  Format format;
  if (name == "--units") {
    if (parse_units_option(value, options.units, problem)) return true;
    problem = "--units: " + problem;
    return false;
  }
  if (command == "export") {
    if (name != "--to") {
      problem = "export takes no option " + name;
      return false;
    }
    if (!parse_format_name(value, format)) {
      problem = "--to: unknown format \"" + value + "\" (table, csv, bdsim, g4beamline, vti)";
      return false;
    }
    if (format == Format::comsol) {
      problem = "--to: comsol files are read, not written";
      return false;
    }
    options.to = format;
    return true;
  }
  if (name == "--from") {
    if (!parse_format_name(value, format)) {
      problem = "--from: unknown format \"" + value + "\" (table, csv, bdsim, g4beamline, comsol)";
      return false;
    }
    if (format == Format::vti) {
      problem = "--from: vti files are written, not read";
      return false;
    }
    options.from = format;
    return true;
  }
  taken = false;
  return true;
}

bool table_format(int fd, const FormatOptions& options, Format& format, std::string& why) {
  std::string head(std::size_t{1} << 16, '\0');
  std::size_t got = 0;
  while (got < head.size()) {
    const ssize_t r = ::pread(fd, head.data() + got, head.size() - got, static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      why = std::strerror(errno);
      return false;
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  head.resize(got);
  if (head.find('\0') != std::string::npos) {
    why = "not a text table (it holds zero bytes; is it a map file?)";
    return false;
  }
  format = options.from ? *options.from : detect_format(head);
  return true;
}

bool read_other_format(Format format, int fd, const FormatRequest& request, MapContents& contents,
                       Units& units, TableError& error, std::string& why) {
  // The file already open, not the name again: a pipe has one reader, and
  // the name may have come to mean another file since it was opened.
  std::ifstream in("/proc/self/fd/" + std::to_string(fd), std::ios::binary);
  if (!in) {
    why = std::strerror(errno);
    return false;
  }
  if (format == Format::bdsim) return read_bdsim(in, request, contents, units, error);
  if (format == Format::g4beamline) return read_g4beamline(in, request, contents, units, error);
  return read_comsol(in, request, contents, units, error);
}

bool check_table_form(const Table& table, Format format, TableError& error) {
  if (table.header_form == (format == Format::table)) return true;
  error.line = table.header_form ? table.counts_line : 1;
  error.column = 1;
  error.message = format == Format::table
                      ? "not a header table: the first line is not the node counts NX NY NZ"
                      : "a header table, not plain columns (--from csv)";
  return false;
}

bool export_units(const std::string& map_path, const MapContents& contents,
                  const FormatOptions& options, Units& units, std::string& why) {
  units = recorded_units(contents.axa, contents.axb, contents.axc);
  const Units& given = options.units;
  if (given.length && units.length && *units.length != *given.length) {
    why = map_path + ": the map records lengths in " + std::string(unit_name(*units.length)) +
          ", not " + std::string(unit_name(*given.length)) + " as --units says";
    return false;
  }
  if (given.field && units.field && *units.field != *given.field) {
    why = map_path + ": the map records the field in " + std::string(unit_name(*units.field)) +
          ", not " + std::string(unit_name(*given.field)) + " as --units says";
    return false;
  }
  if (!units.length) units.length = given.length;
  if (!units.field) units.field = given.field;
  return true;
}

bool export_text(const std::string& map_path, const GridSize& grid, const MapContents& contents,
                 const FormatOptions& options, std::string& text, std::string& why) {
  Units units;
  if (!export_units(map_path, contents, options, units, why)) return false;
  const float* values = contents.values.data();
  bool ok = true;
  switch (options.to) {
    case Format::csv:
      text = write_csv(grid, values, units);
      break;
    case Format::bdsim:
      ok = write_bdsim(grid, values, units, text, why);
      break;
    case Format::g4beamline:
      ok = write_g4beamline(grid, values, units, text, why);
      break;
    case Format::vti:
      ok = write_vti(contents, units, options.unfold, text, why);
      break;
    case Format::table:
    case Format::comsol:
      ok = false;
      why = std::string(format_name(options.to)) + " is not written by export_text";
      break;
  }
  if (!ok) why = map_path + ": " + why;
  return ok;
}

bool table_with_units(const std::string& map_path, const MapContents& contents,
                      const FormatOptions& options, std::string& why,
                      const std::function<bool(std::string_view)>& sink) {
  Units units;
  if (!export_units(map_path, contents, options, units, why)) return false;
  const Units recorded = recorded_units(contents.axa, contents.axb, contents.axc);
  if (units.length == recorded.length && units.field == recorded.field) {
    write_table(contents, sink);
  } else {
    MapContents with_units = contents;  // --units names what the map does not record
    record_units(units, with_units);
    write_table(with_units, sink);
  }
  return true;
}

std::string units_summary(const Units& units) {
  return "; " + describe_units(units) +
         (units.length && units.field ? "" : " (--units LENGTH,FIELD records them)");
}

}  // namespace fieldscan::fieldmap
