#include "fieldscan/mapfile/map_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

#include "fieldscan/mapfile/byte_source.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/textio/output.h"

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

// Reads records one after the other through a buffer.  Short records (the
// header, and the planes of a small or empty grid) are taken from the
// buffer, many of them per request to the source, and a run of records of
// the same length found there is handed out with next to no work per
// record (a map may have a hundred million empty planes); the data of a long
// record goes straight to its destination, with its trailing length word
// and the next record's leading one in the same request.  The source is
// read no further than the record being read unless the caller says that
// another follows, and bytes read ahead but never used are handed back to
// the source at the end.
class RecordReader {
 public:
  explicit RecordReader(ByteSource& source) : source_(source) {}
  ~RecordReader() {
    leave_run();
    source_.unread(end_ - pos_);
  }
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // Reads the next record and hands the first `want` bytes of its data to
  // `dst`; `got` tells how many arrived.  True when the record is complete:
  // its length word is valid and at least `want`, those bytes arrived, and
  // so did the rest of the data and the trailing length word (which is not
  // compared with the leading one).  On a failure the items that arrived
  // before it are in dst[0 .. got).  `more`: another record will be read.
  bool read(void* dst, std::size_t want, std::size_t& got, bool more) {
    // The common case of a map of many short planes: the record is one of
    // a run, found in the buffer, of records exactly as long as their items.
    if (run_ > 0 && want == run_want_) {
      if (want > 0) std::memcpy(dst, buffer_ + run_end_ - run_ * (want + 8) + 4, want);
      --run_;
      got = want;
      return true;
    }
    return read_and_find_run(dst, want, got, more);
  }

  // Takes up to `most` empty records (no data bytes) of the run found in the
  // buffer at once and returns how many; 0 when the next record is not one.
  // Each counts as read with read(dst, 0, got, more) and found complete.
  std::uint64_t take_empty_records(std::uint64_t most) {
    if (run_ == 0 || run_want_ != 0) return 0;
    const std::uint64_t taken = std::min<std::uint64_t>(run_, most);
    run_ -= static_cast<std::size_t>(taken);
    return taken;
  }

 private:
  // The buffer lives on the stack with the reader, for one load only.
  static constexpr std::size_t kBufferBytes = 128 * 1024;
  // Data at least this long bypass the buffer.
  static constexpr std::size_t kDirectBytes = kBufferBytes / 4;
  static constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();

  // Finds the run of records, from the next one on, that are wholly in the
  // buffer and exactly `want` bytes long.
  void find_run(std::size_t want) {
    std::size_t at = pos_, count = 0;
    if (want == 0) {
      // Empty records (two zero length words each), eight at a time.
      for (; end_ - at >= 64; at += 64, count += 8) {
        std::uint64_t words[8];
        std::memcpy(words, buffer_ + at, sizeof words);
        if ((words[0] | words[1] | words[2] | words[3] | words[4] | words[5] | words[6] |
             words[7]) != 0)
          break;
      }
    }
    for (; end_ - at >= want + 8 && le32(buffer_ + at) == want; at += want + 8) ++count;
    if (count == 0) return;
    run_ = count;
    run_want_ = want;
    run_end_ = at;
  }

  // Moves pos_ to the first record of the run not yet taken, and ends the
  // run.  (Within a run only the count of records left moves.)
  void leave_run() {
    if (run_end_ == 0) return;
    pos_ = run_end_ - run_ * (run_want_ + 8);
    run_ = run_end_ = 0;
  }

  // read() for a record outside a run; then looks for the next run.  Kept
  // out of line, so that the loop over many short records stays small.
  [[gnu::noinline]] bool read_and_find_run(void* dst, std::size_t want, std::size_t& got,
                                           bool more) {
    leave_run();
    const bool ok = read_record(dst, want, got, more);
    if (ok) find_run(want);
    return ok;
  }

  bool read_record(void* dst, std::size_t want, std::size_t& got, bool more) {
    got = 0;
    if (end_ - pos_ >= 8) {  // the record may be all in the buffer
      const std::uint32_t length = le32(buffer_ + pos_);
      if (length >= want && length <= end_ - pos_ - 8) {
        if (want > 0) std::memcpy(dst, buffer_ + pos_ + 4, want);
        got = want;
        pos_ += 8 + std::size_t{length};
        return true;
      }
    }
    unsigned char word[4];
    if (take(word, 4, 0, more ? kUnbounded : 4) < 4) return false;
    const std::uint32_t length = le32(word);
    if (length >= kLengthLimit) return false;
    // The rest of the record: its data and the trailing length word.
    const std::uint64_t bound = more ? kUnbounded : std::uint64_t{length} + 4;
    if (length < want) {
      got = static_cast<std::size_t>(take(dst, length, 0, bound));
      return false;
    }
    // A record exactly as long as its items is followed at once by its
    // trailing length word, and by the next record's leading one.
    const std::size_t after = length == want ? (more ? 8 : 4) : 0;
    got = static_cast<std::size_t>(take(dst, want, after, bound));
    if (got < want) return false;
    const std::uint64_t extra = length - want;
    if (take(nullptr, extra, 4, bound - want) < extra) return false;
    return take(word, 4, more ? 4 : 0, more ? kUnbounded : 4) == 4;
  }

  // Copies the next `n` bytes to `dst` (passes over them when `dst` is
  // null) and returns how many there were.  `then`: bytes wanted right
  // after them, asked for in the same request when the source is read
  // directly.  `bound` (at least `n`): the source is read no further than
  // this many bytes from here.
  std::uint64_t take(void* dst, std::uint64_t n, std::size_t then, std::uint64_t bound) {
    auto* out = static_cast<unsigned char*>(dst);
    const std::size_t buffered = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - pos_));
    if (out != nullptr && buffered > 0) std::memcpy(out, buffer_ + pos_, buffered);
    pos_ += buffered;
    if (buffered == n) return n;

    // The buffer is used up.
    pos_ = end_ = 0;
    const std::uint64_t left = n - buffered;
    if (out != nullptr) out += buffered;
    if (left >= kDirectBytes) {
      if (out == nullptr) return source_.skip(left) ? n : buffered;
      const auto also = static_cast<std::size_t>(std::min<std::uint64_t>(then, bound - n));
      const std::size_t arrived = source_.read2(out, static_cast<std::size_t>(left), buffer_, also);
      if (arrived <= left) return buffered + arrived;
      end_ = arrived - static_cast<std::size_t>(left);
      return n;
    }
    const auto room =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBufferBytes, bound - buffered));
    end_ = source_.read_some(buffer_, static_cast<std::size_t>(left), room);
    const std::size_t k = std::min(static_cast<std::size_t>(left), end_);
    if (out != nullptr && k > 0) std::memcpy(out, buffer_, k);
    pos_ = k;
    return buffered + k;
  }

  ByteSource& source_;
  unsigned char buffer_[kBufferBytes];
  std::size_t pos_ = 0, end_ = 0;  // buffer_[pos_ .. end_) is not yet taken
  // A run of records that are in the buffer whole, each exactly as long as
  // its items: run_ of them, of run_want_ data bytes each, are left, and
  // the run ends at buffer_[run_end_].  run_end_ 0: no run.
  std::size_t run_ = 0;
  std::size_t run_want_ = 0;
  std::size_t run_end_ = 0;
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

// Header records go through `data` (as large as the largest header record)
// and only complete items leave it, so every item read completely keeps its
// value after a later failure.  Each function returns 0, or the status of
// the record that failed with its message set.
using HeaderBuffer = unsigned char[kTitleBytes];

// Records 1 to 3: the title, the date, the axis texts and the symmetry angle
// (in radians in `grid`, in degrees in `items`).
std::int16_t read_texts(RecordReader& records, HeaderBuffer& data, GridSize& grid,
                        MapContents& items, Text80& message) {
  std::size_t got;
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
  return 0;
}

std::int16_t read_origin(RecordReader& records, HeaderBuffer& data, GridSize& grid,
                         MapContents& items, Text80& message) {
  std::size_t got;
  // Record 4: grid origin and the three index triples.
  const bool ok = records.read(data, kOriginBytes, got, true);
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
  return 0;
}

std::int16_t read_steps(RecordReader& records, HeaderBuffer& data, GridSize& grid,
                        MapContents& items, Text80& message) {
  std::size_t got;
  // Record 5: grid steps and counts.  Nothing of the planes is read before
  // the capacity check.
  const bool ok = records.read(data, kStepsBytes, got, false);
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
  return 0;
}

// The capacity check and the plane records of the grid that record 5 gave.
std::int16_t read_planes(RecordReader& records, const GridSize& grid, std::int64_t capacity,
                         const std::function<float*(std::size_t)>& storage, Text80& message) {
  std::size_t got;
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
    if (plane_values == 0) {
      // The planes of an empty grid, as many at a time as the buffer holds.
      const auto taken = static_cast<std::int64_t>(
          records.take_empty_records(static_cast<std::uint64_t>(nz - k + 1)));
      if (taken > 0) {
        k += taken - 1;
        continue;
      }
    }
    float* plane = values + static_cast<std::size_t>(k - 1) * plane_values;
    const bool ok = records.read(plane, plane_values * 4, got, k < nz);
    plane_to_host_order(plane, got / 4);
    if (!ok) return fail(message, 8, kFieldsError);
  }
  return 0;
}

}  // namespace

float degrees_to_radians(float degrees) {
  // pi rounded to single precision, as the map's own arithmetic has it.
  const float pi = std::atan2(0.0f, -1.0f);
  return to_single(static_cast<double>(degrees) / 180.0 * static_cast<double>(pi));
}

bool is_quadrant(float angle) {
  const float pi = std::atan2(0.0f, -1.0f);
  return std::fabs(static_cast<double>(angle) - static_cast<double>(pi) * 0.5) <
         static_cast<double>(1.0E-5f);
}

void derive_limits(GridSize& grid) {
  // A quadrant map (90 degrees) covers its own y extent; any other map
  // takes the x extent for y as well, since its sectors sweep y up to the
  // radius of the x extent.
  const double x_extent = (static_cast<double>(grid.NX) - 1.0) * static_cast<double>(grid.DX);
  const double y_extent = (static_cast<double>(grid.NY) - 1.0) * static_cast<double>(grid.DY);
  const double z_extent = (static_cast<double>(grid.NZ) - 1.0) * static_cast<double>(grid.DZ);
  const double y_reach = is_quadrant(grid.ANGLE) ? y_extent : x_extent;
  const double xmin = grid.XMIN, ymin = grid.YMIN, zmin = grid.ZMIN;

  grid.XHIGH = to_single(xmin + x_extent);
  grid.YHIGH = to_single(ymin + y_reach);
  grid.ZHIGH = to_single(zmin + z_extent);
  grid.XLOW = grid.IDA != 0 ? to_single(xmin - x_extent) : grid.XMIN;
  grid.YLOW = grid.IDB != 0 ? to_single(ymin - y_reach) : grid.YMIN;
  grid.ZLOW = grid.IDC != 0 ? to_single(zmin - z_extent) : grid.ZMIN;
}

std::int16_t read_map(ByteSource& source, GridSize& grid, MapContents& items, std::int64_t capacity,
                      const std::function<float*(std::size_t)>& storage, Text80& message) {
  HeaderBuffer data;
  RecordReader records(source);
  std::int16_t status = read_texts(records, data, grid, items, message);
  if (status == 0) status = read_origin(records, data, grid, items, message);
  if (status == 0) status = read_steps(records, data, grid, items, message);
  if (status == 0) status = read_planes(records, grid, capacity, storage, message);
  if (status == 0) derive_limits(grid);
  return status;
}

std::int16_t read_map_file(std::string_view name, GridSize& grid, MapContents& items,
                           std::int64_t capacity, const std::function<float*(std::size_t)>& storage,
                           Text80& message) {
  const int fd = open_map(name);
  if (fd < 0) return fail(message, 1, kCannotOpen);
  FileSource source(fd);
  const std::int16_t status = read_map(source, grid, items, capacity, storage, message);
  ::close(fd);  // read-only: nothing to lose, so a failed close changes nothing
  return status;
}

}  // namespace fieldscan
