#include "fieldscan/query/map_info.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "fieldscan/field/field_map.h"
#include "fieldscan/formats/units.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/number.h"

namespace fieldscan::fieldmap {
namespace {

std::string trimmed(const std::string& s) {
  const auto last = s.find_last_not_of(' ');
  std::string out = last == std::string::npos ? std::string() : s.substr(0, last + 1);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

}  // namespace

NodeStats node_stats(const MapContents& contents) {
  NodeStats s;
  if (contents.nx <= 0 || contents.ny <= 0 || contents.nz <= 0) return s;
  const std::int64_t nodes = std::int64_t{contents.nx} * contents.ny * contents.nz;
  if (contents.values.size() < static_cast<std::size_t>(3 * nodes)) return s;
  for (std::int64_t n = 0; n < nodes; ++n) {
    const float* b = contents.values.data() + 3 * n;
    if (is_unmeasured(b)) {
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

std::string format_info(const std::string& path, const MapContents& texts, const GridSize& g,
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
  line("Angle:", float_text(texts.angle) + " degrees in the file, " + float_text(g.ANGLE) +
                     " radians as loaded");
  line("Reflection:", "IDA " + std::to_string(g.IDA) + "  IDB " + std::to_string(g.IDB) + "  IDC " +
                          std::to_string(g.IDC));
  line("Origin:", "XMIN " + float_text(g.XMIN) + "  YMIN " + float_text(g.YMIN) + "  ZMIN " +
                      float_text(g.ZMIN));
  line("Steps:",
       "DX " + float_text(g.DX) + "  DY " + float_text(g.DY) + "  DZ " + float_text(g.DZ));
  const std::int64_t nodes =
      g.NX > 0 && g.NY > 0 && g.NZ > 0 ? std::int64_t{g.NX} * g.NY * g.NZ : 0;
  line("Counts:", "NX " + std::to_string(g.NX) + "  NY " + std::to_string(g.NY) + "  NZ " +
                      std::to_string(g.NZ) + "  (" + std::to_string(nodes) + " nodes)");
  float low[3], high[3];
  evaluated_limits(g, low, high);
  line("Limits:", "x " + float_text(low[0]) + " to " + float_text(high[0]) + ",  y " +
                      float_text(low[1]) + " to " + float_text(high[1]) + ",  z " +
                      float_text(low[2]) + " to " + float_text(high[2]));
  line("Nodes:",
       std::to_string(s.measured) + " measured, " + std::to_string(s.unmeasured) + " unmeasured");
  static const char* const names[3] = {"BX:", "BY:", "BZ:"};
  for (int c = 0; c < 3; ++c) {
    line(names[c], s.any_range ? "min " + float_text(s.min[c]) + "  max " + float_text(s.max[c])
                               : std::string("no measured value"));
  }
  return o;
}

}  // namespace fieldscan::fieldmap
