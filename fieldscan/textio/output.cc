#include "fieldscan/textio/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <variant>

#include "fieldscan/textio/fd_write.h"
#include "fieldscan/textio/format.h"

namespace fieldscan {
namespace {

constexpr std::size_t kFreeFormLength = 80;  // console records of free-form output
constexpr int kFreeFormIntegerWidth = 12;
constexpr std::string_view kLineEnd = "\r\n";

// Keeps a newly opened file off descriptors 0-2, so that it can never stand
// in for a closed standard stream.  Returns the descriptor to use.
int above_standard_streams(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

// Lays out free-form items into records of at most kFreeFormLength columns, each
// beginning with one blank, and hands every finished record to `emit`.
// `split_texts`: a text longer than the room left continues on the next
// record (console); otherwise everything goes into one record.
template <typename Emit>
void lay_out_free_form(std::initializer_list<OutputStream::Item> items, bool split_texts,
                       Emit emit) {
  std::string record = " ";
  for (const auto& item : items) {
    if (const auto* text = std::get_if<std::string_view>(&item)) {
      std::string_view rest = *text;
      while (!rest.empty()) {
        if (split_texts && record.size() == kFreeFormLength) {
          emit(record);
          record = " ";
        }
        const std::size_t room = split_texts ? kFreeFormLength - record.size() : rest.size();
        const std::size_t n = std::min(room, rest.size());
        record.append(rest.substr(0, n));
        rest.remove_prefix(n);
      }
    } else {
      const std::string field = format_integer(std::get<std::int32_t>(item), kFreeFormIntegerWidth);
      if (split_texts && record.size() + field.size() > kFreeFormLength) {
        emit(record);  // an integer field is never split
        record = " ";
      }
      record += field;
    }
  }
  emit(record);
}

// `line` cut or blank-filled to the length of `text`.
void fill_text(Text80& text, std::string_view line) {
  text.fill(' ');
  std::copy_n(line.begin(), std::min(line.size(), text.size()), text.begin());
}

}  // namespace

OutputStream::OutputStream(int fd, StreamId id) : fd_(fd), id_(std::move(id)) {}

OutputStream::~OutputStream() { close(); }

bool OutputStream::open_listing(const std::string& name) {
  int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  fd = above_standard_streams(fd);
  if (fd < 0) return false;
  close();
  fd_ = fd;
  owned_ = true;
  cut_pending_ = true;
  id_ = {kListingUnit, name};
  return true;
}

void OutputStream::close() {
  if (owned_) ::close(fd_);
  owned_ = false;
  cut_pending_ = false;
}

void OutputStream::write_record(const Record& record) {
  std::string bytes(record.line());
  if (!record.is_open_line()) bytes += kLineEnd;
  write_bytes(bytes);
  if (record.overflowed()) report_error(kOutputConversionError, id_);
}

void OutputStream::write_free_form(std::initializer_list<Item> items) {
  lay_out_free_form(items, /*split_texts=*/true, [this](const std::string& record) {
    write_bytes(record + std::string(kLineEnd));
  });
}

void OutputStream::write_bytes(std::string_view bytes) {
  if (cut_pending_) {
    // The former content of a listing file goes with the first record.  A
    // descriptor that cannot be cut and is no regular file (a device such as
    // /dev/full) is left to the write itself.
    cut_pending_ = false;
    struct stat st;
    if (::ftruncate(fd_, 0) != 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
      report_severe(kErrorDuringWrite, id_);
    }
  }
  if (!write_fully(fd_, bytes)) report_severe(kErrorDuringWrite, id_);
}

void write_record_to_text(Text80& text, const Record& record) {
  fill_text(text, record.line());
  if (record.overflowed()) report_error(kOutputConversionError, internal_write());
}

void write_free_form_to_text(Text80& text, std::initializer_list<OutputStream::Item> items) {
  lay_out_free_form(items, /*split_texts=*/false,
                    [&text](const std::string& record) { fill_text(text, record); });
}

}  // namespace fieldscan
