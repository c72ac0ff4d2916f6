// Reading answer lines and cutting fields from them.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "textio/input.h"

namespace fieldscan {
namespace {

// Bytes asked of the operating system per read.  A terminal hands over one
// line per read anyway; a pipe or file fills the chunk.
constexpr std::size_t kChunk = 64 * 1024;

// After a very long line the buffer's storage is given back once the bytes
// still waiting fit into one chunk, so memory follows the current line.
constexpr std::size_t kKeepCapacity = 4 * kChunk;

// The cursor after `columns` more columns; it may pass the record's end,
// where every column is a blank, but never wraps around.
std::size_t advance(std::size_t cursor, std::size_t columns) {
  const std::size_t most = static_cast<std::size_t>(-1);
  return columns > most - cursor ? most : cursor + columns;
}

}  // namespace

InputStream::InputStream(int fd, StreamId id) : fd_(fd), id_(std::move(id)) {}

InputStream::Result InputStream::read_record(InputRecord& record) {
  std::size_t scan = pos_;  // bytes before `scan` hold no line feed
  for (;;) {
    const char* base = buffer_.data();
    const void* lf = std::memchr(base + scan, '\n', buffer_.size() - scan);
    if (lf != nullptr) {
      const std::size_t end = static_cast<const char*>(lf) - base;
      std::size_t length = end - pos_;
      if (length > 0 && buffer_[end - 1] == '\r') --length;
      record.text.assign(buffer_, pos_, length);
      record.cursor = 0;
      pos_ = end + 1;
      return Result::kRecord;
    }
    if (eof_) {
      if (pos_ == buffer_.size()) return Result::kEndOfInput;
      // A last line without a line feed: the line end was lost, so a
      // carriage return at its end is taken as the first half of one, as in
      // a file with carriage-return line-feed line ends cut short.
      std::size_t length = buffer_.size() - pos_;
      if (buffer_.back() == '\r') --length;
      record.text.assign(buffer_, pos_, length);
      record.cursor = 0;
      pos_ = buffer_.size();
      return Result::kRecord;
    }

    // No complete line is buffered: drop the lines already handed out
    // (only the start of the current line moves) and read more.
    if (buffer_.capacity() > kKeepCapacity && buffer_.size() - pos_ <= kChunk) {
      std::string(buffer_, pos_).swap(buffer_);
    } else {
      buffer_.erase(0, pos_);
    }
    pos_ = 0;
    scan = buffer_.size();

    const std::size_t old_size = buffer_.size();
    buffer_.resize(old_size + kChunk);
    ssize_t n;
    do {
      n = ::read(fd_, buffer_.data() + old_size, kChunk);
    } while (n < 0 && errno == EINTR);
    // A stream that is not open at all (standard input closed by the
    // caller) can deliver no further line: that is the end of input, not a
    // failure of the operating system to read it.
    if (n < 0 && errno == EBADF) n = 0;
    buffer_.resize(old_size + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n < 0) return Result::kError;
    if (n == 0) eof_ = true;
  }
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
