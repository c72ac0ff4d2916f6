#include "fieldscan/mapfile/map_writer.h"

#include <bit>
#include <cstdio>
#include <ctime>

#include "fieldscan/mapfile/atomic_file.h"
#include "fieldscan/mapfile/map_format.h"

namespace fieldscan {
namespace {

// Appends little-endian bytes whatever the host's byte order.
void put_u32(std::string& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((v >> shift) & 0xFF));
}
void put_int(std::string& out, std::int32_t v) { put_u32(out, static_cast<std::uint32_t>(v)); }
void put_real(std::string& out, float v) { put_u32(out, std::bit_cast<std::uint32_t>(v)); }
void put_text(std::string& out, std::string_view s, std::size_t n) {
  const std::size_t k = s.size() < n ? s.size() : n;
  out.append(s.substr(0, k));
  out.append(n - k, ' ');
}

// Values per plane: none for an empty grid.
std::size_t plane_values(const MapContents& contents) {
  if (contents.nx <= 0 || contents.ny <= 0) return 0;
  return std::size_t{3} * static_cast<std::size_t>(contents.nx) *
         static_cast<std::size_t>(contents.ny);
}

}  // namespace

std::size_t value_index(const MapContents& contents, int i, int j, int k, int c) {
  const auto nx = static_cast<std::size_t>(contents.nx), ny = static_cast<std::size_t>(contents.ny);
  return 3 * ((static_cast<std::size_t>(k - 1) * ny + static_cast<std::size_t>(j - 1)) * nx +
              static_cast<std::size_t>(i - 1)) +
         static_cast<std::size_t>(c - 1);
}

void fill_values(MapContents& contents,
                 const std::function<std::array<float, 3>(float x, float y, float z)>& f) {
  contents.values.assign(
      contents.nz > 0 ? plane_values(contents) * static_cast<std::size_t>(contents.nz) : 0, 0.0f);
  if (contents.values.empty()) return;
  for (int k = 1; k <= contents.nz; ++k)
    for (int j = 1; j <= contents.ny; ++j)
      for (int i = 1; i <= contents.nx; ++i) {
        // Node positions as a single-precision computation rounded once.
        const auto x = static_cast<float>(double{contents.xmin} + (i - 1) * double{contents.dx});
        const auto y = static_cast<float>(double{contents.ymin} + (j - 1) * double{contents.dy});
        const auto z = static_cast<float>(double{contents.zmin} + (k - 1) * double{contents.dz});
        const auto b = f(x, y, z);
        for (int c = 1; c <= 3; ++c) contents.values[value_index(contents, i, j, k, c)] = b[c - 1];
      }
}

std::vector<std::string> encode_records(const MapContents& contents) {
  std::vector<std::string> records(kHeaderRecords);
  put_text(records[0], contents.title, kTitleBytes);
  put_text(records[1], contents.date, kDateBytes);
  put_text(records[2], contents.axa, kAxisTextBytes);
  put_text(records[2], contents.axb, kAxisTextBytes);
  put_text(records[2], contents.axc, kAxisTextBytes);
  put_real(records[2], contents.angle);
  std::string& r4 = records[3];
  for (float v : {contents.xmin, contents.ymin, contents.zmin}) put_real(r4, v);
  for (std::int32_t v : {contents.isa, contents.isb, contents.isc, contents.ima, contents.imb,
                         contents.imc, contents.ida, contents.idb, contents.idc})
    put_int(r4, v);
  std::string& r5 = records[4];
  for (float v : {contents.dx, contents.dy, contents.dz}) put_real(r5, v);
  for (std::int32_t v : {contents.nx, contents.ny, contents.nz}) put_int(r5, v);

  const std::size_t per_plane = plane_values(contents);
  for (std::int32_t k = 0; k < contents.nz; ++k) {
    std::string& plane = records.emplace_back();
    plane.reserve(4 * per_plane);
    const std::size_t first = static_cast<std::size_t>(k) * per_plane;
    for (std::size_t n = first; n < first + per_plane; ++n)
      put_real(plane, n < contents.values.size() ? contents.values[n] : 0.0f);
  }
  return records;
}

std::string frame_record(std::string_view data) {
  const auto length = static_cast<std::uint32_t>(data.size());
  return frame_record(data, length, length);
}

std::string frame_record(std::string_view data, std::uint32_t lead, std::uint32_t trail) {
  std::string out;
  out.reserve(data.size() + 8);
  put_u32(out, lead);
  out.append(data);
  put_u32(out, trail);
  return out;
}

std::string encode_map(const MapContents& contents) {
  std::string out;
  for (const std::string& record : encode_records(contents)) out += frame_record(record);
  return out;
}

bool write_file(const std::string& path, std::string_view bytes, std::string* why) {
  return write_file_atomically(path, bytes, why);
}

bool write_map_file(const std::string& path, const MapContents& contents, std::string* why) {
  AtomicFile file;
  if (file.open(path)) return write_map_file(file, contents, why);
  if (why) *why = file.why();
  return false;
}

bool write_map_file(AtomicFile& file, const MapContents& contents, std::string* why) {
  bool ok = true;
  std::string record;
  // Header records, then one plane at a time: never the whole file in memory.
  MapContents header = contents;
  header.values.clear();
  const std::int32_t nz = header.nz;
  header.nz = 0;
  std::vector<std::string> records = encode_records(header);
  records[4].resize(kStepsBytes - 4);  // NZ again in its place
  put_int(records[4], nz);
  for (const std::string& r : records) ok = ok && file.write(frame_record(r));
  const std::size_t per_plane = plane_values(contents);
  for (std::int32_t k = 0; ok && k < nz; ++k) {
    record.clear();
    const std::size_t first = static_cast<std::size_t>(k) * per_plane;
    for (std::size_t n = first; n < first + per_plane; ++n)
      put_real(record, n < contents.values.size() ? contents.values[n] : 0.0f);
    ok = file.write(frame_record(record));
  }
  ok = ok && file.commit();
  if (!ok && why) *why = file.why();
  return ok;
}

std::string today() {
  static constexpr const char* kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                              "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d-%s-%04d", local.tm_mday, kMonths[local.tm_mon % 12],
                local.tm_year + 1900);
  return buffer;
}

}  // namespace fieldscan
