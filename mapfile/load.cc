#include "mapfile/load.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "mapfile/byte_source.h"
#include "mapfile/load_source.h"
#include "textio/output.h"

namespace fieldscan {
namespace {

// Messages, written from the first character and padded with blanks.
constexpr std::string_view kCannotOpen = "Cannot open the MAP file";
constexpr std::string_view kTitleError = "Reading error: TITLE";
constexpr std::string_view kDateError = "Reading error: DATE";
constexpr std::string_view kAxesError = "Reading error: AX~A/B/C, ANGLE";
constexpr std::string_view kOriginError = "Reading error: X/Y/Z~MIN, IS~A/B/C, IM~A/B/C, ID~A/B/C";
constexpr std::string_view kStepsError = "Reading error: D~X/Y/Z, N~X/Y/Z";
constexpr std::string_view kFieldsError = "Reading error: FIELDs";
// Followed by the required capacity in an integer field of width 12.
constexpr std::string_view kCapacityText = "Change the program parameter MXS to";

// Data bytes of the header records' items.
constexpr std::size_t kTitleBytes = 80;
constexpr std::size_t kDateBytes = 18;
constexpr std::size_t kAxesBytes = 3 * 8 + 4;
constexpr std::size_t kOriginBytes = 3 * 4 + 9 * 4;
constexpr std::size_t kStepsBytes = 3 * 4 + 3 * 4;

// A leading length word at or above this is outside the format.
constexpr std::uint32_t kLengthLimit = 0x8000'0000u;

// Wide enough for 3 * NX * NY * NZ of any three 32-bit counts.
__extension__ typedef __int128 Wide;

void fail(Text80& MESSAGE, std::int16_t& STATUS, std::int16_t status, std::string_view text) {
  MESSAGE = make_text<80>(text);
  STATUS = status;
}

std::uint32_t le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Reads records one after the other.  When the caller says that another
// record follows, that record's leading length word is taken in the same
// read as this record's trailing one, and a record exactly as long as its
// items comes in with both in one read: a plane record costs one system
// call.
class RecordReader {
 public:
  explicit RecordReader(ByteSource& source) : source_(source) {}

  // Reads the next record and hands the first `want` bytes of its data to
  // `dst`; `got` tells how many arrived.  True when the record is complete:
  // its length word is valid and at least `want`, those bytes arrived, and
  // so did the rest of the data and the trailing length word (which is not
  // compared with the leading one).  On a failure the items that arrived
  // before it are in dst[0 .. got).  `more`: another record will be read.
  bool read(void* dst, std::size_t want, std::size_t& got, bool more) {
    got = 0;
    if (!next_lead_known_) {
      if (next_lead_missing_ || source_.read(words_, 4) < 4) return false;
    }
    next_lead_known_ = false;
    const std::uint32_t length = le32(words_);
    if (length >= kLengthLimit) return false;
    if (length < want) {
      got = source_.read(dst, length);
      return false;
    }
    // The trailing length word, and the next record's leading one.
    const std::size_t words = more ? 8 : 4;
    std::size_t arrived;
    if (length == want) {
      arrived = source_.read2(dst, want, words_, words);
      got = arrived < want ? arrived : want;
      arrived -= got;
    } else {
      got = source_.read(dst, want);
      if (got < want || !source_.skip(length - want)) return false;
      arrived = source_.read(words_, words);
    }
    if (got < want || arrived < 4) return false;
    if (more) {
      next_lead_known_ = arrived == 8;
      next_lead_missing_ = arrived < 8;
      if (next_lead_known_) std::memmove(words_, words_ + 4, 4);
    }
    return true;
  }

 private:
  ByteSource& source_;
  unsigned char words_[8];
  bool next_lead_known_ = false;    // words_[0..4) holds the next leading word
  bool next_lead_missing_ = false;  // the data ended inside it
};

// The data of a header record as far as it arrived: an item is taken only
// when all its bytes are there; otherwise its destination keeps its value.
class Items {
 public:
  Items(const unsigned char* data, std::size_t got) : data_(data), got_(got) {}

  void real(std::size_t offset, float& dst) const {
    if (offset + 4 <= got_) dst = std::bit_cast<float>(le32(data_ + offset));
  }
  void integer(std::size_t offset, std::int32_t& dst) const {
    if (offset + 4 <= got_) dst = static_cast<std::int32_t>(le32(data_ + offset));
  }
  template <std::size_t N>
  void text(std::size_t offset, char (&dst)[N]) const {
    if (offset + N <= got_) std::memcpy(dst, data_ + offset, N);
  }

 private:
  const unsigned char* data_;
  std::size_t got_;
};

// Rounds to single precision as IEEE arithmetic does, including the
// magnitudes beyond the largest single-precision number (which a plain
// conversion leaves undefined).
float to_single(double v) {
  constexpr double kMax = std::numeric_limits<float>::max();
  constexpr double kHalfway = 0x1.ffffffp127;  // between kMax and 2^128
  constexpr float kInf = std::numeric_limits<float>::infinity();
  if (v >= kHalfway) return kInf;
  if (v <= -kHalfway) return -kInf;
  if (v > kMax) return static_cast<float>(kMax);
  if (v < -kMax) return -static_cast<float>(kMax);
  return static_cast<float>(v);
}

// The plane data arrive in file byte order, little-endian.
void plane_to_host_order(float* values, std::size_t count) {
  if constexpr (std::endian::native == std::endian::big) {
    auto* bytes = reinterpret_cast<unsigned char*>(values);
    for (std::size_t n = 0; n < count; ++n) {
      std::uint32_t u = le32(bytes + 4 * n);
      std::memcpy(bytes + 4 * n, &u, 4);
    }
  }
}

// " Change the program parameter MXS to" and the required size N (> MXS)
// as an integer field of width 12.  An N beyond 32 bits is shown exactly
// when its digits fit the field, as twelve asterisks otherwise.
void capacity_message(Text80& MESSAGE, Wide n) {
  if (n <= std::numeric_limits<std::int32_t>::max()) {
    write_free_form_to_text(MESSAGE, {kCapacityText, static_cast<std::int32_t>(n)});
    return;
  }
  std::string digits;
  for (auto m = static_cast<unsigned __int128>(n); m != 0; m /= 10)
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
  constexpr std::size_t kWidth = 12;
  const std::string field = digits.size() > kWidth
                                ? std::string(kWidth, '*')
                                : std::string(kWidth - digits.size(), ' ') + digits;
  write_free_form_to_text(MESSAGE, {kCapacityText, std::string_view(field)});
}

// Opens the map read-only.  -1 for a name that cannot name a file (it holds
// a NUL byte), a file that cannot be opened, and a directory.
int open_map(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return -1;
  const std::string path(name);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

void load_from_source(ByteSource& source, float BMAP[], const std::int32_t& MXS, Text80& MESSAGE,
                      std::int16_t& STATUS) {
  // The loader's own items: read, and used by nothing else.
  struct {
    char TITLE[80], DATE[18], AXA[8], AXB[8], AXC[8];
    std::int32_t ISA = 0, ISB = 0, ISC = 0;
  } own;
  unsigned char data[kTitleBytes];  // the largest header record
  std::size_t got;
  RecordReader records(source);

  // Record 1: title.
  bool ok = records.read(data, kTitleBytes, got, true);
  Items(data, got).text(0, own.TITLE);
  if (!ok) return fail(MESSAGE, STATUS, 2, kTitleError);

  // Record 2: date.
  ok = records.read(data, kDateBytes, got, true);
  Items(data, got).text(0, own.DATE);
  if (!ok) return fail(MESSAGE, STATUS, 3, kDateError);

  // Record 3: axis texts and the symmetry angle in degrees.
  ok = records.read(data, kAxesBytes, got, true);
  {
    const Items items(data, got);
    items.text(0, own.AXA);
    items.text(8, own.AXB);
    items.text(16, own.AXC);
    items.real(24, SIZE.ANGLE);
  }
  if (!ok) return fail(MESSAGE, STATUS, 4, kAxesError);

  // Degrees to radians with pi rounded to single precision.
  const float P = std::atan2(0.0f, -1.0f);
  SIZE.ANGLE = to_single(static_cast<double>(SIZE.ANGLE) / 180.0 * static_cast<double>(P));

  // Record 4: grid origin and the three index triples.
  ok = records.read(data, kOriginBytes, got, true);
  {
    const Items items(data, got);
    items.real(0, SIZE.XMIN);
    items.real(4, SIZE.YMIN);
    items.real(8, SIZE.ZMIN);
    items.integer(12, own.ISA);
    items.integer(16, own.ISB);
    items.integer(20, own.ISC);
    items.integer(24, SIZE.IMA);
    items.integer(28, SIZE.IMB);
    items.integer(32, SIZE.IMC);
    items.integer(36, SIZE.IDA);
    items.integer(40, SIZE.IDB);
    items.integer(44, SIZE.IDC);
  }
  if (!ok) return fail(MESSAGE, STATUS, 5, kOriginError);

  // Record 5: grid steps and counts.  Nothing of the planes is read before
  // the capacity check.
  ok = records.read(data, kStepsBytes, got, false);
  {
    const Items items(data, got);
    items.real(0, SIZE.DX);
    items.real(4, SIZE.DY);
    items.real(8, SIZE.DZ);
    items.integer(12, SIZE.NX);
    items.integer(16, SIZE.NY);
    items.integer(20, SIZE.NZ);
  }
  if (!ok) return fail(MESSAGE, STATUS, 6, kStepsError);

  const std::int32_t NX = SIZE.NX, NY = SIZE.NY, NZ = SIZE.NZ;

  // Capacity, on the exact product: negative or zero counts pass.
  const Wide n = Wide{3} * NX * NY * NZ;
  if (n > MXS) {
    capacity_message(MESSAGE, n);
    STATUS = 7;
    return;
  }

  // Plane records, each read in one piece straight to its place in BMAP.
  // A plane of an empty grid (NX or NY not positive) holds no values, but
  // its record must still be there.  With NZ >= 1 and positive NX and NY,
  // the check above keeps NZ planes of 3 * NX * NY values within MXS.
  const std::size_t plane_values =
      NX > 0 && NY > 0
          ? std::size_t{3} * static_cast<std::size_t>(NX) * static_cast<std::size_t>(NY)
          : 0;
  for (std::int64_t k = 1; k <= NZ; ++k) {
    float* plane = BMAP + static_cast<std::size_t>(k - 1) * plane_values;
    ok = records.read(plane, plane_values * 4, got, k < NZ);
    plane_to_host_order(plane, got / 4);
    if (!ok) return fail(MESSAGE, STATUS, 8, kFieldsError);
  }

  // Limits of the covered region.  Q: a quadrant map (90 degrees), whose y
  // extent is its own; any other map takes the x extent for y as well.
  const double LX = (static_cast<double>(NX) - 1.0) * static_cast<double>(SIZE.DX);
  const double LY = (static_cast<double>(NY) - 1.0) * static_cast<double>(SIZE.DY);
  const double LZ = (static_cast<double>(NZ) - 1.0) * static_cast<double>(SIZE.DZ);
  const bool Q = std::fabs(static_cast<double>(SIZE.ANGLE) - static_cast<double>(P) * 0.5) <
                 static_cast<double>(1.0E-5f);
  const double LYQ = Q ? LY : LX;
  const double XMIN = SIZE.XMIN, YMIN = SIZE.YMIN, ZMIN = SIZE.ZMIN;

  SIZE.XHIGH = to_single(XMIN + LX);
  SIZE.YHIGH = to_single(YMIN + LYQ);
  SIZE.ZHIGH = to_single(ZMIN + LZ);
  SIZE.XLOW = SIZE.IDA != 0 ? to_single(XMIN - LX) : SIZE.XMIN;
  SIZE.YLOW = SIZE.IDB != 0 ? to_single(YMIN - LYQ) : SIZE.YMIN;
  SIZE.ZLOW = SIZE.IDC != 0 ? to_single(ZMIN - LZ) : SIZE.ZMIN;
  STATUS = 0;
}

void LOAD(const Text80& MAPNAME, float BMAP[], const std::int32_t& MXS, Text80& MESSAGE,
          std::int16_t& STATUS) {
  const int fd = open_map(trim_blanks(view(MAPNAME)));
  if (fd < 0) return fail(MESSAGE, STATUS, 1, kCannotOpen);
  FileSource source(fd);
  load_from_source(source, BMAP, MXS, MESSAGE, STATUS);
  ::close(fd);  // read-only: nothing to lose, so a failed close changes nothing
}

}  // namespace fieldscan
