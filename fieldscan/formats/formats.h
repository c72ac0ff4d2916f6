// The field-map formats of other tools that fieldmap reads and writes, and
// how a file's format is recognised.
//
//   name        read  write  units                 node order          symmetry
//   table       yes   yes    from the column units  any (z fastest out) none
//   csv         yes   yes    from the column names  any (x fastest out) none
//   bdsim       yes   yes    cm, T                  loopOrder xyzt/tzyx none
//   g4beamline  yes   yes    mm, T                  by coordinates      extendX/Y/Z
//   comsol      yes   no     "% Length unit", (T)   any                 none
//
// `table` and `csv` are the two forms of read_table (table_reader.h); the
// readers here take the other three.  Each fills the geometry and the node
// values of a MapContents (and, for G4beamline, the reflection indices) in
// the map's units: the file's own units, or those the caller asks for, each
// value converted once in double precision and rounded once to single
// precision.  A node whose three components are all above 900000 (the
// unmeasured mark) keeps its values unconverted; a node that has no row, or
// a component that is not a finite number, becomes unmeasured (999999).
//
// The writers take a loaded map (its grid and BMAP-ordered values) and its
// units, and convert into the format's fixed units; they write the
// unmeasured mark as it is.  Every number is the shortest decimal that reads
// back as the same single-precision value.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "fieldscan/formats/table_error.h"
#include "fieldscan/formats/units.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_contents.h"
#include "fieldscan/textio/text_lines.h"

namespace fieldscan::fieldmap {

enum class Format { table, csv, bdsim, g4beamline, comsol, vti };

// "table", "csv", "bdsim" (or "bdsim3d"), "g4beamline" (or "g4bl"), "comsol",
// "vti" (written only).
bool parse_format_name(std::string_view name, Format& format);
std::string_view format_name(Format format);

// Recognises a format from the first line of a file that decides, read past
// comment ("#") and blank lines however many there are: "%" header lines
// are COMSOL, "key>" lines or a "!" column line are BDSIM,
// "param"/"grid"/"data" commands are G4beamline, a first line of three or
// four numbers is the header table, anything else plain columns (also a
// file with no deciding line, or one that cannot be read).
Format detect_format(TextSource& source);
Format detect_format(std::string_view text);

// What the caller asks of a reader.
struct FormatRequest {
  Units want;          // the map's units (unset: the file's own)
  double scale = 1.0;  // multiplies the coordinates after any conversion
  // The most values the map may hold: a grid that needs more is refused.
  // More than MXS only for maps that are not for the console (resample).
  std::int64_t capacity = MXS;
};

// On success the map's units are in `units` (a length unit is unknown when
// `scale` is not 1 and no length unit was asked for).  On failure `error`
// names the line, column and problem; `contents` is then unspecified.
//
// BDSIM three-dimensional map: "key> value" lines nx ny nz xmin xmax ymin
// ymax zmin zmax (min and max are the first and last node), optional
// "loopOrder> xyzt" (x fastest, the default) or "tzyx" (z fastest), "#"
// comments, one "!" line naming the columns (field columns are those whose
// names contain Fx, Fy, Fz; X, Y, Z the coordinates, which may be left out),
// then exactly nx*ny*nz rows in the loop order.  The grid comes from the
// header; a row whose coordinate lies more than half a step away from the
// node the loop order puts it at is refused, as that is a wrong loop order.
bool read_bdsim(std::istream& in, const FormatRequest& request, MapContents& contents, Units& units,
                TableError& error);

// G4beamline grid map: "#" comments, "param ... normB=S" (the field is
// multiplied by S), "grid X0= Y0= Z0= nX= nY= nZ= dX= dY= dZ=" (the origin
// is the first node), optional "extendX flip=Bx" (reflection index 1) or
// "flip=By,Bz" (index 2), likewise extendY (By; Bx,Bz) and extendZ (Bz;
// Bx,By), then "data" and rows "X Y Z Bx By Bz" placed by their
// coordinates.  An extend whose flip list no index expresses, or whose
// mirror plane (the axis's zero) is not the grid's first node, is refused.
//
// A node given by more than one row takes the values of the last of them, as
// G4beamline itself loads such a file (maps written as two halves that share
// a plane give its nodes twice); `repeats`, when given, counts them.
struct RepeatedNodes {
  std::uint64_t nodes = 0;           // nodes given by more than one row
  std::uint64_t differing = 0;       // of them, those whose rows' values differ
  std::uint64_t rows = 0;            // rows that give a node given before
  std::vector<std::uint64_t> lines;  // the lines of the first few such rows
};
bool read_g4beamline(std::istream& in, const FormatRequest& request, MapContents& contents,
                     Units& units, TableError& error, RepeatedNodes* repeats = nullptr);

// COMSOL spreadsheet export: "%" header lines, among them "% Length unit: mm"
// and, last, one naming the columns "x y z mf.Bx (T) mf.By (T) mf.Bz (T)"
// (field columns end in Bx, By, Bz; a unit in parentheses follows the name),
// then rows in any order on a regular grid (found as for plain columns).
// "NaN" values (points outside the model) make a node unmeasured.
bool read_comsol(std::istream& in, const FormatRequest& request, MapContents& contents,
                 Units& units, TableError& error);

// Writers.  `grid` and `values` as LOAD leaves SIZE and BMAP; `map_units`
// are the map's.  False with the reason in `why` when the map cannot be
// written in the format: its units are unknown (the message names --units),
// or it has symmetries the format cannot carry.
bool write_bdsim(const GridSize& grid, const float* values, const Units& map_units,
                 std::string& out, std::string& why);
bool write_g4beamline(const GridSize& grid, const float* values, const Units& map_units,
                      std::string& out, std::string& why);
// Comma-separated, a header line naming the columns with the map's units
// ("x [mm],y [mm],z [mm],Bx [T],By [T],Bz [T]"; no brackets for a unit that
// is unknown), the x index fastest.  With `header`, its header items go in
// front as "#map" lines (map_header.h), as in a table, so that the map's
// grid, symmetry and texts come back when the file is converted.  Never
// fails.
std::string write_csv(const GridSize& grid, const float* values, const Units& map_units,
                      const MapContents* header = nullptr);
// VTK XML image data: WholeExtent, Origin and Spacing from the grid, point
// data B (three float32, x index fastest; NaN where unmeasured) and
// `measured` (uint8), the title and units as field data, arrays appended as
// raw binary.  With `unfold`, each axis with a mirror plane also holds the
// images of its nodes below the plane, with their sign changes.  False
// with the reason for a map without nodes.
bool write_vti(const MapContents& map, const Units& map_units, bool unfold, std::string& out,
               std::string& why);

}  // namespace fieldscan::fieldmap

namespace fieldscan::fieldmap {

struct Table;

// For a table read by read_table (given as ReadOptions::columns_known): the
// table's units from its columns (or, for coordinates, the header form's
// closing "0 [unit]" line), the map's units (requested, else the table's;
// the length unit unknown when `request.scale` is not 1 and none was
// requested) and the factors from the one to the other.  Fails at the unit's
// place for an unknown unit, for coordinate or field columns whose units
// differ (unless --units chooses the map's) and for a column without a unit
// beside one with a unit.  `request.scale` itself is applied by the reader.
bool table_units(const Table& table, const FormatRequest& request, double factor[6],
                 Units& map_units, TableError& error);

}  // namespace fieldscan::fieldmap
