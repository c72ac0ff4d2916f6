// Every length word of valid maps altered, one at a time: the loader gives
// the outcome that an independent reading of the format gives (the status
// of the record the change breaks, or success where the framing still
// holds), and a few outcomes that need no model at all.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "fieldscan/mapfile/byte_source.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_reader.h"
#include "fieldscan/mapfile/map_writer.h"
#include "testsupport/map_model.h"

namespace fieldscan {
namespace {

constexpr std::int32_t kCapacity = 3 * 64;

struct Outcome {
  std::int16_t status = -1;
  std::vector<float> bmap;
};

Outcome Load(std::string_view bytes) {
  Outcome o;
  o.bmap.assign(kCapacity, -1.0f);
  SIZE = GridSize{};
  Text80 message = make_text<80>("");
  MemorySource source(bytes);
  load_from_source(source, o.bmap.data(), kCapacity, message, o.status);
  return o;
}

void Put(std::string& bytes, std::size_t at, std::uint32_t word) {
  for (int b = 0; b < 4; ++b) bytes[at + b] = static_cast<char>(word >> (8 * b) & 0xFF);
}

struct Map {
  const char* name;
  MapContents contents;
};

std::vector<Map> Maps() {
  MapContents small;  // 2 x 2 x 2, the worked layout of 350 bytes
  for (int n = 0; n < 24; ++n) small.values.push_back(0.5f + static_cast<float>(n));
  MapContents flat = small;  // no plane records at all
  flat.nz = 0;
  MapContents empty_planes = small;  // planes present but empty
  empty_planes.nx = 0;
  empty_planes.nz = 3;
  MapContents tall = small;  // 1 x 3 x 4, records padded by a writer that rounds up
  tall.nx = 1;
  tall.ny = 3;
  tall.nz = 4;
  tall.values.resize(36, 2.0f);
  return {{"small", small}, {"flat", flat}, {"empty_planes", empty_planes}, {"tall", tall}};
}

TEST(LengthWordSweep, EveryLengthWordAlteredAgreesWithTheFormat) {
  for (const Map& map : Maps()) {
    const std::vector<std::string> records = encode_records(map.contents);
    std::string good;
    std::vector<std::size_t> starts;
    for (const auto& r : records) {
      starts.push_back(good.size());
      good += frame_record(r);
    }
    ASSERT_EQ(Load(good).status, 0) << map.name;

    for (std::size_t r = 0; r < records.size(); ++r) {
      const std::uint32_t length = static_cast<std::uint32_t>(records[r].size());
      std::vector<std::uint32_t> values = {0,           length + 1,  length + 3,  length + 4,
                                           length + 5,  length + 8,  length + 12, 2 * length + 9,
                                           0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
      if (length > 0) values.push_back(length - 1);
      for (int bit = 0; bit < 32; ++bit) values.push_back(length ^ (1u << bit));

      for (const bool leading : {true, false}) {
        const std::size_t at = starts[r] + (leading ? 0 : 4 + length);
        for (const std::uint32_t value : values) {
          SCOPED_TRACE(testing::Message() << map.name << " record " << r + 1
                                          << (leading ? " leading " : " trailing ") << value);
          std::string bytes = good;
          Put(bytes, at, value);
          const Outcome got = Load(bytes);
          const model::MapModel expected = model::read_map(bytes, kCapacity);
          ASSERT_EQ(got.status, expected.status);
          if (got.status == 0) {
            ASSERT_EQ(std::memcmp(got.bmap.data(), expected.planes.data(), expected.planes.size()),
                      0);
          }
          // Without any model: the trailing word is never compared, and a
          // leading word that runs past the end of the file, or one below the
          // record's items or of 2^31 or more, breaks its own record.
          if (!leading) {
            EXPECT_EQ(got.status, 0);
          }
          const bool past_end = static_cast<std::uint64_t>(starts[r]) + 8 + value > bytes.size();
          const std::size_t header_items[] = {80, 18, 28, 48, 24};
          const bool too_short = value < (r < 5 ? header_items[r] : records[r].size());
          if (leading && (past_end || too_short || value >= 0x80000000u)) {
            EXPECT_EQ(got.status, r < 5 ? static_cast<int>(r) + 2 : 8);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace fieldscan
