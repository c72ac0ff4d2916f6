#include "fieldscan/query/sample.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "fieldscan/field/batch_threads.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

// Points per chunk when streaming a table.
constexpr std::size_t kChunk = std::size_t{1} << 16;

void put_json_float(std::string& out, float v) {
  if (std::isfinite(v)) {
    append_float(out, v);
  } else {
    out += "null";
  }
}

const char* const kGradientNames[9] = {"dbx_dx", "dbx_dy", "dbx_dz", "dby_dx", "dby_dy",
                                       "dby_dz", "dbz_dx", "dbz_dy", "dbz_dz"};

// The gradient part of a row whose field was evaluated: the nine values, or
// empty cells (JSON: the gradient's status) where it was not.
void append_gradient(SampleFormat format, const FieldSamples& f, std::size_t n, std::string& out) {
  const char sep = format == SampleFormat::kTsv ? '\t' : ',';
  const bool ok = f.g_status[n] == FieldStatus::kOk;
  if (format == SampleFormat::kJson) {
    if (!ok) {
      out += ",\"gradient_status\":\"";
      out += status_reason(f.g_status[n]);
      out += '"';
      return;
    }
    for (int m = 0; m < 9; ++m) {
      out += ",\"";
      out += kGradientNames[m];
      out += "\":";
      put_json_float(out, f.g[n].d[m / 3][m % 3]);
    }
    return;
  }
  for (int m = 0; m < 9; ++m) {
    if (ok) append_float(out, f.g[n].d[m / 3][m % 3]);
    out += sep;
  }
}

// Point `n` as a JSON object.
void append_json_point(const PointChunk& p, const FieldSamples& f, std::size_t n,
                       std::string& out) {
  const FieldStatus status = f.status[n];
  out += "{\"x\":";
  put_json_float(out, p.x[n]);
  out += ",\"y\":";
  put_json_float(out, p.y[n]);
  out += ",\"z\":";
  put_json_float(out, p.z[n]);
  if (status == FieldStatus::kOk) {
    const FieldVector& b = f.b[n];
    out += ",\"bx\":";
    put_json_float(out, b.bx);
    out += ",\"by\":";
    put_json_float(out, b.by);
    out += ",\"bz\":";
    put_json_float(out, b.bz);
    out += ",\"b\":";
    put_json_float(out, magnitude(b));
    if (!f.g.empty()) append_gradient(SampleFormat::kJson, f, n, out);
    out += '}';
  } else {
    out += ",\"status\":\"";
    out += status_reason(status);
    out += "\"}";
  }
}

// Point `n` as a line of CSV or TSV.
void append_text_point(SampleFormat format, const PointChunk& p, const FieldSamples& f,
                       std::size_t n, std::string& out) {
  const char sep = format == SampleFormat::kTsv ? '\t' : ',';
  const FieldStatus status = f.status[n];
  append_float(out, p.x[n]);
  out += sep;
  append_float(out, p.y[n]);
  out += sep;
  append_float(out, p.z[n]);
  out += sep;
  if (status == FieldStatus::kOk) {
    const FieldVector& b = f.b[n];
    append_float(out, b.bx);
    out += sep;
    append_float(out, b.by);
    out += sep;
    append_float(out, b.bz);
    out += sep;
    append_float(out, magnitude(b));
    out += sep;
    if (!f.g.empty()) {
      append_gradient(format, f, n, out);
      if (f.g_status[n] != FieldStatus::kOk) {
        out += "gradient ";
        out += status_reason(f.g_status[n]);
      }
    }
  } else {
    out += sep;
    out += sep;
    out += sep;
    out += sep;
    if (!f.g.empty()) out.append(9, sep);
    out += status_reason(status);
  }
  out += '\n';
}

void append_range(SampleFormat format, const PointChunk& p, const FieldSamples& f,
                  std::size_t begin, std::size_t end, bool first, std::string& out) {
  for (std::size_t n = begin; n < end; ++n) {
    if (format != SampleFormat::kJson) {
      append_text_point(format, p, f, n, out);
      continue;
    }
    if (!first) out += ",\n";
    first = false;
    append_json_point(p, f, n, out);
  }
}

}  // namespace

void evaluate(const FieldMap& map, const PointChunk& chunk, FieldSamples& out, unsigned threads,
              Interpolation method) {
  const std::size_t n = chunk.size();
  out.b.resize(n);
  out.status.resize(n);
  map.field(chunk.x, chunk.y, chunk.z, out.b, out.status, threads, method);
}

void evaluate_gradient(const FieldMap& map, const PointChunk& chunk, FieldSamples& out,
                       unsigned threads, Interpolation method) {
  const std::size_t n = chunk.size();
  out.g.resize(n);
  out.g_status.resize(n);
  field_gradient(map, chunk.x, chunk.y, chunk.z, out.g, out.g_status, threads, method);
}

Samples sample_source(const FieldMap& map, PointSource& source, unsigned threads,
                      Interpolation method) {
  Samples s;
  PointChunk chunk;
  while (source.next(chunk, kChunk) && chunk.size() > 0) {
    s.points.x.insert(s.points.x.end(), chunk.x.begin(), chunk.x.end());
    s.points.y.insert(s.points.y.end(), chunk.y.begin(), chunk.y.end());
    s.points.z.insert(s.points.z.end(), chunk.z.begin(), chunk.z.end());
  }
  evaluate(map, s.points, s.fields, threads, method);
  return s;
}

Samples sample_line(const FieldMap& map, Point3 a, Point3 b, std::int64_t count, unsigned threads,
                    Interpolation method) {
  LinePoints line = LinePoints::with_count(a, b, std::max<std::int64_t>(count, 0));
  return sample_source(map, line, threads, method);
}

Samples sample_grid(const FieldMap& map, const GridAxis& x, const GridAxis& y, const GridAxis& z,
                    unsigned threads, Interpolation method) {
  GridPoints grid(x, y, z);
  return sample_source(map, grid, threads, method);
}

float magnitude(const FieldVector& b) {
  const double x = b.bx, y = b.by, z = b.bz;
  return static_cast<float>(std::sqrt(x * x + y * y + z * z));
}

std::string_view status_reason(FieldStatus status) {
  switch (status) {
    case FieldStatus::kOk:
      return "";
    case FieldStatus::kOutsideX:
      return "outside X-limits";
    case FieldStatus::kOutsideY:
      return "outside Y-limits";
    case FieldStatus::kOutsideZ:
      return "outside Z-limits";
    case FieldStatus::kUnmeasured:
      return "unmeasured";
  }
  return "not evaluable";
}

std::string sample_header(SampleFormat format, bool gradient) {
  if (format == SampleFormat::kJson) return "[\n";
  const char sep = format == SampleFormat::kTsv ? '\t' : ',';
  std::string out;
  for (const char* name : {"x", "y", "z", "bx", "by", "bz", "b"}) (out += name) += sep;
  if (gradient) {
    for (const char* name : kGradientNames) (out += name) += sep;
  }
  return out + "status\n";
}

std::string sample_footer(SampleFormat format, bool first) {
  if (format != SampleFormat::kJson) return "";
  return first ? "]\n" : "\n]\n";
}

namespace {

// Rows are rarely longer than this; reserving saves regrowing the text.
constexpr std::size_t kRowBytes = 80;

// The rows of a chunk in two pieces, `head` and `tail`, formatted on two
// threads when the chunk is large.
void format_rows(SampleFormat format, const PointChunk& points, const FieldSamples& fields,
                 bool& first, std::string& head, std::string& tail) {
  const std::size_t n = std::min(points.size(), fields.size());
  std::size_t half = n;
  if (std::min(batch_threads(n), 2u) > 1) half = n / 2;
  head.reserve(head.size() + half * kRowBytes);
  tail.reserve(tail.size() + (n - half) * kRowBytes);
  std::thread worker;
  if (half < n) {
    try {
      worker = std::thread([&] { append_range(format, points, fields, half, n, false, tail); });
    } catch (const std::system_error&) {
      half = n;  // no thread to be had: all on this one
    }
  }
  append_range(format, points, fields, 0, half, first, head);
  if (worker.joinable()) worker.join();
  if (n > 0) first = false;
}

// Writes batches of texts on a thread of its own while the caller prepares
// the next batch; without a thread it writes at once.
class BackgroundWriter {
 public:
  explicit BackgroundWriter(const std::function<bool(std::string_view)>& write) : write_(write) {
    try {
      thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
    }
  }
  ~BackgroundWriter() { finish(); }

  // Hands over `texts` (and gets back emptied buffers to reuse).  False once
  // a write has failed.
  bool put(std::vector<std::string>& texts) {
    if (!thread_.joinable()) {
      for (std::string& t : texts) {
        if (!failed_ && !t.empty() && !write_(t)) failed_ = true;
        t.clear();
      }
      return !failed_;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !full_ || failed_; });
    if (failed_) return false;
    std::swap(slot_, texts);
    texts.resize(slot_.size());  // the first batches come back empty-handed
    for (std::string& t : texts) t.clear();
    full_ = true;
    changed_.notify_all();
    return true;
  }

  // Waits until everything handed over is written.
  bool finish() {
    if (thread_.joinable()) {
      {
        std::unique_lock lock(mutex_);
        done_ = true;
        changed_.notify_all();
      }
      thread_.join();
    }
    return !failed_;
  }

 private:
  void loop() {
    std::vector<std::string> batch;
    std::unique_lock lock(mutex_);
    while (true) {
      changed_.wait(lock, [this] { return full_ || done_; });
      if (!full_) return;
      std::swap(batch, slot_);
      lock.unlock();
      bool ok = true;
      for (const std::string& t : batch) {
        if (ok && !t.empty()) ok = write_(t);
      }
      lock.lock();
      full_ = false;
      if (!ok) failed_ = true;
      changed_.notify_all();
      if (failed_) return;
    }
  }

  const std::function<bool(std::string_view)>& write_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> slot_;
  bool full_ = false, done_ = false, failed_ = false;
  std::thread thread_;
};

}  // namespace

void append_samples(SampleFormat format, const PointChunk& points, const FieldSamples& fields,
                    bool& first, std::string& out) {
  std::string tail;
  format_rows(format, points, fields, first, out, tail);
  out += tail;
}

bool write_samples(const FieldMap& map, PointSource& source, SampleFormat format,
                   const std::function<bool(std::string_view)>& write,
                   const std::function<void(double)>& progress, SampleCounts& counts, bool gradient,
                   Interpolation method) {
  counts = SampleCounts{};
  PointChunk chunk;
  FieldSamples fields;
  BackgroundWriter writer(write);
  // The header goes out with the first rows, so a source that fails at
  // once leaves no output at all.
  std::vector<std::string> texts(2);
  texts[0] = sample_header(format, gradient);
  bool first = true;
  while (true) {
    if (!source.next(chunk, kChunk)) {
      writer.finish();
      return false;
    }
    if (chunk.size() == 0) break;
    evaluate(map, chunk, fields, 0, method);
    if (gradient) evaluate_gradient(map, chunk, fields, 0, method);
    counts.points += static_cast<std::int64_t>(chunk.size());
    counts.unevaluable += std::count_if(fields.status.begin(), fields.status.end(),
                                        [](FieldStatus s) { return s != FieldStatus::kOk; });
    format_rows(format, chunk, fields, first, texts[0], texts[1]);
    if (!writer.put(texts)) return false;
    if (progress) progress(source.done_fraction());
  }
  texts[0] += sample_footer(format, first);
  return writer.put(texts) && writer.finish();
}

}  // namespace fieldscan::fieldmap
