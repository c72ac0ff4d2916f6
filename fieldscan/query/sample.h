// The field of a map at many points: batch evaluation on all cores, and the
// sample tables (CSV, TSV, JSON) written from it.
//
// Every value is single precision, printed in the shortest decimal form
// that reads back as the same number; the magnitude b is sqrt(bx^2 + by^2 +
// bz^2) computed in double precision and rounded once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "fieldscan/field/field_map.h"
#include "fieldscan/field/gradient.h"
#include "fieldscan/query/point_source.h"

namespace fieldscan::fieldmap {

// The field at a run of points: b[n] is meaningful only where status[n]
// is kOk; the same for the gradient, when asked for (g empty otherwise).
struct FieldSamples {
  std::vector<FieldVector> b;
  std::vector<FieldStatus> status;
  std::vector<FieldGradient> g;
  std::vector<FieldStatus> g_status;
  std::size_t size() const { return status.size(); }
};

// Evaluates `map` at the points of `chunk` into `out` (resized to match),
// on `threads` threads (0: batch_threads of the chunk's size,
// field/batch_threads.h).
// `method` is the interpolation between nodes (field/interpolation.h).
void evaluate(const FieldMap& map, const PointChunk& chunk, FieldSamples& out, unsigned threads = 0,
              Interpolation method = Interpolation::kLinear);

// The gradient at the points of `chunk` into out.g and out.g_status: the
// derivatives of the interpolant `method`.
void evaluate_gradient(const FieldMap& map, const PointChunk& chunk, FieldSamples& out,
                       unsigned threads = 0, Interpolation method = Interpolation::kLinear);

// Points and the field at them.
struct Samples {
  PointChunk points;
  FieldSamples fields;
};
// Every point of `source` (held in memory all at once) and the field there,
// evaluated on `threads` threads (0: batch_threads of the point count).
Samples sample_source(const FieldMap& map, PointSource& source, unsigned threads = 0,
                      Interpolation method = Interpolation::kLinear);
// `count` (>= 2) points from a to b inclusive.
Samples sample_line(const FieldMap& map, Point3 a, Point3 b, std::int64_t count,
                    unsigned threads = 0, Interpolation method = Interpolation::kLinear);
// Every point of a grid, x fastest, then y, then z.
Samples sample_grid(const FieldMap& map, const GridAxis& x, const GridAxis& y, const GridAxis& z,
                    unsigned threads = 0, Interpolation method = Interpolation::kLinear);

// sqrt(bx^2 + by^2 + bz^2) in double precision, rounded once.
float magnitude(const FieldVector& b);

// The reason in the status column: "outside X-limits", "outside Y-limits",
// "outside Z-limits", "unmeasured"; empty for kOk.
std::string_view status_reason(FieldStatus status);

enum class SampleFormat { kCsv, kTsv, kJson };

// Table text: the header, the rows of one chunk, the closing text.  CSV and
// TSV: "x,y,z,bx,by,bz,b,status", one line per point, empty field columns
// and the reason for a point without a field.  JSON: an array of objects
// {"x":..,"y":..,"z":..,"bx":..,"by":..,"bz":..,"b":..} or
// {"x":..,"y":..,"z":..,"status":"unmeasured"}, one per line; a value that
// is not finite is null.  `first` is true until the first row is written.
// With the gradient (the samples' g filled), the nine columns or keys
// dbx_dx, dbx_dy, .., dbz_dz follow b; where the field is evaluated but its
// gradient is not, they are empty and the status is "gradient unmeasured"
// (JSON: "gradient_status":"unmeasured").
std::string sample_header(SampleFormat format, bool gradient = false);
void append_samples(SampleFormat format, const PointChunk& points, const FieldSamples& fields,
                    bool& first, std::string& out);
std::string sample_footer(SampleFormat format, bool first);

// Counts of a sampling run.
struct SampleCounts {
  std::int64_t points = 0;
  std::int64_t unevaluable = 0;
};

// Evaluates `map` at every point of `source` and hands the table text to
// `write` in pieces, in order, from a thread of its own (so that writing
// overlaps the next chunk's work; `write` is never called concurrently).  False when the source
// fails (its error() tells why) or `write` returns false.  `progress`, when set, is called now and
// then with the part done (0 to 1).
bool write_samples(const FieldMap& map, PointSource& source, SampleFormat format,
                   const std::function<bool(std::string_view)>& write,
                   const std::function<void(double)>& progress, SampleCounts& counts,
                   bool gradient = false, Interpolation method = Interpolation::kLinear);

}  // namespace fieldscan::fieldmap
