// An independent reading of the map file format, used as the oracle of the
// loader's fuzz target and of its length-word sweep.
//
// It works on the whole file in memory with plain offsets and decides, for
// any bytes, which status LOAD must return, what the header records hold,
// which plane bytes a successful load leaves in BMAP and where the last
// record it needed ends.  It shares no code with the loader.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace fieldscan::model {

struct MapModel {
  int status = 0;         // 0, or 2..8 as LOAD gives them
  std::uint64_t end = 0;  // status 0: offset just past the last record read
  // Items of the header records (valid once their record was read).
  float angle_degrees = 0, xmin = 0, ymin = 0, zmin = 0, dx = 0, dy = 0, dz = 0;
  std::int32_t ima = 0, imb = 0, imc = 0, ida = 0, idb = 0, idc = 0;
  std::int32_t nx = 0, ny = 0, nz = 0;
  __extension__ __int128 required = 0;  // 3 * NX * NY * NZ, exactly
  std::string planes;                   // data bytes of every plane read completely, in order
  std::int64_t planes_read = 0;
};

inline std::uint32_t word_at(std::string_view b, std::uint64_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

inline float real_at(std::string_view b, std::uint64_t at) {
  const std::uint32_t w = word_at(b, at);
  float f;
  std::memcpy(&f, &w, 4);
  return f;
}

inline std::int32_t integer_at(std::string_view b, std::uint64_t at) {
  return static_cast<std::int32_t>(word_at(b, at));
}

// Follows the reading rules: each record is a leading length L (below
// 2^31), L data bytes and a trailing length (not compared); a record fails
// when L is below the bytes its items need or the file ends before its
// trailing length is complete.  On success `data` is the offset of the
// record's data and `pos` moves past the record.
inline bool next_record(std::string_view b, std::uint64_t& pos, std::uint64_t need,
                        std::uint64_t& data) {
  if (b.size() < pos + 4) return false;
  const std::uint64_t length = word_at(b, pos);
  if (length > 0x7FFFFFFFu || length < need) return false;
  if (b.size() < pos + 4 + length + 4) return false;
  data = pos + 4;
  pos += length + 8;
  return true;
}

inline MapModel read_map(std::string_view b, std::int64_t capacity) {
  MapModel m;
  std::uint64_t pos = 0, d = 0;
  if (!next_record(b, pos, 80, d)) return m.status = 2, m;
  if (!next_record(b, pos, 18, d)) return m.status = 3, m;
  if (!next_record(b, pos, 28, d)) return m.status = 4, m;
  m.angle_degrees = real_at(b, d + 24);
  if (!next_record(b, pos, 48, d)) return m.status = 5, m;
  m.xmin = real_at(b, d);
  m.ymin = real_at(b, d + 4);
  m.zmin = real_at(b, d + 8);
  m.ima = integer_at(b, d + 24);
  m.imb = integer_at(b, d + 28);
  m.imc = integer_at(b, d + 32);
  m.ida = integer_at(b, d + 36);
  m.idb = integer_at(b, d + 40);
  m.idc = integer_at(b, d + 44);
  if (!next_record(b, pos, 24, d)) return m.status = 6, m;
  m.dx = real_at(b, d);
  m.dy = real_at(b, d + 4);
  m.dz = real_at(b, d + 8);
  m.nx = integer_at(b, d + 12);
  m.ny = integer_at(b, d + 16);
  m.nz = integer_at(b, d + 20);
  m.required = static_cast<__int128>(3) * m.nx * m.ny * m.nz;
  if (m.required > capacity) return m.status = 7, m;
  const std::uint64_t plane_bytes =
      m.nx > 0 && m.ny > 0
          ? 12ull * static_cast<std::uint64_t>(m.nx) * static_cast<std::uint64_t>(m.ny)
          : 0;
  for (std::int64_t k = 1; k <= m.nz; ++k) {
    if (!next_record(b, pos, plane_bytes, d)) return m.status = 8, m;
    m.planes.append(b.substr(d, plane_bytes));
    ++m.planes_read;
  }
  m.end = pos;
  return m;
}

// The message of each status with a fixed text.
inline std::string_view fixed_message(int status) {
  switch (status) {
    case 2:
      return "Reading error: TITLE";
    case 3:
      return "Reading error: DATE";
    case 4:
      return "Reading error: AX~A/B/C, ANGLE";
    case 5:
      return "Reading error: X/Y/Z~MIN, IS~A/B/C, IM~A/B/C, ID~A/B/C";
    case 6:
      return "Reading error: D~X/Y/Z, N~X/Y/Z";
    case 8:
      return "Reading error: FIELDs";
    default:
      return {};
  }
}

// The 80-character message of status 7: a blank, the request to change
// MXS, the required size right-aligned in 12 columns, blanks.  Sizes whose
// digits do not fit the 12 columns are not fixed here (nullopt-like: empty).
inline std::string capacity_message(__int128 required) {
  std::string digits;
  for (auto v = static_cast<unsigned __int128>(required); v != 0; v /= 10)
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
  if (digits.size() > 12) return {};
  std::string m =
      " Change the program parameter MXS to" + std::string(12 - digits.size(), ' ') + digits;
  m.resize(80, ' ');
  return m;
}

}  // namespace fieldscan::model
