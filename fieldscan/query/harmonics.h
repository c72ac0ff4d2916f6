// Multipoles: the harmonics of the transverse field on a circle about a
// magnet's axis, at one place along it or integrated along a stretch of it.
//
// Convention.  The magnet axis is one of x, y, z; the transverse
// coordinates (u, v) are the next two in cyclic order ((x, y) for z, (y, z)
// for x, (z, x) for y) and w = u + i v.  N points at angles 2 pi k / N on
// the circle of radius R about w0 = (U, V) give F_k = B_v + i B_u, and
//
//   B_v + i B_u = sum_{n>=1} (B_n + i A_n) ((w - w0) / R)^(n-1),
//   B_n + i A_n = (1/N) sum_k F_k exp(-i (n-1) 2 pi k / N),
//
// in the map's field unit at radius R: B_n normal, A_n skew, n = 1 the
// dipole (European numbering; the US numbering labels the same
// coefficients from 0).  b_n and a_n are B_n and A_n in units of 1e-4 of
// the main harmonic's normal strength B_K, or of its skew strength A_K when
// |A_K| > |B_K|.  Sums are in double precision; each figure is rounded once
// to single precision.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fieldscan/field/field_map.h"
#include "fieldscan/query/point_source.h"

namespace fieldscan::fieldmap {

enum class Numbering { kEuropean, kUs };
enum class HarmonicsFormat { kText, kCsv, kJson };

struct HarmonicsOptions {
  double radius = 0;
  double center[2] = {0, 0};  // (U, V)
  int axis = 2;               // 0 x, 1 y, 2 z
  double at = 0;              // W, for the harmonics at one place
  bool along = false;         // integrate from `from` to `to` instead
  double from = 0, to = 0;
  double step = 0;  // at most this apart along the axis; 0: the integral's default
  int points = 64;
  int order = 15;           // how many harmonics
  std::optional<int> main;  // the main harmonic's label; default the strongest
  Numbering numbering = Numbering::kEuropean;
  Interpolation method = Interpolation::kLinear;  // how the circles' field is found
};

// What is wrong with the options (a radius that is not positive, an order
// the points cannot resolve, ...), or empty when they can be computed.
std::string harmonics_problem(const HarmonicsOptions& options);

struct Harmonics {
  // Set when a point of a circle could not be evaluated: where and why
  // (or, with too_many, when the default step puts too many circles along
  // the stretch).  Then nothing below is set.
  bool stopped = false;
  bool too_many = false;
  Point3 bad_point;
  FieldStatus bad_status = FieldStatus::kOk;

  std::vector<int> n;  // the labels, in the chosen numbering
  std::vector<float> B, A, b, a;
  int main = 0;         // the main harmonic's label
  bool skew = false;    // b and a are relative to A_main (else B_main)
  float reference = 0;  // A_main or B_main
  // The circles integrated along the axis and their spacing (along only).
  std::int64_t slices = 1;
  double spacing = 0;
};

// The harmonics of `map` for options without a problem.
Harmonics compute_harmonics(const FieldMap& map, const HarmonicsOptions& options);

// The convention in one line, as the reports state it.
std::string harmonics_convention(const HarmonicsOptions& options);

// The report: a header stating axis, centre, radius, points, numbering and
// reference, then one row per order (text); "n,B,A,b,a" and the rows (csv);
// one object with the convention and "orders" (json).  Not for a stopped
// result.
std::string format_harmonics(const Harmonics& h, const HarmonicsOptions& options,
                             HarmonicsFormat format);

}  // namespace fieldscan::fieldmap
