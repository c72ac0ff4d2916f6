#include "fieldscan/mapfile/load.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "fieldscan/mapfile/byte_source.h"
#include "fieldscan/mapfile/map_reader.h"
#include "fieldscan/mapfile/map_writer.h"
#include "testsupport/child.h"
#include "testsupport/temp_dir.h"

namespace fieldscan {
namespace {

constexpr std::string_view kCannotOpen = "Cannot open the MAP file";
constexpr std::string_view kTitleError = "Reading error: TITLE";
constexpr std::string_view kDateError = "Reading error: DATE";
constexpr std::string_view kAxesError = "Reading error: AX~A/B/C, ANGLE";
constexpr std::string_view kOriginError = "Reading error: X/Y/Z~MIN, IS~A/B/C, IM~A/B/C, ID~A/B/C";
constexpr std::string_view kStepsError = "Reading error: D~X/Y/Z, N~X/Y/Z";
constexpr std::string_view kFieldsError = "Reading error: FIELDs";

// The message of each status that has a fixed one, indexed by status.
const std::string_view kMessages[] = {"",          kCannotOpen, kTitleError,
                                      kDateError,  kAxesError,  kOriginError,
                                      kStepsError, "",          kFieldsError};

constexpr float kSentinel = -4242.5f;
constexpr std::int32_t kMaxInt = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMinInt = std::numeric_limits<std::int32_t>::min();

// One field array for the whole test program (12 MB), as in the tool.
float* Bmap() {
  static std::vector<float> bmap(MXS);
  return bmap.data();
}

std::string Padded(std::string_view s) { return std::string(view(make_text<80>(s))); }
std::string Str(const Text80& t) { return std::string(view(t)); }

// A SIZE that no load produces, so that untouched fields show.
GridSize SentinelSize() {
  GridSize g;
  float* reals[] = {&g.XMIN, &g.YMIN, &g.ZMIN,  &g.DX,    &g.DY,    &g.DZ,   &g.XLOW,
                    &g.YLOW, &g.ZLOW, &g.XHIGH, &g.YHIGH, &g.ZHIGH, &g.ANGLE};
  for (float* r : reals) *r = 777.25f;
  std::int32_t* ints[] = {&g.NX, &g.NY, &g.NZ, &g.IDA, &g.IDB, &g.IDC, &g.IMA, &g.IMB, &g.IMC};
  for (std::int32_t* i : ints) *i = -7;
  return g;
}

bool SameSize(const GridSize& a, const GridSize& b) {
  static_assert(sizeof(GridSize) == 22 * 4);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

std::uint32_t Bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// A 2 x 2 x 2 map with distinct values; its file is 350 bytes long.
MapContents SmallMap() {
  MapContents contents;
  contents.xmin = -1.5f;
  contents.ymin = 2.0f;
  contents.zmin = 0.25f;
  contents.ida = 1;
  contents.idb = 2;
  contents.idc = 0;
  contents.ima = 11;
  contents.imb = 12;
  contents.imc = 13;
  contents.isa = 21;
  contents.dx = 0.5f;
  contents.dy = 2.0f;
  contents.dz = 4.0f;
  for (int n = 0; n < 24; ++n) contents.values.push_back(1.0f + 0.5f * static_cast<float>(n));
  return contents;
}

std::string Frame(const std::vector<std::string>& records) {
  std::string out;
  for (const auto& r : records) out += frame_record(r);
  return out;
}

// Header records of `contents` with arbitrary counts (no plane records).
std::vector<std::string> HeaderRecords(MapContents contents, std::int32_t nx, std::int32_t ny,
                                       std::int32_t nz) {
  contents.nx = nx;
  contents.ny = ny;
  contents.nz = 0;
  auto records = encode_records(contents);
  records.resize(5);
  std::string& r5 = records[4];
  for (int b = 0; b < 4; ++b)
    r5[20 + b] = static_cast<char>((static_cast<std::uint32_t>(nz) >> (8 * b)) & 0xFF);
  return records;
}

// Which status a failure in each record gives: records 1-5, then planes.
std::int16_t StatusOfRecord(std::size_t index) {
  return index < 5 ? static_cast<std::int16_t>(index + 2) : std::int16_t{8};
}

class LoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SIZE = SentinelSize();
    std::fill_n(Bmap(), 64, kSentinel);
  }

  // Loads `bytes` through the loader's own reading code.
  void LoadBytes(std::string_view bytes) {
    MemorySource source(bytes);
    message_ = make_text<80>("the caller's text");
    status_ = -1;
    load_from_source(source, Bmap(), MXS, message_, status_);
    consumed_ = source.position();
  }

  void LoadFile(const std::string& name) {
    message_ = make_text<80>("the caller's text");
    status_ = -1;
    LOAD(make_text<80>(name), Bmap(), MXS, message_, status_);
  }

  // Status and message of a failure, or status 0 with the caller's text.
  void ExpectOutcome(std::int16_t status) {
    EXPECT_EQ(status_, status);
    if (status == 0) {
      EXPECT_EQ(Str(message_), Padded("the caller's text"));
    } else if (status != 7) {
      EXPECT_EQ(Str(message_), Padded(kMessages[status]));
    }
  }

  Text80 message_;
  std::int16_t status_ = -1;
  std::size_t consumed_ = 0;
};

// ---------------------------------------------------------------- success

TEST_F(LoadTest, SmallMapFillsSizeAndBmap) {
  const MapContents contents = SmallMap();
  LoadBytes(encode_map(contents));
  ExpectOutcome(0);
  EXPECT_EQ(SIZE.XMIN, -1.5f);
  EXPECT_EQ(SIZE.YMIN, 2.0f);
  EXPECT_EQ(SIZE.ZMIN, 0.25f);
  EXPECT_EQ(SIZE.DX, 0.5f);
  EXPECT_EQ(SIZE.DY, 2.0f);
  EXPECT_EQ(SIZE.DZ, 4.0f);
  EXPECT_EQ(SIZE.NX, 2);
  EXPECT_EQ(SIZE.NY, 2);
  EXPECT_EQ(SIZE.NZ, 2);
  EXPECT_EQ(SIZE.IDA, 1);
  EXPECT_EQ(SIZE.IDB, 2);
  EXPECT_EQ(SIZE.IDC, 0);
  EXPECT_EQ(SIZE.IMA, 11);
  EXPECT_EQ(SIZE.IMB, 12);
  EXPECT_EQ(SIZE.IMC, 13);
  // Quadrant map: XLOW/XHIGH = -1.5 -/+ 0.5, YLOW/YHIGH = 2 -/+ 2, ZLOW on
  // its plane, ZHIGH = 0.25 + 4.
  EXPECT_EQ(SIZE.XLOW, -2.0f);
  EXPECT_EQ(SIZE.XHIGH, -1.0f);
  EXPECT_EQ(SIZE.YLOW, 0.0f);
  EXPECT_EQ(SIZE.YHIGH, 4.0f);
  EXPECT_EQ(SIZE.ZLOW, 0.25f);
  EXPECT_EQ(SIZE.ZHIGH, 4.25f);
  for (int n = 0; n < 24; ++n) EXPECT_EQ(Bmap()[n], contents.values[n]) << n;
  EXPECT_EQ(Bmap()[24], kSentinel);  // beyond 3 * NX * NY * NZ: untouched
  EXPECT_EQ(consumed_, 350u);
}

TEST_F(LoadTest, AngleInRadiansAndLimitsOfAMirroredMap) {
  struct Row {
    float angle;
    std::uint32_t radians_bits;
    float ylow, yhigh;
  };
  const Row rows[] = {{45.0f, 0x3F490FDB, -4.0f, 4.0f}, {90.0f, 0x3FC90FDB, -5.0f, 5.0f}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.angle);
    SIZE = SentinelSize();
    MapContents contents;
    contents.angle = row.angle;
    contents.xmin = -10;
    contents.ymin = 0;
    contents.zmin = 5;
    contents.ida = 1;
    contents.idb = 1;
    contents.idc = 0;
    contents.dx = 2;
    contents.dy = 5;
    contents.dz = 0.5f;
    contents.nx = 3;
    contents.ny = 2;
    contents.nz = 4;
    const auto records = encode_records(contents);
    ASSERT_EQ(records.size(), 9u);
    EXPECT_EQ(records[5].size(), 72u);
    LoadBytes(encode_map(contents));
    ExpectOutcome(0);
    EXPECT_EQ(Bits(SIZE.ANGLE), row.radians_bits);
    EXPECT_EQ(SIZE.XLOW, -14.0f);
    EXPECT_EQ(SIZE.XHIGH, -6.0f);
    EXPECT_EQ(SIZE.YLOW, row.ylow);
    EXPECT_EQ(SIZE.YHIGH, row.yhigh);
    EXPECT_EQ(SIZE.ZLOW, 5.0f);
    EXPECT_EQ(SIZE.ZHIGH, 6.5f);
  }
}

// Degrees to radians for every whole degree, against the conversion done
// here with pi taken from its single-precision bit pattern: the division
// and the multiplication in double, one rounding to single precision.
TEST_F(LoadTest, AngleInRadiansForEveryWholeDegree) {
  const double pi_single = std::bit_cast<float>(0x40490FDBu);
  MapContents contents = SmallMap();
  contents.nz = 0;
  for (int degrees = 0; degrees < 360; ++degrees) {
    SCOPED_TRACE(degrees);
    contents.angle = static_cast<float>(degrees);
    LoadBytes(encode_map(contents));
    ExpectOutcome(0);
    const float expected = static_cast<float>(degrees / 180.0 * pi_single);
    EXPECT_EQ(Bits(SIZE.ANGLE), Bits(expected));
  }
  // One value pinned by hand: pi in double precision would give 0x3EB2B8C2.
  contents.angle = 20.0f;
  LoadBytes(encode_map(contents));
  EXPECT_EQ(Bits(SIZE.ANGLE), 0x3EB2B8C3u);
}

// A source that counts how often the loader asks it for bytes.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(std::string_view bytes) : inner_(bytes) {}
  std::size_t read2(void* first, std::size_t n1, void* second, std::size_t n2) override {
    ++calls;
    return inner_.read2(first, n1, second, n2);
  }
  std::size_t read_some(void* dst, std::size_t least, std::size_t most) override {
    ++calls;
    return inner_.read_some(dst, least, most);
  }
  void unread(std::size_t n) override { inner_.unread(n); }
  bool skip(std::uint64_t n) override {
    ++calls;
    return inner_.skip(n);
  }
  int calls = 0;

 private:
  MemorySource inner_;
};

// Short plane records (here of an empty grid, and of a grid of one node)
// are taken through a buffer, not with a request to the source each.
TEST_F(LoadTest, ShortPlaneRecordsAreReadThroughABuffer) {
  for (const std::int32_t nodes : {0, 1}) {
    SCOPED_TRACE(nodes);
    SetUp();
    MapContents contents = SmallMap();
    contents.nx = nodes;
    contents.ny = 1;
    contents.nz = 100000;
    contents.values.resize(static_cast<std::size_t>(3 * nodes * contents.nz));
    for (std::size_t n = 0; n < contents.values.size(); ++n)
      contents.values[n] = static_cast<float>(n);
    const std::string bytes = encode_map(contents);
    Bmap()[300000] = kSentinel;
    CountingSource source(bytes);
    message_ = make_text<80>("the caller's text");
    load_from_source(source, Bmap(), MXS, message_, status_);
    ExpectOutcome(0);
    EXPECT_LT(source.calls, 200);
    if (nodes == 1) {
      EXPECT_EQ(Bmap()[299999], 299999.0f);
      EXPECT_EQ(Bmap()[300000], kSentinel);
    }
  }
}

// Q: 90 degrees to within about 0.0006 degrees gives the map its own y
// extent; any other angle takes the x extent (here 2 * 2 = 4) instead.
TEST_F(LoadTest, QuadrantTestChoosesTheYExtent) {
  struct Row {
    float angle;
    bool quadrant;
  };
  const Row rows[] = {{90.0f, true},     {90.0005f, true}, {89.9995f, true}, {90.0007f, false},
                      {89.9993f, false}, {45.0f, false},   {0.0f, false},    {-90.0f, false},
                      {270.0f, false},   {180.0f, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.angle);
    MapContents contents;
    contents.angle = row.angle;
    contents.idb = 1;
    contents.nx = 3;
    contents.ny = 2;
    contents.nz = 1;
    contents.dx = 2;
    contents.dy = 5;
    LoadBytes(encode_map(contents));
    ExpectOutcome(0);
    EXPECT_EQ(SIZE.YHIGH, row.quadrant ? 5.0f : 4.0f);
    EXPECT_EQ(SIZE.YLOW, row.quadrant ? -5.0f : -4.0f);
    EXPECT_EQ(SIZE.XHIGH, 4.0f);
  }
}

TEST_F(LoadTest, ReflectionIndicesDecideTheLowerLimits) {
  struct Row {
    std::int32_t ida, idb, idc;
    float xlow, ylow, zlow;
  };
  // Origin (1, 2, 3), extents 4 in x, 10 in y (quadrant map), 1.5 in z.
  const Row rows[] = {
      {0, 0, 0, 1, 2, 3},  {1, 0, 0, -3, 2, 3},   {2, 0, 0, -3, 2, 3},   {0, 1, 0, 1, -8, 3},
      {0, 2, 0, 1, -8, 3}, {0, 0, 1, 1, 2, 1.5f}, {0, 0, 2, 1, 2, 1.5f}, {-1, -1, -1, -3, -8, 1.5f},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.ida << " " << row.idb << " " << row.idc);
    MapContents contents;
    contents.xmin = 1;
    contents.ymin = 2;
    contents.zmin = 3;
    contents.ida = row.ida;
    contents.idb = row.idb;
    contents.idc = row.idc;
    contents.nx = 5;
    contents.ny = 3;
    contents.nz = 2;
    contents.dx = 1;
    contents.dy = 5;
    contents.dz = 1.5f;
    LoadBytes(encode_map(contents));
    ExpectOutcome(0);
    EXPECT_EQ(SIZE.XLOW, row.xlow);
    EXPECT_EQ(SIZE.YLOW, row.ylow);
    EXPECT_EQ(SIZE.ZLOW, row.zlow);
    EXPECT_EQ(SIZE.XHIGH, 5.0f);
    EXPECT_EQ(SIZE.YHIGH, 12.0f);
    EXPECT_EQ(SIZE.ZHIGH, 4.5f);
  }
}

TEST_F(LoadTest, LimitsAreRoundedOnceFromDouble) {
  // XHIGH = XMIN + (NX - 1) * DX in double, rounded once; rounding the
  // product to single precision first gives a different last bit here.
  MapContents contents;
  contents.xmin = 46.0f;
  contents.dx = 263.0f / 997.0f;
  contents.nx = 27;
  contents.ny = 1;
  contents.nz = 0;
  LoadBytes(encode_map(contents));
  ExpectOutcome(0);
  const double exact = 46.0 + 26.0 * static_cast<double>(contents.dx);
  volatile float product = 26.0f * contents.dx;
  volatile float single_steps = 46.0f + product;
  EXPECT_EQ(Bits(SIZE.XHIGH), Bits(static_cast<float>(exact)));
  EXPECT_NE(Bits(SIZE.XHIGH), Bits(single_steps));
}

TEST_F(LoadTest, NzZeroLoadsAfterRecord5) {
  MapContents contents = SmallMap();
  contents.nz = 0;
  contents.idc = 1;
  const std::string bytes = encode_map(contents);
  ASSERT_EQ(bytes.size(), 238u);
  LoadBytes(bytes);
  ExpectOutcome(0);
  EXPECT_EQ(SIZE.ZHIGH, 0.25f - 4.0f);  // ZMIN - DZ
  EXPECT_EQ(SIZE.ZLOW, 0.25f + 4.0f);   // ZMIN - (NZ - 1) * DZ
  EXPECT_EQ(Bmap()[0], kSentinel);
}

TEST_F(LoadTest, NegativeNzReadsNoPlane) {
  LoadBytes(Frame(HeaderRecords(SmallMap(), 2, 2, -3)));
  ExpectOutcome(0);
  EXPECT_EQ(SIZE.NZ, -3);
}

// With NZ >= 1 and an empty grid each plane record must still be there;
// none of its bytes is used.
TEST_F(LoadTest, PlanesOfAnEmptyGridMustBePresent) {
  struct Row {
    const char* name;
    std::int32_t nx, ny;
    int planes;        // plane records present (NZ = 3)
    std::size_t data;  // data bytes in each
    std::int16_t status;
  };
  const Row rows[] = {
      {"NX 0, all planes", 0, 2, 3, 0, 0},        {"NY 0, all planes", 2, 0, 3, 0, 0},
      {"NX -4, all planes", -4, 2, 3, 0, 0},      {"both negative, all planes", -4, -5, 3, 0, 0},
      {"NX 0, planes with data", 0, 2, 3, 12, 0}, {"NX 0, two planes", 0, 2, 2, 0, 8},
      {"NY 0, no plane", 2, 0, 0, 0, 8},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    auto records = HeaderRecords(SmallMap(), row.nx, row.ny, 3);
    for (int k = 0; k < row.planes; ++k) records.push_back(std::string(row.data, '\x41'));
    LoadBytes(Frame(records));
    ExpectOutcome(row.status);
    EXPECT_EQ(Bmap()[0], kSentinel);
  }
}

TEST_F(LoadTest, FullCapacityLoads) {
  MapContents contents;
  contents.nx = contents.ny = contents.nz = 100;
  contents.values.resize(MXS);
  for (std::size_t n = 0; n < contents.values.size(); ++n)
    contents.values[n] = static_cast<float>(n % 9973) - 17.5f;
  const std::string bytes = encode_map(contents);
  ASSERT_EQ(bytes.size(), 12'001'038u);
  LoadBytes(bytes);
  ExpectOutcome(0);
  EXPECT_EQ(std::memcmp(Bmap(), contents.values.data(), MXS * sizeof(float)), 0);
  EXPECT_EQ(SIZE.XHIGH, 99.0f);
}

// --------------------------------------------------------------- capacity

TEST_F(LoadTest, CapacityCheckOnTheExactProduct) {
  struct Row {
    std::int32_t nx, ny, nz;
    std::int16_t status;  // with no plane record in the file
    const char* shown;    // the 12-column field of the status 7 message
  };
  const Row rows[] = {
      {101, 101, 101, 7, "     3090903"},
      {1'000'001, 1, 1, 7, "     3000003"},  // MXS + 3
      {100, 100, 100, 8, ""},                // N = MXS passes
      {1'000'000, 1, 1, 8, ""},
      {2000, 2000, 2000, 7, " 24000000000"},  // beyond 32 bits, 11 digits
      {1'000'000, 1000, 1, 7, "  3000000000"},
      {100'000, 100'000, 100'000, 7, "************"},  // 3e15: 16 digits
      {kMaxInt, kMaxInt, kMaxInt, 7, "************"},
      {kMinInt, kMinInt, 1, 7, "************"},  // 3 * 2^62
      {1431655766, 1, 1, 7, "  4294967298"},     // wraps to 2 in 32 bits
      {kMinInt, 1, 1, 8, ""},                    // negative product passes
      {kMaxInt, -1, kMaxInt, 8, ""},
      {kMinInt, kMinInt, kMinInt, 0, ""},  // NZ < 0: no plane read
      {kMaxInt, kMaxInt, -1, 0, ""},
      {0, 0, 0, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.nx << " x " << row.ny << " x " << row.nz);
    SetUp();
    const GridSize before = SIZE;
    LoadBytes(Frame(HeaderRecords(SmallMap(), row.nx, row.ny, row.nz)));
    ExpectOutcome(row.status);
    EXPECT_EQ(consumed_, 238u);  // nothing after record 5 was read
    EXPECT_EQ(SIZE.NX, row.nx);
    EXPECT_EQ(SIZE.NZ, row.nz);
    if (row.status == 7) {
      EXPECT_EQ(Str(message_),
                Padded(std::string(" Change the program parameter MXS to") + row.shown));
      EXPECT_EQ(SIZE.XHIGH, before.XHIGH);
    }
  }
}

TEST_F(LoadTest, CapacityMessageExactCharacters) {
  LoadBytes(Frame(HeaderRecords(SmallMap(), 101, 101, 101)));
  ASSERT_EQ(status_, 7);
  const std::string expected = " Change the program parameter MXS to" + std::string(5, ' ') +
                               "3090903" + std::string(32, ' ');
  ASSERT_EQ(expected.size(), 80u);
  EXPECT_EQ(Str(message_), expected);
  EXPECT_EQ(message_[47], '3');  // the last digit stands in character 48
}

TEST_F(LoadTest, CapacityIsTheCallersMxs) {
  // The same 2 x 2 x 2 map against a smaller array: 24 values needed.
  const std::string bytes = encode_map(SmallMap());
  for (std::int32_t mxs : {23, 24}) {
    SCOPED_TRACE(mxs);
    SetUp();
    MemorySource source(bytes);
    Text80 message = make_text<80>("x");
    std::int16_t status = -1;
    load_from_source(source, Bmap(), mxs, message, status);
    EXPECT_EQ(status, mxs == 23 ? 7 : 0);
    if (mxs == 23) {
      EXPECT_EQ(Str(message), Padded(" Change the program parameter MXS to          24"));
      EXPECT_EQ(source.position(), 238u);  // not a byte of the planes read
      EXPECT_EQ(Bmap()[0], kSentinel);
    }
  }
}

// ------------------------------------------------------ corrupted records

using Records = std::vector<std::string>;

// The map with record `index` (0-based) cut to `size` data bytes.
std::string Cut(Records r, std::size_t index, std::size_t size) {
  r[index].resize(size);
  return Frame(r);
}

// The map without its last `bytes` bytes.
std::string Drop(const Records& r, std::size_t bytes) {
  const std::string s = Frame(r);
  return s.substr(0, s.size() - bytes);
}

// The map with record `index` framed by its own length words.
std::string Reframe(const Records& r, std::size_t index, std::uint32_t lead, std::uint32_t trail) {
  std::string s;
  for (std::size_t n = 0; n < r.size(); ++n)
    s += n == index ? frame_record(r[n], lead, trail) : frame_record(r[n]);
  return s;
}

// One named case per way a map can be damaged.
TEST_F(LoadTest, CorruptedMaps) {
  struct Row {
    const char* name;
    std::function<std::string(Records)> make;
    std::int16_t status;
  };
  const Row rows[] = {
      // clang-format off
      {"EmptyFile", [](Records) { return std::string(); }, 2},
      {"PartialLeadingWord", [](Records) { return std::string("\x50\x00", 2); }, 2},
      {"TitleLengthZero", [](Records r) { return Cut(r, 0, 0); }, 2},
      {"TitleOneByteShort", [](Records r) { return Cut(r, 0, 79); }, 2},
      {"TitleOf100Bytes", [](Records r) { return Cut(r, 0, 100); }, 0},
      {"TitleLength2To31", [](Records r) { return Reframe(r, 0, 0x80000000u, 80); }, 2},
      {"DateMissing", [](Records r) { return frame_record(r[0]); }, 3},
      {"DateOneByteShort", [](Records r) { return Cut(r, 1, 17); }, 3},
      {"AxesRecordShort", [](Records r) { return Cut(r, 2, 24); }, 4},
      {"OriginRecordShort", [](Records r) { return Cut(r, 3, 44); }, 5},
      {"StepsRecordShort", [](Records r) { return Cut(r, 4, 23); }, 6},
      {"StepsLengthAllOnes", [](Records r) { return Reframe(r, 4, 0xFFFFFFFFu, 24); }, 6},
      {"FileEndsAfterRecord5", [](Records r) { r.resize(5); return Frame(r); }, 8},
      {"PlaneOneValueShort", [](Records r) { return Cut(r, 6, 44); }, 8},
      {"PlaneLengthBeyondTheFile", [](Records r) { return Reframe(r, 5, 0x7FFFFFFFu, 48); }, 8},
      {"LastTrailingWordMissing", [](Records r) { return Drop(r, 4); }, 8},
      {"LastTrailingWordHalf", [](Records r) { return Drop(r, 2); }, 8},
      {"TrailingWordsDiffer", [](Records r) { return Reframe(r, 2, 28, 0xDEADBEEF); }, 0},
      {"TrailingWordNegative", [](Records r) { return Reframe(r, 6, 48, 0xFFFFFFFF); }, 0},
      {"ExtraRecordsAndGarbage",
       [](Records r) { return Frame(r) + frame_record("extra") + "\x07\x00"; }, 0},
      {"EveryRecordLonger",
       [](Records r) { for (auto& d : r) d += std::string(13, '\xFF'); return Frame(r); }, 0},
      // clang-format on
  };
  const Records good = encode_records(SmallMap());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    LoadBytes(row.make(good));
    ExpectOutcome(row.status);
    if (row.status == 0) {
      EXPECT_EQ(SIZE.NZ, 2);
      EXPECT_EQ(Bmap()[23], SmallMap().values[23]);
    }
  }
}

// A map cut at any byte fails with the status of the record the cut
// breaks; a cut at a record's first byte fails on that record too.
TEST_F(LoadTest, TruncationAtEveryByte) {
  const auto records = encode_records(SmallMap());
  const std::string bytes = Frame(records);
  std::vector<std::size_t> ends;  // end offset of each record
  std::size_t end = 0;
  for (const auto& r : records) ends.push_back(end += r.size() + 8);
  ASSERT_EQ(end, bytes.size());
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    SetUp();
    const GridSize before = SIZE;
    std::size_t record = 0;
    while (cut >= ends[record]) ++record;
    LoadBytes(std::string_view(bytes).substr(0, cut));
    ExpectOutcome(StatusOfRecord(record));
    EXPECT_EQ(SIZE.XHIGH, before.XHIGH);
    EXPECT_EQ(SIZE.ZLOW, before.ZLOW);
  }
  LoadBytes(bytes);
  ExpectOutcome(0);
}

// A leading length word shorter than the record's items, or of 2^31 or
// more, fails on that record whatever follows it.
TEST_F(LoadTest, EveryLengthWordTooShortOrTooLarge) {
  const auto records = encode_records(SmallMap());
  for (std::size_t r = 0; r < records.size(); ++r) {
    std::vector<std::uint32_t> leads = {0x80000000u, 0x80000001u, 0xFFFFFFFFu};
    for (std::uint32_t l = 0; l < records[r].size(); ++l) leads.push_back(l);
    for (std::uint32_t lead : leads) {
      SCOPED_TRACE(testing::Message() << "record " << r + 1 << " length " << lead);
      SetUp();
      LoadBytes(Reframe(records, r, lead, lead));
      ExpectOutcome(StatusOfRecord(r));
    }
  }
}

// A run of plane records of one length, broken in its middle: a longer
// record is passed over, a shorter one fails with the planes before it in
// place.
TEST_F(LoadTest, RunOfShortPlanesBrokenInTheMiddle) {
  MapContents contents = SmallMap();
  contents.nx = contents.ny = 1;
  contents.nz = 50000;
  contents.values.resize(3 * 50000);
  for (std::size_t n = 0; n < contents.values.size(); ++n)
    contents.values[n] = static_cast<float>(n) + 0.5f;
  const Records records = encode_records(contents);
  struct Row {
    const char* name;
    std::size_t plane;      // 0-based
    std::size_t data_size;  // of that plane's record
    std::int16_t status;
  } const rows[] = {
      {"longer record", 31111, 12 + 5, 0},
      {"record one value short", 31111, 8, 8},
      {"first plane empty", 0, 0, 8},
      {"last plane longer", 49999, 40, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    Records changed = records;
    changed[5 + row.plane].resize(row.data_size, '\x7F');
    LoadBytes(Frame(changed));
    ExpectOutcome(row.status);
    const std::size_t loaded = row.status == 0 ? 50000 : row.plane;
    for (std::size_t k = 0; k < loaded; k += 997)
      EXPECT_EQ(Bmap()[3 * k + 2], contents.values[3 * k + 2]);
    if (loaded > 0) {
      EXPECT_EQ(Bmap()[3 * loaded - 1], contents.values[3 * loaded - 1]);
    }
    if (row.status == 0) {
      EXPECT_EQ(consumed_, Frame(changed).size());
    }
  }
}

// ------------------------------------------------- state after a failure

TEST_F(LoadTest, AngleIsInRadiansOnceRecord3IsRead) {
  auto records = encode_records(SmallMap());  // 90 degrees
  records[3].resize(4);                       // record 4 fails
  LoadBytes(Frame(records));
  ExpectOutcome(5);
  EXPECT_EQ(Bits(SIZE.ANGLE), 0x3FC90FDBu);
}

TEST_F(LoadTest, AngleStaysInDegreesWhenRecord3LacksItsTrailingWord) {
  const auto records = encode_records(SmallMap());
  std::string bytes = Frame({records[0], records[1]}) + frame_record(records[2]);
  bytes.resize(bytes.size() - 1);
  LoadBytes(bytes);
  ExpectOutcome(4);
  EXPECT_EQ(SIZE.ANGLE, 90.0f);  // read completely, never converted
}

TEST_F(LoadTest, ItemsBeforeTheFailureKeepTheirNewValues) {
  const auto records = encode_records(SmallMap());
  const std::string head = Frame({records[0], records[1], records[2], records[3]});
  {
    SCOPED_TRACE("record 5 with L = 20: NZ is not in it");
    SetUp();
    LoadBytes(head + frame_record(records[4].substr(0, 20)));
    ExpectOutcome(6);
    EXPECT_EQ(SIZE.XMIN, -1.5f);
    EXPECT_EQ(SIZE.IDB, 2);
    EXPECT_EQ(SIZE.DZ, 4.0f);
    EXPECT_EQ(SIZE.NY, 2);
    EXPECT_EQ(SIZE.NZ, -7);  // the item that did not arrive is untouched
  }
  {
    SCOPED_TRACE("record 3 with L = 26: ANGLE is not in it");
    SetUp();
    LoadBytes(Frame({records[0], records[1], records[2].substr(0, 26)}));
    ExpectOutcome(4);
    EXPECT_EQ(SIZE.ANGLE, 777.25f);
  }
  {
    SCOPED_TRACE("file ends 14 bytes into record 5's data");
    SetUp();
    LoadBytes(head + frame_record(records[4]).substr(0, 4 + 14));
    ExpectOutcome(6);
    EXPECT_EQ(SIZE.DY, 2.0f);
    EXPECT_EQ(SIZE.DZ, 4.0f);
    EXPECT_EQ(SIZE.NX, -7);
  }
}

TEST_F(LoadTest, PlanesBeforeTheFailingPlaneStay) {
  MapContents contents = SmallMap();
  contents.nz = 3;
  contents.values.resize(36, 99.0f);
  const auto records = encode_records(contents);
  std::string bytes = Frame(std::vector<std::string>(records.begin(), records.begin() + 7));
  bytes += frame_record(records[7]).substr(0, 4 + 8);  // two values of plane 3
  LoadBytes(bytes);
  ExpectOutcome(8);
  for (int n = 0; n < 26; ++n) EXPECT_EQ(Bmap()[n], contents.values[n]) << n;
  EXPECT_EQ(Bmap()[26], kSentinel);
  EXPECT_EQ(SIZE.NZ, 3);
  EXPECT_EQ(SIZE.XHIGH, 777.25f);  // limits untouched
}

// ------------------------------------------------------------ real files

class LoadFileTest : public LoadTest {
 protected:
  // Loads `bytes` from a regular file.
  void LoadFromFile(std::string_view bytes) {
    const std::string path = dir_.file("map.dat");
    ASSERT_TRUE(write_file(path, bytes));
    LoadFile(path);
  }

  // Loads `bytes` from a named pipe that another thread fills in small
  // pieces, so that reads come back short and are resumed.
  void LoadFromPipe(std::string_view bytes) {
    const std::string fifo = dir_.file("map.fifo");
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
      const int fd = ::open(fifo.c_str(), O_WRONLY);
      if (fd < 0) return;
      for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t piece = std::min<std::size_t>(997, bytes.size() - done);
        const ssize_t w = ::write(fd, bytes.data() + done, piece);
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
      }
      ::close(fd);
    });
    LoadFile(fifo);
    // Should LOAD not have opened the pipe, let the writer go.
    const int unblock = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    if (unblock >= 0) ::close(unblock);
  }

  testsupport::TempDir dir_;
};

TEST_F(LoadFileTest, LoadsAReadOnlyFileAndLeavesItUnchanged) {
  const std::string path = dir_.file("map.dat");
  const std::string bytes = encode_map(SmallMap());
  ASSERT_TRUE(write_file(path, bytes));
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  LoadFile(path);
  ExpectOutcome(0);
  EXPECT_EQ(Bmap()[5], SmallMap().values[5]);
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_mode, before.st_mode);
  std::string reread(bytes.size() + 1, '\0');
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::read(fd, reread.data(), reread.size()), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
  reread.resize(bytes.size());
  EXPECT_EQ(reread, bytes);
}

TEST_F(LoadFileTest, NameIsTrimmedOfBlanks) {
  const std::string path = dir_.file("map.dat");
  ASSERT_TRUE(write_file(path, encode_map(SmallMap())));
  LoadFile("   " + path + "  ");
  ExpectOutcome(0);
}

TEST_F(LoadFileTest, CannotOpen) {
  const std::string map = dir_.file("map.dat");
  ASSERT_TRUE(write_file(map, encode_map(SmallMap())));
  struct Row {
    const char* name;
    std::string path;
  };
  const Row rows[] = {
      {"missing file", dir_.file("missing.map")},
      {"directory", dir_.path().string()},
      {"NUL inside the name", map + std::string(1, '\0') + "x"},
      {"NUL after the name", map + std::string(1, '\0')},
      {"blank name", ""},
      {"a file below a file", map + "/x"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    const GridSize before = SIZE;
    LoadFile(row.path);
    ExpectOutcome(1);
    EXPECT_TRUE(SameSize(SIZE, before));
    EXPECT_EQ(Bmap()[0], kSentinel);
  }
}

TEST_F(LoadFileTest, UnreadableFileCannotBeOpened) {
  const std::string path = dir_.file("map.dat");
  ASSERT_TRUE(write_file(path, encode_map(SmallMap())));
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  if (::geteuid() != 0) {
    LoadFile(path);
    ExpectOutcome(1);
    return;
  }
  // Root reads any file: try it as an ordinary user in a child process,
  // who may enter the folder but not read the file.
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::all,
                               std::filesystem::perm_options::add);
  testsupport::ChildOptions unprivileged;
  unprivileged.unprivileged = true;
  const testsupport::ChildResult r = testsupport::run_in_child(
      [&] {
        Text80 message = make_text<80>("");
        std::int16_t status = -1;
        LOAD(make_text<80>(path), Bmap(), MXS, message, status);
        ::_exit(status == 1 && Str(message) == Padded(kCannotOpen) ? 0 : 1);
      },
      unprivileged);
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(LoadFileTest, EmptyFileIsATitleError) {
  const std::string path = dir_.file("empty.map");
  ASSERT_TRUE(write_file(path, ""));
  LoadFile(path);
  ExpectOutcome(2);
}

// Longer records are passed over by seeking in a regular file; a length
// that runs past the end of the file is found by the trailing word.
TEST_F(LoadFileTest, LongRecordsInARegularFile) {
  auto records = encode_records(SmallMap());
  records[0] += std::string(20, 'T');       // title record of 100 bytes
  records[6] += std::string(100000, '\1');  // long last plane
  const std::string path = dir_.file("long.map");
  ASSERT_TRUE(write_file(path, Frame(records)));
  LoadFile(path);
  ExpectOutcome(0);
  EXPECT_EQ(Bmap()[23], SmallMap().values[23]);

  SetUp();
  ASSERT_TRUE(write_file(path, frame_record(records[0], 0x7FFFFFFFu, 100) + Frame({records[1]})));
  LoadFile(path);
  ExpectOutcome(2);
}

// A length word of 2^31 is an error even when the file holds all the bytes
// it announces (a sparse file of 2 GiB).
TEST_F(LoadFileTest, LengthOf2To31IsAnErrorEvenWithAllItsBytes) {
  const auto records = encode_records(SmallMap());
  const std::string path = dir_.file("sparse.map");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::string lead = frame_record(records[0], 0x80000000u, 0).substr(0, 4 + 80);
  const std::string rest =
      std::string("\0\0\0\x80", 4) + Frame({records.begin() + 1, records.end()});
  const off_t rest_at = off_t{4} + 0x80000000LL;
  const bool written =
      ::write(fd, lead.data(), lead.size()) == static_cast<ssize_t>(lead.size()) &&
      ::pwrite(fd, rest.data(), rest.size(), rest_at) == static_cast<ssize_t>(rest.size());
  ::close(fd);
  if (!written) GTEST_SKIP() << "no room for a sparse file of 2 GiB";
  LoadFile(path);
  ExpectOutcome(2);
}

// A pipe is read sequentially: longer records are read and discarded, and
// reads that come back short are resumed.
TEST_F(LoadFileTest, LoadsFromAPipe) {
  auto records = encode_records(SmallMap());
  records[0] += std::string(20, 'T');
  records[3] += std::string(50000, '\2');
  LoadFromPipe(Frame(records));
  ExpectOutcome(0);
  EXPECT_EQ(SIZE.IDB, 2);
  EXPECT_EQ(Bmap()[23], SmallMap().values[23]);
}

// Damaged and unusual maps give the same outcome from a regular file and
// from a pipe as from memory.
TEST_F(LoadFileTest, FilesAndPipesAgreeWithMemory) {
  MapContents empty_planes = SmallMap();
  empty_planes.nx = 0;
  empty_planes.nz = 20000;
  empty_planes.values.clear();
  const Records small = encode_records(SmallMap());
  Records empty = encode_records(empty_planes);
  Records one_short = empty;
  one_short.pop_back();
  Records long_planes = empty;
  for (std::size_t k = 5; k < long_planes.size(); k += 7) long_planes[k] = std::string(k % 50, 'L');
  struct Row {
    const char* name;
    std::string bytes;
    std::int16_t status;
  } const rows[] = {
      {"title of length 0", Cut(small, 0, 0), 2},
      {"date of length 0", Cut(small, 1, 0), 3},
      {"20000 empty planes", Frame(empty), 0},
      {"20000 empty planes, one missing", Frame(one_short), 8},
      {"empty planes, some with data", Frame(long_planes), 0},
      {"empty planes, the last trailing word cut", Drop(empty, 1), 8},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const char* via : {"file", "pipe"}) {
      SCOPED_TRACE(via);
      SetUp();
      if (std::string_view(via) == "file") {
        LoadFromFile(row.bytes);
      } else {
        LoadFromPipe(row.bytes);
      }
      ExpectOutcome(row.status);
      if (row.status == 0) {
        EXPECT_EQ(SIZE.NZ, 20000);
      }
    }
  }
}

}  // namespace
}  // namespace fieldscan
