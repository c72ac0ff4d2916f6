#include "mapfile/map_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

#include "mapfile/byte_source.h"
#include "mapfile/map_format.h"
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

// Wide enough for 3 * NX * NY * NZ of any three 32-bit counts.
__extension__ typedef __int128 Wide;

std::int16_t fail(Text80& message, std::int16_t status, std::string_view text) {
  message = make_text<80>(text);
  return status;
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
  void text(std::size_t offset, std::size_t n, std::string& dst) const {
    if (offset + n <= got_) dst.assign(reinterpret_cast<const char*>(data_) + offset, n);
  }

 private:
  const unsigned char* data_;
  std::size_t got_;
};

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

float degrees_to_radians(float degrees) {
  // pi rounded to single precision, as the map's own arithmetic has it.
  const float pi = std::atan2(0.0f, -1.0f);
  return to_single(static_cast<double>(degrees) / 180.0 * static_cast<double>(pi));
}

void derive_limits(GridSize& grid) {
  // A quadrant map (90 degrees) covers its own y extent; any other map
  // takes the x extent for y as well, since its sectors sweep y up to the
  // radius of the x extent.
  const float pi = std::atan2(0.0f, -1.0f);
  const double x_extent = (static_cast<double>(grid.NX) - 1.0) * static_cast<double>(grid.DX);
  const double y_extent = (static_cast<double>(grid.NY) - 1.0) * static_cast<double>(grid.DY);
  const double z_extent = (static_cast<double>(grid.NZ) - 1.0) * static_cast<double>(grid.DZ);
  const bool quadrant = std::fabs(static_cast<double>(grid.ANGLE) - static_cast<double>(pi) * 0.5) <
                        static_cast<double>(1.0E-5f);
  const double y_reach = quadrant ? y_extent : x_extent;
  const double xmin = grid.XMIN, ymin = grid.YMIN, zmin = grid.ZMIN;

  grid.XHIGH = to_single(xmin + x_extent);
  grid.YHIGH = to_single(ymin + y_reach);
  grid.ZHIGH = to_single(zmin + z_extent);
  grid.XLOW = grid.IDA != 0 ? to_single(xmin - x_extent) : grid.XMIN;
  grid.YLOW = grid.IDB != 0 ? to_single(ymin - y_reach) : grid.YMIN;
  grid.ZLOW = grid.IDC != 0 ? to_single(zmin - z_extent) : grid.ZMIN;
}

std::int16_t read_map(ByteSource& source, GridSize& grid, MapContents& items,
                      std::int64_t capacity, const std::function<float*(std::size_t)>& storage,
                      Text80& message) {
  // Header records go through `data` and only complete items leave it, so
  // every item read completely keeps its value after a later failure.
  unsigned char data[kTitleBytes];  // the largest header record
  std::size_t got;
  RecordReader records(source);

  // Record 1: title.
  bool ok = records.read(data, kTitleBytes, got, true);
  Items(data, got).text(0, kTitleBytes, items.title);
  if (!ok) return fail(message, 2, kTitleError);

  // Record 2: date.
  ok = records.read(data, kDateBytes, got, true);
  Items(data, got).text(0, kDateBytes, items.date);
  if (!ok) return fail(message, 3, kDateError);

  // Record 3: axis texts and the symmetry angle in degrees.
  ok = records.read(data, kAxesBytes, got, true);
  {
    const Items record(data, got);
    record.text(0, kAxisTextBytes, items.axa);
    record.text(8, kAxisTextBytes, items.axb);
    record.text(16, kAxisTextBytes, items.axc);
    record.real(24, grid.ANGLE);
    record.real(24, items.angle);
  }
  if (!ok) return fail(message, 4, kAxesError);
  grid.ANGLE = degrees_to_radians(grid.ANGLE);

  // Record 4: grid origin and the three index triples.
  ok = records.read(data, kOriginBytes, got, true);
  {
    const Items record(data, got);
    record.real(0, grid.XMIN);
    record.real(4, grid.YMIN);
    record.real(8, grid.ZMIN);
    record.integer(12, items.isa);
    record.integer(16, items.isb);
    record.integer(20, items.isc);
    record.integer(24, grid.IMA);
    record.integer(28, grid.IMB);
    record.integer(32, grid.IMC);
    record.integer(36, grid.IDA);
    record.integer(40, grid.IDB);
    record.integer(44, grid.IDC);
  }
  items.xmin = grid.XMIN, items.ymin = grid.YMIN, items.zmin = grid.ZMIN;
  items.ima = grid.IMA, items.imb = grid.IMB, items.imc = grid.IMC;
  items.ida = grid.IDA, items.idb = grid.IDB, items.idc = grid.IDC;
  if (!ok) return fail(message, 5, kOriginError);

  // Record 5: grid steps and counts.  Nothing of the planes is read before
  // the capacity check.
  ok = records.read(data, kStepsBytes, got, false);
  {
    const Items record(data, got);
    record.real(0, grid.DX);
    record.real(4, grid.DY);
    record.real(8, grid.DZ);
    record.integer(12, grid.NX);
    record.integer(16, grid.NY);
    record.integer(20, grid.NZ);
  }
  items.dx = grid.DX, items.dy = grid.DY, items.dz = grid.DZ;
  items.nx = grid.NX, items.ny = grid.NY, items.nz = grid.NZ;
  if (!ok) return fail(message, 6, kStepsError);

  const std::int32_t nx = grid.NX, ny = grid.NY, nz = grid.NZ;

  // Capacity, on the exact product: negative or zero counts pass.
  const Wide n = Wide{3} * nx * ny * nz;
  if (n > capacity) {
    capacity_message(message, n);
    return 7;
  }

  // Plane records, each read in one piece straight to its place.  A plane
  // of an empty grid (NX or NY not positive) holds no values, but its record
  // must still be there.  With NZ >= 1 and positive NX and NY, the check
  // above keeps NZ planes of 3 * NX * NY values within the capacity.
  const std::size_t plane_values =
      nx > 0 && ny > 0
          ? std::size_t{3} * static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny)
          : 0;
  float* values = storage(n > 0 ? static_cast<std::size_t>(n) : 0);
  for (std::int64_t k = 1; k <= nz; ++k) {
    float* plane = values + static_cast<std::size_t>(k - 1) * plane_values;
    ok = records.read(plane, plane_values * 4, got, k < nz);
    plane_to_host_order(plane, got / 4);
    if (!ok) return fail(message, 8, kFieldsError);
  }

  derive_limits(grid);
  return 0;
}

std::int16_t read_map_file(std::string_view name, GridSize& grid, MapContents& items,
                           std::int64_t capacity,
                           const std::function<float*(std::size_t)>& storage, Text80& message) {
  const int fd = open_map(name);
  if (fd < 0) return fail(message, 1, kCannotOpen);
  FileSource source(fd);
  const std::int16_t status = read_map(source, grid, items, capacity, storage, message);
  ::close(fd);  // read-only: nothing to lose, so a failed close changes nothing
  return status;
}

}  // namespace fieldscan
