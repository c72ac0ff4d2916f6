// VTK's XML image data (.vti): the map's grid as an image, the field as the
// point data B, for viewers such as ParaView.
//
// The arrays are appended as raw binary after the XML (each preceded by its
// length in bytes as a 64-bit integer), in the byte order of this machine,
// which the header names.  A node that is unmeasured is NaN in B and 0 in
// `measured`.  The title and the units are string arrays of the field data.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fieldscan/formats/formats.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/number.h"
#include "fieldscan/textio/text.h"

namespace fieldscan::fieldmap {
namespace {

// One axis of the image: the nodes of the map, or with --unfold, where the
// axis has a mirror plane, their images below it as well.
struct ImageAxis {
  std::int64_t stored = 0;  // nodes of the map
  std::int64_t below = 0;   // image nodes before the map's first node
  float origin = 0, step = 0;
  std::int64_t count() const { return stored + below; }
  // The map's node for image node `i`, and whether it is seen in the mirror.
  std::int64_t source(std::int64_t i, bool& mirrored) const {
    mirrored = i < below;
    return mirrored ? below - i : i - below;
  }
};

ImageAxis image_axis(float min, float step, std::int32_t count, std::int32_t index, bool unfold) {
  ImageAxis a;
  a.stored = count;
  a.step = step;
  a.origin = min;
  if (unfold && index != 0 && count > 1) {
    a.below = count - 1;
    a.origin = static_cast<float>(static_cast<double>(min) -
                                  static_cast<double>(a.below) * static_cast<double>(step));
  }
  return a;
}

// Sign of each component seen in the mirror plane of `index` normal to
// `normal`: index 1 reverses the normal component, any other the two
// parallel to it.
void mirror_signs(std::int32_t index, int normal, float sign[3]) {
  for (int c = 0; c < 3; ++c) {
    if ((index == 1) == (c == normal)) sign[c] = -sign[c];
  }
}

std::string string_array(const char* name, std::string_view text) {
  std::string out = std::string("      <Array type=\"String\" Name=\"") + name +
                    "\" NumberOfTuples=\"1\" format=\"ascii\">\n        ";
  for (unsigned char c : text) out += std::to_string(c) + " ";
  return out + "0\n      </Array>\n";
}

void append_block(std::string& out, const void* data, std::uint64_t bytes) {
  out.append(reinterpret_cast<const char*>(&bytes), sizeof bytes);
  out.append(static_cast<const char*>(data), bytes);
}

std::string numbers(const float v[3]) {
  std::string s;
  for (int a = 0; a < 3; ++a) {
    if (a > 0) s += ' ';
    append_float(s, v[a]);
  }
  return s;
}

// The image's node values, x index fastest: B (NaN where unmeasured) and
// the measured flags.
void fill_image(const MapContents& map, const ImageAxis ax[3], std::vector<float>& b,
                std::vector<std::uint8_t>& measured) {
  const std::int32_t index[3] = {map.ida, map.idb, map.idc};
  b.resize(3 * static_cast<std::size_t>(ax[0].count() * ax[1].count() * ax[2].count()));
  measured.resize(b.size() / 3);
  std::size_t n = 0;
  for (std::int64_t k = 0; k < ax[2].count(); ++k) {
    for (std::int64_t j = 0; j < ax[1].count(); ++j) {
      for (std::int64_t i = 0; i < ax[0].count(); ++i, ++n) {
        bool mirrored[3];
        const std::int64_t at[3] = {ax[0].source(i, mirrored[0]), ax[1].source(j, mirrored[1]),
                                    ax[2].source(k, mirrored[2])};
        const float* v = map.values.data() + 3 * ((at[2] * map.ny + at[1]) * map.nx + at[0]);
        measured[n] = is_unmeasured(v) ? 0 : 1;
        float sign[3] = {1, 1, 1};
        for (int a = 0; a < 3; ++a) {
          if (mirrored[a]) mirror_signs(index[a], a, sign);
        }
        for (int c = 0; c < 3; ++c) {
          b[3 * n + c] = measured[n] ? sign[c] * v[c] : std::numeric_limits<float>::quiet_NaN();
        }
      }
    }
  }
}

// The XML up to the start of the appended data.
std::string vti_header(const MapContents& map, const Units& units, const ImageAxis ax[3],
                       std::size_t b_bytes) {
  const float origin[3] = {ax[0].origin, ax[1].origin, ax[2].origin};
  const float spacing[3] = {ax[0].step, ax[1].step, ax[2].step};
  const std::string extent = "0 " + std::to_string(ax[0].count() - 1) + " 0 " +
                             std::to_string(ax[1].count() - 1) + " 0 " +
                             std::to_string(ax[2].count() - 1);
  const char* order = std::endian::native == std::endian::little ? "LittleEndian" : "BigEndian";
  return std::string(
             "<?xml version=\"1.0\"?>\n<VTKFile type=\"ImageData\" version=\"1.0\" "
             "byte_order=\"") +
         order + "\" header_type=\"UInt64\">\n  <ImageData WholeExtent=\"" + extent +
         "\" Origin=\"" + numbers(origin) + "\" Spacing=\"" + numbers(spacing) + "\">\n" +
         "    <FieldData>\n" + string_array("title", trim_blanks(map.title)) +
         string_array("length_unit", units.length ? unit_name(*units.length) : std::string_view()) +
         string_array("field_unit", units.field ? unit_name(*units.field) : std::string_view()) +
         "    </FieldData>\n    <Piece Extent=\"" + extent +
         "\">\n      <PointData Vectors=\"B\">\n"
         "        <DataArray type=\"Float32\" Name=\"B\" NumberOfComponents=\"3\" "
         "format=\"appended\" offset=\"0\"/>\n"
         "        <DataArray type=\"UInt8\" Name=\"measured\" format=\"appended\" offset=\"" +
         std::to_string(8 + b_bytes) +
         "\"/>\n      </PointData>\n    </Piece>\n  </ImageData>\n"
         "  <AppendedData encoding=\"raw\">\n   _";
}

}  // namespace

bool write_vti(const MapContents& map, const Units& map_units, bool unfold, std::string& out,
               std::string& why) {
  if (map.nx < 1 || map.ny < 1 || map.nz < 1 ||
      map.values.size() != std::size_t{3} * map.nx * map.ny * map.nz) {
    why = "the map has no nodes to write";
    return false;
  }
  const ImageAxis ax[3] = {image_axis(map.xmin, map.dx, map.nx, map.ida, unfold),
                           image_axis(map.ymin, map.dy, map.ny, map.idb, unfold),
                           image_axis(map.zmin, map.dz, map.nz, map.idc, unfold)};
  std::vector<float> b;
  std::vector<std::uint8_t> measured;
  fill_image(map, ax, b, measured);
  out = vti_header(map, map_units, ax, 4 * b.size());
  out.reserve(out.size() + 16 + 4 * b.size() + measured.size() + 40);
  append_block(out, b.data(), 4 * b.size());
  append_block(out, measured.data(), measured.size());
  out += "\n  </AppendedData>\n</VTKFile>\n";
  return true;
}

}  // namespace fieldscan::fieldmap
