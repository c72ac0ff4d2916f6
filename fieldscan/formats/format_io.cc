#include "fieldscan/formats/format_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "fieldscan/formats/table_reader.h"
#include "fieldscan/formats/table_writer.h"

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

namespace {

// The text of the file open on `fd` read from its start without moving
// the descriptor's position.
class PreadSource final : public TextSource {
 public:
  explicit PreadSource(int fd) : fd_(fd) {}
  std::ptrdiff_t read(char* dst, std::size_t n, std::string& why) override {
    for (;;) {
      const ssize_t r = ::pread(fd_, dst, n, static_cast<off_t>(offset_));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        why = std::strerror(errno);
        return -1;
      }
      offset_ += static_cast<std::uint64_t>(r);
      return r;
    }
  }

 private:
  int fd_;
  std::uint64_t offset_ = 0;
};

}  // namespace

bool table_format(int fd, const FormatOptions& options, Format& format, std::string& why) {
  std::string head(std::size_t{1} << 16, '\0');
  std::size_t got = 0;
  PreadSource source(fd);
  while (got < head.size()) {
    const std::ptrdiff_t r = source.read(head.data() + got, head.size() - got, why);
    if (r < 0) return false;
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  head.resize(got);
  if (looks_like_utf16(head)) {
    why = kUtf16Message;
    return false;
  }
  if (head.find('\0') != std::string::npos) {
    why = "not a text table (it holds zero bytes; is it a map file?)";
    return false;
  }
  if (options.from) {
    format = *options.from;
  } else {
    PreadSource from_start(fd);
    format = detect_format(from_start);
  }
  return true;
}

bool read_other_format(Format format, int fd, const FormatRequest& request, MapContents& contents,
                       Units& units, TableError& error, std::string& why, RepeatedNodes* repeats) {
  // The file already open, not the name again: a pipe has one reader, and
  // the name may have come to mean another file since it was opened.
  std::ifstream in("/proc/self/fd/" + std::to_string(fd), std::ios::binary);
  if (!in) {
    why = std::strerror(errno);
    return false;
  }
  if (format == Format::bdsim) return read_bdsim(in, request, contents, units, error);
  if (format == Format::g4beamline)
    return read_g4beamline(in, request, contents, units, error, repeats);
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
      text = write_csv(grid, values, units, &contents);
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

std::vector<std::string> export_changes(const MapContents& c, Format to) {
  std::vector<std::string> out;
  if (to != Format::bdsim && to != Format::g4beamline) return out;
  const std::string format(format_name(to));
  static const char* const reflection_name[3] = {"IDA", "IDB", "IDC"};
  const std::int32_t reflections[3] = {c.ida, c.idb, c.idc};
  for (int a = 0; a < 3; ++a) {
    if (to == Format::g4beamline && reflections[a] != 0 && reflections[a] != 1 &&
        reflections[a] != 2) {
      out.push_back(format + " files carry the reflection index " + reflection_name[a] + " " +
                    std::to_string(reflections[a]) +
                    " as 2 (the same field); converted back the map has 2");
    }
  }
  static const char* const integer_name[6] = {"ISA", "ISB", "ISC", "IMA", "IMB", "IMC"};
  const std::int32_t integers[6] = {c.isa, c.isb, c.isc, c.ima, c.imb, c.imc};
  for (int i = 0; i < 6; ++i) {
    if (integers[i] != 0) {
      out.push_back(format + " files do not carry " + integer_name[i] + " " +
                    std::to_string(integers[i]) + "; converted back the map has 0");
    }
  }
  return out;
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
