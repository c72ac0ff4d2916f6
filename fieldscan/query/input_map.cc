#include "fieldscan/query/input_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fieldscan/formats/grid_finder.h"
#include "fieldscan/formats/table_reader.h"
#include "fieldscan/formats/table_writer.h"

namespace fieldscan::fieldmap {
namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

std::string located(const std::string& path, const TableError& e) {
  if (e.line == 0) return path + ": " + e.message;
  return path + ":" + std::to_string(e.line) + ":" + std::to_string(e.column) + ": " + e.message;
}

// The table open on `fd` in `format` into `contents`, and its header lines.
bool read_table_input(const std::string& path, int fd, std::uint64_t size, Format format,
                      const FormatOptions& options, std::int64_t capacity, MapContents& contents,
                      Units& units, MapHeader& header, std::string& why) {
  FormatRequest request;
  request.want = options.units;
  request.capacity = capacity;
  TableError error;
  if (!read_by_table_reader(format)) {
    if (read_other_format(format, fd, request, contents, units, error, why)) return true;
    if (why.empty()) why = located(path, error);
    return false;
  }
  ReadOptions read_options;
  read_options.capacity = capacity;
  read_options.columns_known = [&](const Table& t, double factor[6], TableError& e) {
    if (options.from && !check_table_form(t, format, e)) return false;
    return table_units(t, request, factor, units, e);
  };
  FdSource source(fd, size);
  Table table;
  if (!read_table(source, read_options, table, error) ||
      !build_map(table, contents, error, nullptr, capacity)) {
    why = located(path, error);
    return false;
  }
  header = table.header;
  return true;
}

}  // namespace

bool read_input_map(const std::string& path, const FormatOptions& options, std::int64_t capacity,
                    FieldMap& map, Units& units, std::string& why, MapError* map_error,
                    bool name_limit) {
  Fd input;
  input.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (input.fd < 0 || ::fstat(input.fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    why = path + ": " + std::strerror(input.fd < 0 ? errno : EISDIR);
    if (map_error && !options.from) FieldMap::load(path, map, *map_error, capacity);
    return false;
  }
  const std::uint64_t size = S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
  Format format = options.from.value_or(Format::table);
  std::string format_why;
  if (S_ISREG(st.st_mode) && !options.from &&
      (size == 0 || !table_format(input.fd, options, format, format_why))) {
    // Not a text table: a map file (or nothing the kit reads; an empty file
    // gets the map loader's message).
    MapError error;
    const bool too_long = name_limit && path.size() > 80;
    if (too_long || !FieldMap::load(path, map, error, capacity)) {
      if (map_error) *map_error = error;
      why = path + ": " +
            (too_long ? "the map file name is longer than 80 characters" : error.message);
      return false;
    }
    units = recorded_units(map.contents().axa, map.contents().axb, map.contents().axc);
    return true;
  }
  MapContents contents;
  MapHeader header;
  if (!read_table_input(path, input.fd, size, format, options, capacity, contents, units, header,
                        why)) {
    return false;
  }
  apply_table_header(path, header, contents);
  if (units.length || units.field) record_units(units, contents);
  MapError error;
  if (!FieldMap::from_contents(std::move(contents), map, error)) {
    why = path + ": " + error.message;
    return false;
  }
  return true;
}

bool prepare_export(const std::string& name, const FieldMap& map, const FormatOptions& options,
                    std::string& text, std::string& why) {
  text.clear();
  if (options.to != Format::table) {
    return export_text(name, map.grid(), map.contents(), options, text, why);
  }
  const std::string problem = table_problem(map.contents());
  if (problem.empty()) return true;
  why = name + ": cannot be written as a table: " + problem;
  return false;
}

bool write_export(const std::string& name, const FieldMap& map, const FormatOptions& options,
                  const std::string& text, AtomicFile& file, std::string& why) {
  if (options.to != Format::table) return file.write(text);
  return table_with_units(name, map.contents(), options, why,
                          [&file](std::string_view piece) { return file.write(piece); });
}

}  // namespace fieldscan::fieldmap
