// Where the map loader takes its bytes from: an open file, or (in tests) a
// block of memory.  The loader reads through this interface only, so a map
// built in memory goes through exactly the code that reads a real file.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace fieldscan {

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Copies the next `n1` bytes into `first`, then the `n2` bytes after them
  // into `second`, and returns how many were copied in all.  Fewer than
  // n1 + n2 means the data ended (or could not be read further); the bytes
  // that did arrive are in place, `first` filled before `second`.
  virtual std::size_t read2(void* first, std::size_t n1, void* second, std::size_t n2) = 0;

  // The same for one destination.
  std::size_t read(void* dst, std::size_t n) { return read2(dst, n, nullptr, 0); }

  // Copies at least `least` and at most `most` of the next bytes into
  // `dst`, as many as are at hand once `least` have arrived, and returns
  // how many were copied: fewer than `least` only when the data ended.
  // A pipe is never waited on for more than `least` bytes.
  virtual std::size_t read_some(void* dst, std::size_t least, std::size_t most) = 0;

  // Takes back the last `n` bytes read (n no more than the last read
  // delivered), so that the position is as if they had not been read.
  // A source that cannot go back (a pipe) keeps its position.
  virtual void unread(std::size_t n) = 0;

  // Moves past the next `n` bytes without keeping them.  Returns false when
  // the data is known to end before them.  A seekable file cannot tell and
  // moves anyway; the next read then comes back short.
  virtual bool skip(std::uint64_t n) = 0;
};

// Bytes of a block of memory, which must outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}

  std::size_t read2(void* first, std::size_t n1, void* second, std::size_t n2) override {
    const std::size_t k1 = take(first, n1);
    return k1 < n1 ? k1 : k1 + take(second, n2);
  }

  std::size_t read_some(void* dst, std::size_t, std::size_t most) override {
    return take(dst, most);
  }

  void unread(std::size_t n) override { pos_ -= std::min(n, pos_); }

  bool skip(std::uint64_t n) override {
    const std::uint64_t left = bytes_.size() - pos_;
    if (n > left) {
      pos_ = bytes_.size();
      return false;
    }
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

  // Bytes consumed so far.
  std::size_t position() const { return pos_; }

 private:
  std::size_t take(void* dst, std::size_t n) {
    const std::size_t k = std::min(n, bytes_.size() - pos_);
    if (k > 0) std::memcpy(dst, bytes_.data() + pos_, k);
    pos_ += k;
    return k;
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
};

// Bytes of an open file descriptor (not owned), read from its current
// position.  A read into two places is one scatter read.  Regular files are
// skipped over by seeking; pipes and other sequential files by reading and
// discarding in bounded chunks.  Interrupted and partial system calls are
// resumed; a read error counts as the end of the data.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {}

  std::size_t read2(void* first, std::size_t n1, void* second, std::size_t n2) override;
  std::size_t read_some(void* dst, std::size_t least, std::size_t most) override;
  void unread(std::size_t n) override;
  bool skip(std::uint64_t n) override;

 private:
  int fd_;
  bool seekable_ = true;  // until a seek says otherwise
};

}  // namespace fieldscan
