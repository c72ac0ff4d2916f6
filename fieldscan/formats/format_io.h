// The command-line side of formats and units: the options --from, --to and
// --units, recognising a table's format, reading the formats that
// read_table does not, and the text that export writes.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fieldscan/formats/formats.h"
#include "fieldscan/formats/table_error.h"
#include "fieldscan/formats/units.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan::fieldmap {

struct FormatOptions {
  std::optional<Format> from;  // convert --from (unset: recognised from the content)
  Format to = Format::table;   // export --to
  Units units;                 // --units
  bool unfold = false;         // export --unfold (vti: the images in the mirror planes too)
};

// Takes option `name` of `command` ("convert" or "export") when it is one of
// --from (convert), --to (export) or --units, and then sets `taken`.  False
// with the problem for the usage message when its value is wrong, or when
// `command` is export and `name` is any other option.
bool take_format_option(const std::string& command, const std::string& name,
                        const std::string& value, FormatOptions& options, bool& taken,
                        std::string& problem);

// The format of the regular file open on `fd`: --from, else recognised from
// its content (read in place: the descriptor's position is unchanged).
// False with the reason when the file cannot be read, is UTF-16, or holds
// zero bytes in its first 64 KiB (a map file, say).
bool table_format(int fd, const FormatOptions& options, Format& format, std::string& why);

// True for the formats that read_table reads (table and csv).
inline bool read_by_table_reader(Format format) {
  return format == Format::table || format == Format::csv;
}

// Reads a BDSIM, G4beamline or COMSOL file, open on `fd` at its start, into
// `contents` and the map's units into `units`.  On failure either `why` (the
// file cannot be read) or `error` (its line, column and problem) is set.
// `repeats` receives the nodes a G4beamline file gives more than once.
bool read_other_format(Format format, int fd, const FormatRequest& request, MapContents& contents,
                       Units& units, TableError& error, std::string& why,
                       RepeatedNodes* repeats = nullptr);

// For --from table or --from csv: false with `error` set when read_table
// found the other form.
bool check_table_form(const Table& table, Format format, TableError& error);

// The map's units for export: those its axis texts record, completed by
// --units.  False with the reason when --units contradicts them.
bool export_units(const std::string& map_path, const MapContents& contents,
                  const FormatOptions& options, Units& units, std::string& why);

// The text of the loaded map (`grid` as loaded, `contents` its items) from
// the file `map_path` in the format --to chooses other than the table, in
// its units (export_units).  False with the reason otherwise.
bool export_text(const std::string& map_path, const GridSize& grid, const MapContents& contents,
                 const FormatOptions& options, std::string& text, std::string& why);

// What the file written in `to` changes of the map's header numbers, one
// text each: reflection indices other than 0, 1 and 2, which G4beamline's
// extend lines carry as 2 (the field is the same), and the integers ISA ISB
// ISC IMA IMB IMC, which BDSIM and G4beamline files do not carry.  Empty for
// the table and CSV, which carry every item.
std::vector<std::string> export_changes(const MapContents& contents, Format to);

// The table of the map (write_table) with its units (export_units) after the
// column names, in pieces to `sink`.  False with the reason when the units
// are contradicted.
bool table_with_units(const std::string& map_path, const MapContents& contents,
                      const FormatOptions& options, std::string& why,
                      const std::function<bool(std::string_view)>& sink);

// "; lengths in mm, field in T" for the summary line of convert, with a hint
// at --units when a unit is unknown.
std::string units_summary(const Units& units);

}  // namespace fieldscan::fieldmap
