// Units of lengths and fields, and where a map records them.
//
// A map file itself names no units: its coordinates are in whatever unit the
// user gives scan positions in, and its field values are used as stored.
// fieldmap therefore never guesses a unit.  A table's units come from the
// table (a unit in brackets or parentheses after a column name, the "% Length
// unit" line of a spreadsheet export, or the fixed units of a format); the
// user chooses the map's units with --units; and a map made by fieldmap
// records its units in the axis texts of its third record (which the console
// reads but never uses):
//
//   AXA  "X [mm]"   the length unit (x, y and z share it: scan positions are
//   AXB  "Y [mm]"   given in one unit); AXA and AXB carry the same unit
//   AXC  "B [T]"    the field unit
//
// Each text is at most 8 bytes, so the units are written by their short names
// (um mm cm m, T mT G kG).  A unit that is not known leaves its texts as
// "X", "Y" (length) or "Z" (field) without brackets.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fieldscan/mapfile/map_contents.h"

namespace fieldscan::fieldmap {

enum class LengthUnit { um, mm, cm, m };
enum class FieldUnit { T, mT, G, kG };

// The map's or a table's units; an empty optional is a unit nobody named.
struct Units {
  std::optional<LengthUnit> length;
  std::optional<FieldUnit> field;
};

// Reads a unit name, any case, with or without surrounding brackets or
// parentheses: um, micron, micrometre; mm, millimetre; cm, centimetre;
// m, metre, meter (and plurals); T, tesla; mT, millitesla; G, gauss;
// kG, kilogauss.  False, the result untouched, for any other text.
bool parse_length_unit(std::string_view text, LengthUnit& unit);
bool parse_field_unit(std::string_view text, FieldUnit& unit);

// The short names: "um", "mm", "cm", "m"; "T", "mT", "G", "kG".
std::string_view unit_name(LengthUnit unit);
std::string_view unit_name(FieldUnit unit);

// `value` in unit `from` expressed in unit `to`, in double precision.  The
// ratio of two units is an exact power of ten, applied as one multiplication
// or one division by that power, so the result is correctly rounded.
double convert_length(double value, LengthUnit from, LengthUnit to);
double convert_field(double value, FieldUnit from, FieldUnit to);

// Reads the --units value "LENGTH,FIELD" (for example "cm,G").  False with
// the reason in `why` when it is not two known units.
bool parse_units_option(std::string_view text, Units& units, std::string& why);

// "lengths in mm, field in T", with "unknown" for a unit nobody named.
std::string describe_units(const Units& units);

// Writes the units into the axis texts as described above.
void record_units(const Units& units, MapContents& contents);

// Reads the units back from axis texts (trailing blanks allowed).  A text
// that is not of the recorded form leaves its unit unknown.
Units recorded_units(std::string_view axa, std::string_view axb, std::string_view axc);

}  // namespace fieldscan::fieldmap
