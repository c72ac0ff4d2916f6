#include "fieldmap/map_info.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "fieldmap/number.h"
#include "fieldmap/units.h"

namespace fieldscan::fieldmap {
namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::uint32_t little_endian(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Reads the first `size` data bytes of the next record into `data` and
// moves past the record.
bool read_record(std::FILE* f, std::size_t size, std::string& data) {
  unsigned char word[4];
  if (std::fread(word, 1, 4, f) != 4) return false;
  const std::uint32_t length = little_endian(word);
  if (length >= 0x80000000u || length < size) return false;
  data.resize(size);
  if (size > 0 && std::fread(data.data(), 1, size, f) != size) return false;
  if (std::fseek(f, static_cast<long>(length - size), SEEK_CUR) != 0) return false;
  return std::fread(word, 1, 4, f) == 4;
}

std::string trimmed(const std::string& s) {
  const auto last = s.find_last_not_of(' ');
  std::string out = last == std::string::npos ? std::string() : s.substr(0, last + 1);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

std::string num(float v) {
  std::string s;
  append_float(s, v);
  return s;
}

}  // namespace

bool read_map_texts(const std::string& path, MapTexts& texts) {
  File f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) return false;
  std::string angle;
  std::string axes;
  if (!read_record(f.get(), 80, texts.title) || !read_record(f.get(), 18, texts.date) ||
      !read_record(f.get(), 28, axes)) {
    return false;
  }
  texts.axa = axes.substr(0, 8);
  texts.axb = axes.substr(8, 8);
  texts.axc = axes.substr(16, 8);
  const auto bits = little_endian(reinterpret_cast<const unsigned char*>(axes.data() + 24));
  std::memcpy(&texts.angle_degrees, &bits, 4);
  return true;
}

NodeStats node_stats(const GridSize& grid, const float* values) {
  NodeStats s;
  if (grid.NX <= 0 || grid.NY <= 0 || grid.NZ <= 0) return s;
  const std::int64_t nodes = std::int64_t{grid.NX} * grid.NY * grid.NZ;
  for (std::int64_t n = 0; n < nodes; ++n) {
    const float* b = values + 3 * n;
    if (b[0] > 900000.0f && b[1] > 900000.0f && b[2] > 900000.0f) {
      ++s.unmeasured;
      continue;
    }
    ++s.measured;
    for (int c = 0; c < 3; ++c) {
      if (std::isnan(b[c])) continue;
      if (!s.any_range) {
        for (int d = 0; d < 3; ++d) s.min[d] = s.max[d] = NAN;
        s.any_range = true;
      }
      if (!(b[c] >= s.min[c])) s.min[c] = b[c];
      if (!(b[c] <= s.max[c])) s.max[c] = b[c];
    }
  }
  return s;
}

std::string format_info(const std::string& path, const MapTexts& texts, const GridSize& g,
                        const NodeStats& s) {
  std::string o;
  auto line = [&o](const char* label, const std::string& text) {
    o += label;
    o.append(14 - std::strlen(label), ' ');
    o += text;
    o += '\n';
  };
  line("Map:", path);
  line("Title:", trimmed(texts.title));
  line("Date:", trimmed(texts.date));
  line("Axis texts:", "\"" + trimmed(texts.axa) + "\" \"" + trimmed(texts.axb) + "\" \"" +
                          trimmed(texts.axc) + "\"");
  line("Units:", describe_units(recorded_units(texts.axa, texts.axb, texts.axc)));
  line("Angle:",
       num(texts.angle_degrees) + " degrees in the file, " + num(g.ANGLE) + " radians as loaded");
  line("Reflection:", "IDA " + std::to_string(g.IDA) + "  IDB " + std::to_string(g.IDB) + "  IDC " +
                          std::to_string(g.IDC));
  line("Origin:", "XMIN " + num(g.XMIN) + "  YMIN " + num(g.YMIN) + "  ZMIN " + num(g.ZMIN));
  line("Steps:", "DX " + num(g.DX) + "  DY " + num(g.DY) + "  DZ " + num(g.DZ));
  const std::int64_t nodes =
      g.NX > 0 && g.NY > 0 && g.NZ > 0 ? std::int64_t{g.NX} * g.NY * g.NZ : 0;
  line("Counts:", "NX " + std::to_string(g.NX) + "  NY " + std::to_string(g.NY) + "  NZ " +
                      std::to_string(g.NZ) + "  (" + std::to_string(nodes) + " nodes)");
  line("Limits:", "x " + num(g.XLOW) + " to " + num(g.XHIGH) + ",  y " + num(g.YLOW) + " to " +
                      num(g.YHIGH) + ",  z " + num(g.ZLOW) + " to " + num(g.ZHIGH));
  line("Nodes:",
       std::to_string(s.measured) + " measured, " + std::to_string(s.unmeasured) + " unmeasured");
  static const char* const names[3] = {"BX:", "BY:", "BZ:"};
  for (int c = 0; c < 3; ++c) {
    line(names[c], s.any_range ? "min " + num(s.min[c]) + "  max " + num(s.max[c])
                               : std::string("no measured value"));
  }
  return o;
}

}  // namespace fieldscan::fieldmap
