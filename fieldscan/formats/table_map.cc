#include "fieldscan/formats/table_map.h"

#include "fieldscan/formats/format_io.h"
#include "fieldscan/formats/map_header.h"
#include "fieldscan/formats/table_reader.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/text_lines.h"

namespace fieldscan::fieldmap {
namespace {

// A table of the formats read_table reads (table and CSV) into `contents`
// and its header lines into `header`.
bool read_text_table(int fd, std::uint64_t size, const TableMapRequest& how, MapContents& contents,
                     MapHeader& header, TableMapNotes& notes, TableError& error, std::string& why) {
  ReadOptions read_options;
  read_options.scale = how.request.scale;
  read_options.columns_known = [&](const Table& t, double factor[6], TableError& e) {
    if (how.forced && !check_table_form(t, how.format, e)) return false;
    return table_units(t, how.request, factor, notes.units, e);
  };
  read_options.progress = how.progress;
  FdSource source(fd, size);
  Table table;
  if (!read_table(source, read_options, table, error) ||
      !build_map(table, contents, error, &notes.built)) {
    if (error.line == 0) why = error.message;
    return false;
  }
  header = std::move(table.header);
  return true;
}

std::int64_t unmeasured_nodes(const MapContents& contents) {
  std::int64_t unmeasured = 0;
  for (std::size_t n = 0; n + 2 < contents.values.size(); n += 3) {
    if (is_unmeasured(&contents.values[n])) ++unmeasured;
  }
  return unmeasured;
}

}  // namespace

bool read_table_map(int fd, std::uint64_t size, const TableMapRequest& how, MapContents& contents,
                    TableMapNotes& notes, TableError& error, std::string& why) {
  MapHeader header;
  if (!read_by_table_reader(how.format)) {
    if (!read_other_format(how.format, fd, how.request, contents, notes.units, error, why,
                           &notes.repeats)) {
      return false;
    }
  } else if (!read_text_table(fd, size, how, contents, header, notes, error, why)) {
    return false;
  }
  // The table's header lines fill the map header.
  if (!header.title) contents.title = how.title;
  if (!header.date) contents.date = how.date;
  apply_header(header, contents);
  // The units go into the axis texts (when any is known).
  if (notes.units.length || notes.units.field) record_units(notes.units, contents);
  notes.unmeasured = unmeasured_nodes(contents);
  return true;
}

}  // namespace fieldscan::fieldmap
