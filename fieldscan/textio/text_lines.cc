#include "fieldscan/textio/text_lines.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace fieldscan::fieldmap {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 16;

// The first line end (CR or LF) among `n` bytes from `from`, or null.
const char* find_line_end(const char* from, std::size_t n) {
  const char* lf = static_cast<const char*>(std::memchr(from, '\n', n));
  const std::size_t upto = lf ? static_cast<std::size_t>(lf - from) : n;
  const char* cr = static_cast<const char*>(std::memchr(from, '\r', upto));
  return cr ? cr : lf;
}

}  // namespace

bool looks_like_utf16(std::string_view head) {
  if (head.substr(0, 2) == "\xFF\xFE" || head.substr(0, 2) == "\xFE\xFF") return true;
  const std::size_t pairs = std::min<std::size_t>(head.size() / 2, 32);
  if (pairs < 2) return false;
  std::size_t zero_first = 0;
  for (std::size_t p = 0; p < pairs; ++p) {
    const bool first = head[2 * p] == '\0', second = head[2 * p + 1] == '\0';
    if (first == second) return false;
    if (first) ++zero_first;
  }
  return zero_first == 0 || zero_first == pairs;
}

std::ptrdiff_t StringSource::read(char* dst, std::size_t n, std::string&) {
  const std::size_t k = std::min(n, text_.size() - pos_);
  if (k > 0) std::memcpy(dst, text_.data() + pos_, k);
  pos_ += k;
  return static_cast<std::ptrdiff_t>(k);
}

std::ptrdiff_t FdSource::read(char* dst, std::size_t n, std::string& why) {
  for (;;) {
    const ssize_t got = ::read(fd_, dst, n);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    why = std::strerror(errno);
    return -1;
  }
}

std::ptrdiff_t StdioSource::read(char* dst, std::size_t n, std::string& why) {
  const std::size_t got = std::fread(dst, 1, n, file_);
  if (got == 0 && std::ferror(file_)) {
    why = "read error";
    return -1;
  }
  return static_cast<std::ptrdiff_t>(got);
}

std::ptrdiff_t StreamSource::read(char* dst, std::size_t n, std::string& why) {
  in_.read(dst, static_cast<std::streamsize>(n));
  const auto got = static_cast<std::size_t>(in_.gcount());
  if (got == 0 && in_.bad()) {
    why = "read error";
    return -1;
  }
  return static_cast<std::ptrdiff_t>(got);
}

LineReader::LineReader(TextSource& source, std::size_t max_line)
    : source_(source), max_line_(max_line), buffer_(kChunk) {}

LineReader::LineReader(std::istream& in, std::size_t max_line)
    : owned_(std::make_unique<StreamSource>(in)),
      source_(*owned_),
      max_line_(max_line),
      buffer_(kChunk) {}

bool LineReader::halt(Stop stop, std::string why) {
  stop_ = stop;
  failure_ = std::move(why);
  return false;
}

// Reads more bytes after those of the current line.
bool LineReader::fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buffer_.size() - end_ < kChunk) {
    buffer_.resize(std::max(end_ + kChunk, std::min(2 * buffer_.size(), max_line_ + kChunk + 1)));
  }
  std::string why;
  const std::ptrdiff_t got = source_.read(buffer_.data() + end_, buffer_.size() - end_, why);
  if (got < 0) return halt(Stop::read_error, why);
  if (got == 0) eof_ = true;
  end_ += static_cast<std::size_t>(got);
  if (!started_ && (end_ > 0 || eof_)) {
    started_ = true;
    if (looks_like_utf16(std::string_view(buffer_.data(), end_))) {
      return halt(Stop::utf16, std::string(kUtf16Message));
    }
  }
  return true;
}

bool LineReader::take(std::string_view& line, std::size_t length, std::size_t after) {
  line = std::string_view(buffer_.data() + begin_, length);
  begin_ += after;
  consumed_ += after;
  scanned_ = 0;
  if (++line_ == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  return true;
}

bool LineReader::too_long(std::string_view& line) {
  const std::size_t held = std::min(end_ - begin_, max_line_ + 1);
  const void* hash = std::memchr(buffer_.data() + begin_, '#', held);
  if (!cut_comments_ || hash == nullptr) {
    return halt(Stop::too_long,
                "line " + std::to_string(line_ + 1) + " is longer than " +
                    (max_line_ == kMaxFormatLineBytes ? std::string("1 MiB")
                                                      : std::to_string(max_line_) + " bytes"));
  }
  const auto length =
      static_cast<std::size_t>(static_cast<const char*>(hash) - buffer_.data()) - begin_;
  line = std::string_view(buffer_.data() + begin_, length);
  consumed_ += length;
  begin_ += length;
  scanned_ = 0;
  skipping_ = true;
  if (++line_ == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  return true;
}

// Drops the rest of a cut line, up to and with its end.
bool LineReader::skip_rest() {
  for (;;) {
    const char* stop = find_line_end(buffer_.data() + begin_, end_ - begin_);
    if (stop != nullptr) {
      const auto at = static_cast<std::size_t>(stop - buffer_.data());
      if (*stop == '\r' && at + 1 == end_ && !eof_) {  // an LF may follow
        consumed_ += at - begin_;
        begin_ = at;
        if (!fill()) return false;
        continue;
      }
      const std::size_t after = at + 1 + (*stop == '\r' && at + 1 < end_ && stop[1] == '\n');
      consumed_ += after - begin_;
      begin_ = after;
      skipping_ = false;
      return true;
    }
    consumed_ += end_ - begin_;
    begin_ = end_;
    if (eof_) {
      skipping_ = false;
      return true;
    }
    if (!fill()) return false;
  }
}

bool LineReader::next(std::string_view& line) {
  if (stop_ != Stop::none) return false;
  if (skipping_ && !skip_rest()) return false;
  for (;;) {
    const char* const base = buffer_.data();
    const char* stop = find_line_end(base + begin_ + scanned_, end_ - begin_ - scanned_);
    if (stop != nullptr) {
      const auto length = static_cast<std::size_t>(stop - (base + begin_));
      if (length > max_line_) return too_long(line);
      std::size_t after = length + 1;
      if (*stop == '\r') {
        if (stop + 1 == base + end_ && !eof_) {  // an LF may follow
          scanned_ = length;
          if (!fill()) return false;
          continue;
        }
        if (stop + 1 < base + end_ && stop[1] == '\n') ++after;
      }
      return take(line, length, after);
    }
    scanned_ = end_ - begin_;
    if (scanned_ > max_line_) return too_long(line);
    if (eof_) {
      if (begin_ == end_) return halt(Stop::end, "");
      return take(line, end_ - begin_, end_ - begin_);
    }
    if (!fill()) return false;
  }
}

void split_line(std::string_view line, std::vector<TextField>& fields, bool commas) {
  fields.clear();
  std::size_t p = 0;
  const std::size_t n = line.size();
  auto separator = [&](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || (commas && c == ',');
  };
  while (p < n) {
    while (p < n && separator(line[p])) ++p;
    if (p == n) break;
    const std::size_t start = p;
    while (p < n && !separator(line[p])) ++p;
    fields.push_back({line.substr(start, p - start), start + 1});
  }
}

}  // namespace fieldscan::fieldmap
