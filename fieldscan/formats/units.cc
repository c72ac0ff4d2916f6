#include "fieldscan/formats/units.h"

#include <cstdint>

#include "fieldscan/formats/unicode_text.h"

namespace fieldscan::fieldmap {
namespace {

// The text inside one pair of brackets or parentheses, blanks trimmed.
std::string_view unwrap(std::string_view text) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  };
  text = trim(text);
  if (text.size() >= 2 && ((text.front() == '[' && text.back() == ']') ||
                           (text.front() == '(' && text.back() == ')'))) {
    text = trim(text.substr(1, text.size() - 2));
  }
  return text;
}

bool one_of(const std::string& name, std::initializer_list<std::string_view> spellings) {
  for (const std::string_view s : spellings) {
    if (name == s) return true;
  }
  return false;
}

// Each unit as a whole multiple of the smallest one of its kind: lengths in
// micrometres, fields in gauss.
std::int64_t size_of(LengthUnit u) {
  switch (u) {
    case LengthUnit::um:
      return 1;
    case LengthUnit::mm:
      return 1000;
    case LengthUnit::cm:
      return 10000;
    case LengthUnit::m:
      return 1000000;
  }
  return 1;
}

std::int64_t size_of(FieldUnit u) {
  switch (u) {
    case FieldUnit::G:
      return 1;
    case FieldUnit::mT:
      return 10;
    case FieldUnit::kG:
      return 1000;
    case FieldUnit::T:
      return 10000;
  }
  return 1;
}

double rescale(double value, std::int64_t from, std::int64_t to) {
  if (from == to) return value;
  if (from > to) return value * static_cast<double>(from / to);
  return value / static_cast<double>(to / from);
}

// The unit named inside brackets at the end of an axis text ("X [mm]").
std::string_view bracketed(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.remove_suffix(1);
  const auto open = text.find('[');
  if (open == std::string_view::npos || text.empty() || text.back() != ']') return {};
  return text.substr(open);
}

}  // namespace

bool parse_length_unit(std::string_view text, LengthUnit& unit) {
  const std::string name = lower(unwrap(text));
  if (one_of(name, {"um", "\xc2\xb5m", "micron", "microns", "micrometre", "micrometres",
                    "micrometer", "micrometers"})) {
    unit = LengthUnit::um;
  } else if (one_of(name, {"mm", "millimetre", "millimetres", "millimeter", "millimeters"})) {
    unit = LengthUnit::mm;
  } else if (one_of(name, {"cm", "centimetre", "centimetres", "centimeter", "centimeters"})) {
    unit = LengthUnit::cm;
  } else if (one_of(name, {"m", "metre", "metres", "meter", "meters"})) {
    unit = LengthUnit::m;
  } else {
    return false;
  }
  return true;
}

bool parse_field_unit(std::string_view text, FieldUnit& unit) {
  const std::string name = lower(unwrap(text));
  if (one_of(name, {"t", "tesla"})) {
    unit = FieldUnit::T;
  } else if (one_of(name, {"mt", "millitesla"})) {
    unit = FieldUnit::mT;
  } else if (one_of(name, {"g", "gauss"})) {
    unit = FieldUnit::G;
  } else if (one_of(name, {"kg", "kilogauss"})) {
    unit = FieldUnit::kG;
  } else {
    return false;
  }
  return true;
}

std::string_view unit_name(LengthUnit unit) {
  switch (unit) {
    case LengthUnit::um:
      return "um";
    case LengthUnit::mm:
      return "mm";
    case LengthUnit::cm:
      return "cm";
    case LengthUnit::m:
      return "m";
  }
  return "?";
}

std::string_view unit_name(FieldUnit unit) {
  switch (unit) {
    case FieldUnit::T:
      return "T";
    case FieldUnit::mT:
      return "mT";
    case FieldUnit::G:
      return "G";
    case FieldUnit::kG:
      return "kG";
  }
  return "?";
}

double convert_length(double value, LengthUnit from, LengthUnit to) {
  return rescale(value, size_of(from), size_of(to));
}

double convert_field(double value, FieldUnit from, FieldUnit to) {
  return rescale(value, size_of(from), size_of(to));
}

bool parse_units_option(std::string_view text, Units& units, std::string& why) {
  const auto comma = text.find(',');
  if (comma == std::string_view::npos) {
    why = "\"" + std::string(text) + "\" is not LENGTH,FIELD (for example mm,T)";
    return false;
  }
  LengthUnit length;
  FieldUnit field;
  const std::string_view l = text.substr(0, comma);
  const std::string_view f = text.substr(comma + 1);
  if (!parse_length_unit(l, length)) {
    why = "unknown length unit \"" + std::string(l) + "\" (known: um, mm, cm, m)";
    return false;
  }
  if (!parse_field_unit(f, field)) {
    why = "unknown field unit \"" + std::string(f) + "\" (known: T, mT, G, kG)";
    return false;
  }
  units.length = length;
  units.field = field;
  return true;
}

std::string describe_units(const Units& units) {
  return "lengths in " + std::string(units.length ? unit_name(*units.length) : "unknown units") +
         ", field in " + std::string(units.field ? unit_name(*units.field) : "unknown units");
}

void record_units(const Units& units, MapContents& contents) {
  if (units.length) {
    const std::string unit(unit_name(*units.length));
    contents.axa = "X [" + unit + "]";
    contents.axb = "Y [" + unit + "]";
  } else {
    contents.axa = "X";
    contents.axb = "Y";
  }
  contents.axc = units.field ? "B [" + std::string(unit_name(*units.field)) + "]" : "Z";
}

Units recorded_units(std::string_view axa, std::string_view axb, std::string_view axc) {
  Units units;
  LengthUnit a, b;
  const std::string_view ua = bracketed(axa);
  if (!ua.empty() && parse_length_unit(ua, a) && !bracketed(axb).empty() &&
      parse_length_unit(bracketed(axb), b) && a == b) {
    units.length = a;
  }
  FieldUnit f;
  const std::string_view uc = bracketed(axc);
  if (!uc.empty() && parse_field_unit(uc, f)) units.field = f;
  return units;
}

}  // namespace fieldscan::fieldmap
