// Reading answer lines and cutting fields from them.
#include "fieldscan/textio/input.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "fieldscan/textio/convert.h"

namespace fieldscan {
namespace {

// Bytes asked of the operating system per read.  A terminal hands over one
// line per read anyway; a pipe or file fills the chunk.
constexpr std::size_t kChunk = 64 * 1024;

// The cursor after `columns` more columns; it may pass the record's end,
// where every column is a blank, but never wraps around.
std::size_t advance(std::size_t cursor, std::size_t columns) {
  const std::size_t most = static_cast<std::size_t>(-1);
  return columns > most - cursor ? most : cursor + columns;
}

}  // namespace

InputStream::InputStream(int fd, StreamId id)
    : fd_(fd), id_(std::move(id)), buffer_(new char[kChunk]) {
  line_.reserve(kRecordColumns);
}

bool InputStream::fill() {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.get(), kChunk);
    if (n > 0) {
      pos_ = 0;
      end_ = static_cast<std::size_t>(n);
      return true;
    }
    // A stream that is not open at all (standard input closed by the
    // caller) can deliver no further line: that is the end of input, not a
    // failure of the operating system to read it.
    if (n == 0 || errno == EBADF) {
      eof_ = true;
      return true;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A non-blocking console with nothing typed yet: wait for input.
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return false;
  }
}

InputStream::Result InputStream::read_record(InputRecord& record) {
  for (;;) {
    if (pos_ == end_) {
      if (eof_) {
        if (!in_line_) return Result::kEndOfInput;
        // A last line without a line feed: the line end was lost, so a
        // carriage return at its end is taken as the first half of one, as
        // in a file with carriage-return line-feed line ends cut short.
        return hand_out(record);
      }
      if (!fill()) return Result::kError;
      continue;
    }
    const char* start = buffer_.get() + pos_;
    const std::size_t available = end_ - pos_;
    const void* lf = std::memchr(start, '\n', available);
    const std::size_t length =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) : available;
    // Keep the first columns of the line; the rest goes as it is read.
    const std::size_t keep = std::min(length, kRecordColumns - line_.size());
    line_.append(start, keep);
    if (keep < length) too_long_ = true;
    in_line_ = true;
    pos_ += length;
    if (lf != nullptr) {
      ++pos_;
      return hand_out(record);
    }
  }
}

InputStream::Result InputStream::hand_out(InputRecord& record) {
  // A carriage return that ends the line is part of the line end.  In a
  // line longer than the record it lies beyond the kept columns.
  if (!too_long_ && !line_.empty() && line_.back() == '\r') line_.pop_back();
  record.text.assign(line_);
  record.cursor = 0;
  line_.clear();
  too_long_ = false;
  in_line_ = false;
  return Result::kRecord;
}

void InputStream::read_record_or_fail(InputRecord& record) {
  switch (read_record(record)) {
    case Result::kRecord:
      return;
    case Result::kEndOfInput:
      report_severe(kEndOfFileDuringRead, id_);
    case Result::kError:
      report_severe(kErrorDuringRead, id_);
  }
}

std::string read_text_field(InputRecord& record, std::size_t target_length, std::size_t width) {
  const std::string& text = record.text;
  const std::size_t start = std::min(record.cursor, text.size());
  std::string field(text, start, std::min(width, text.size() - start));
  field.resize(width, ' ');
  record.cursor = advance(record.cursor, width);
  if (width < target_length) {
    field.resize(target_length, ' ');
  } else if (width > target_length) {
    field.erase(0, width - target_length);
  }
  return field;
}

bool read_fixed_field(InputRecord& record, int width, int decimals, float& value) {
  const std::string& text = record.text;
  const std::size_t start = std::min(record.cursor, text.size());
  const std::size_t columns = width > 0 ? static_cast<std::size_t>(width) : 0;
  std::string_view field(text.data() + start, std::min(columns, text.size() - start));
  const std::size_t comma = field.find(',');
  if (comma != std::string_view::npos) {
    field = field.substr(0, comma);
    record.cursor = start + comma + 1;
  } else {
    // Columns past the end of the record are blanks, taken all the same.
    record.cursor = advance(record.cursor, columns);
  }
  return convert_fixed(field, decimals, value);
}

}  // namespace fieldscan
