#include "fieldscan/query/map_diff.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/query/sample.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

std::string text(double v) { return float_text(to_single(v)); }
std::string text(Point3 p) { return point_text(p); }

constexpr std::size_t kChunk = std::size_t{1} << 16;

// The points of `chunk`, in A's length unit, in B's.
void to_lengths_of_b(const DiffUnits& u, const PointChunk& chunk, PointChunk& out) {
  out.clear();
  const auto convert = [&u](float v) {
    return to_single(convert_length(v, *u.a.length, *u.b.length));
  };
  for (std::size_t n = 0; n < chunk.size(); ++n) {
    out.push(convert(chunk.x[n]), convert(chunk.y[n]), convert(chunk.z[n]));
  }
}

// What the report says of the units: nothing when they agree or neither map
// records them.
std::string units_text(const DiffUnits& u) {
  std::string how;
  const auto add = [&how](const std::string& phrase) { how += (how.empty() ? "" : "; ") + phrase; };
  const auto side = [](const auto& in_a) {
    return in_a ? "recorded in A only" : "recorded in B only";
  };
  if (u.convert_length) {
    add("B's lengths converted from " + std::string(unit_name(*u.b.length)) + " to " +
        std::string(unit_name(*u.a.length)) + ", the unit of A");
  }
  if (u.convert_field) {
    add("B's field converted from " + std::string(unit_name(*u.b.field)) + " to " +
        std::string(unit_name(*u.a.field)) + ", the unit of A");
  }
  if (u.unknown_length) {
    add(std::string("the length units are unknown (") + side(u.a.length.has_value()) +
        "): the stored coordinates are compared");
  }
  if (u.unknown_field) {
    add(std::string("the field units are unknown (") + side(u.a.field.has_value()) +
        "): the stored values are compared");
  }
  if (how.empty()) return "";
  return "Units:       A " + describe_units(u.a) + "; B " + describe_units(u.b) + "\n" +
         "             " + how + "\n";
}

}  // namespace

DiffUnits diff_units(const MapContents& a, const MapContents& b) {
  DiffUnits u;
  u.a = recorded_units(a.axa, a.axb, a.axc);
  u.b = recorded_units(b.axa, b.axb, b.axc);
  u.convert_length = u.a.length && u.b.length && *u.a.length != *u.b.length;
  u.convert_field = u.a.field && u.b.field && *u.a.field != *u.b.field;
  u.unknown_length = u.a.length.has_value() != u.b.length.has_value();
  u.unknown_field = u.a.field.has_value() != u.b.field.has_value();
  return u;
}

double value_difference(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::isnan(a) && std::isnan(b) ? 0.0 : std::numeric_limits<double>::infinity();
  }
  if (a == b) return 0.0;  // equal infinities too
  return std::fabs(static_cast<double>(a) - static_cast<double>(b));
}

double DiffResult::max_abs() const {
  return std::max({component[0].max_abs, component[1].max_abs, component[2].max_abs});
}

bool DiffResult::within(double tolerance) const {
  return max_abs() <= tolerance && only_a == 0 && only_b == 0;
}

bool diff_maps(const FieldMap& a, const FieldMap& b, PointSource& points, DiffResult& result,
               const std::function<void(double)>& progress, unsigned threads,
               Interpolation method) {
  result = DiffResult{};
  result.units = diff_units(a.contents(), b.contents());
  const DiffUnits& units = result.units;
  double squares[3] = {0, 0, 0};
  PointChunk chunk, chunk_b;
  FieldSamples fa, fb;
  while (true) {
    if (!points.next(chunk, kChunk)) return false;
    if (chunk.size() == 0) break;
    evaluate(a, chunk, fa, threads, method);
    if (units.convert_length) to_lengths_of_b(units, chunk, chunk_b);
    evaluate(b, units.convert_length ? chunk_b : chunk, fb, threads, method);
    for (std::size_t n = 0; n < chunk.size(); ++n) {
      const std::int64_t index = result.points + static_cast<std::int64_t>(n);
      const Point3 p{chunk.x[n], chunk.y[n], chunk.z[n]};
      const bool in_a = fa.status[n] == FieldStatus::kOk;
      const bool in_b = fb.status[n] == FieldStatus::kOk;
      if (!in_a || !in_b) {
        if (in_a && result.only_a++ == 0) result.first_only_a = p;
        if (in_b && result.only_b++ == 0) result.first_only_b = p;
        if (!in_a && !in_b) ++result.neither;
        continue;
      }
      ++result.both;
      const float va[3] = {fa.b[n].bx, fa.b[n].by, fa.b[n].bz};
      float vb[3] = {fb.b[n].bx, fb.b[n].by, fb.b[n].bz};
      if (units.convert_field) {
        for (float& v : vb) v = to_single(convert_field(v, *units.b.field, *units.a.field));
      }
      for (int c = 0; c < 3; ++c) {
        const double d = value_difference(va[c], vb[c]);
        squares[c] += d * d;
        ComponentDiff& cd = result.component[c];
        if (d > cd.max_abs || (cd.where < 0 && d == cd.max_abs)) {
          cd.max_abs = d;
          cd.where = index;
          cd.at = p;
          cd.a = va[c];
          cd.b = vb[c];
        }
      }
    }
    result.points += static_cast<std::int64_t>(chunk.size());
    if (progress) progress(points.done_fraction());
  }
  for (int c = 0; c < 3; ++c) {
    if (result.both > 0) {
      result.component[c].rms = std::sqrt(squares[c] / static_cast<double>(result.both));
    }
  }
  return true;
}

std::string format_diff(const DiffResult& r, double tolerance,
                        const std::function<std::string(std::int64_t)>& where) {
  static const char* const names[3] = {"bx", "by", "bz"};
  std::string out = units_text(r.units);
  out += "Points:      " + std::to_string(r.points) + ", evaluable in both " +
         std::to_string(r.both) + ", in A only " + std::to_string(r.only_a) + ", in B only " +
         std::to_string(r.only_b) + ", in neither " + std::to_string(r.neither) + "\n";
  if (r.only_a > 0) out += "First in A only: " + text(r.first_only_a) + "\n";
  if (r.only_b > 0) out += "First in B only: " + text(r.first_only_b) + "\n";
  for (int c = 0; c < 3; ++c) {
    const ComponentDiff& d = r.component[c];
    out += std::string(names[c]) + ":          max |A-B| " + text(d.max_abs);
    if (d.where >= 0 && d.max_abs > 0) {
      out += " at " + text(d.at);
      if (where) out += " " + where(d.where);
      out += " (A " + text(d.a) + ", B " + text(d.b) + ")";
    }
    out += ", rms " + text(d.rms) + "\n";
  }
  out += r.within(tolerance) ? "Result:      the maps agree within " + text(tolerance) + "\n"
                             : "Result:      the maps differ (tolerance " + text(tolerance) + ")\n";
  return out;
}

}  // namespace fieldscan::fieldmap
