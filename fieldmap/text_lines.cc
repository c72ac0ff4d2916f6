#include "fieldmap/text_lines.h"

#include <cstring>

namespace fieldscan::fieldmap {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 16;

}  // namespace

bool LineReader::fill() {
  if (at_end_) return false;
  if (pos_ > 0) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  const std::size_t old = buffer_.size();
  buffer_.resize(old + kChunk);
  in_.read(buffer_.data() + old, static_cast<std::streamsize>(kChunk));
  const auto got = static_cast<std::size_t>(in_.gcount());
  buffer_.resize(old + got);
  if (got < kChunk) {
    at_end_ = true;
    if (in_.bad()) failure_ = "read error";
  }
  return got > 0;
}

bool LineReader::next(std::string_view& line) {
  if (!failure_.empty()) return false;
  std::size_t searched = pos_;
  for (;;) {
    const void* nl = std::memchr(buffer_.data() + searched, '\n', buffer_.size() - searched);
    if (nl != nullptr) {
      const auto end = static_cast<std::size_t>(static_cast<const char*>(nl) - buffer_.data());
      line = std::string_view(buffer_).substr(pos_, end - pos_);
      pos_ = end + 1;
      break;
    }
    if (buffer_.size() - pos_ > kMaxFormatLineBytes) {
      failure_ = "line " + std::to_string(line_ + 1) + " is longer than 1 MiB";
      return false;
    }
    searched = buffer_.size() - pos_;
    if (!fill()) {
      if (!failure_.empty() || pos_ == buffer_.size()) return false;
      line = std::string_view(buffer_).substr(pos_);
      pos_ = buffer_.size();
      break;
    }
  }
  if (line.size() > kMaxFormatLineBytes) {
    failure_ = "line " + std::to_string(line_ + 1) + " is longer than 1 MiB";
    return false;
  }
  if (line_ == 0 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  ++line_;
  return true;
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
