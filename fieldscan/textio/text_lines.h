// Where the text of a table or a field file comes from, line-by-line reading
// of it, and the blank-separated fields of a line.
//
// Every text input of fieldmap (tables in every format, points files) is
// read through LineReader, so that all of them follow one rule: a line ends
// with LF, CR LF or a CR alone; a UTF-8 byte-order mark at the start is
// skipped; a file in UTF-16 (a byte-order mark FF FE or FE FF, or every
// other byte zero) is refused with a message that says so.  Memory stays
// bounded by the longest line allowed, whatever the length of the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fieldscan::fieldmap {

inline constexpr std::size_t kMaxFormatLineBytes = std::size_t{1} << 20;

// Why a UTF-16 text is refused.
inline constexpr std::string_view kUtf16Message = "the file is UTF-16; save it as UTF-8";

// True when the first bytes of a text `head` are those of UTF-16: a
// byte-order mark, or a run of characters each with one zero byte, always
// the same one of the two.
bool looks_like_utf16(std::string_view head);

// Where the text comes from.
class TextSource {
 public:
  virtual ~TextSource() = default;
  // Copies up to `n` next bytes to `dst`: how many (0 at the end), or -1
  // with the reason in `why` when reading fails.
  virtual std::ptrdiff_t read(char* dst, std::size_t n, std::string& why) = 0;
  // The length of the whole text when known in advance, otherwise 0.
  virtual std::uint64_t size() const { return 0; }
};

// The text held in memory (which must outlive the source).
class StringSource final : public TextSource {
 public:
  explicit StringSource(std::string_view text) : text_(text) {}
  std::ptrdiff_t read(char* dst, std::size_t n, std::string& why) override;
  std::uint64_t size() const override { return text_.size(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// The text read from an open file descriptor (not owned); `size` as for
// TextSource::size.
class FdSource final : public TextSource {
 public:
  FdSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  std::ptrdiff_t read(char* dst, std::size_t n, std::string& why) override;
  std::uint64_t size() const override { return size_; }

 private:
  int fd_;
  std::uint64_t size_;
};

// The text of a C stream or of a C++ stream (neither owned).
class StdioSource final : public TextSource {
 public:
  explicit StdioSource(std::FILE* file) : file_(file) {}
  std::ptrdiff_t read(char* dst, std::size_t n, std::string& why) override;

 private:
  std::FILE* file_;
};

class StreamSource final : public TextSource {
 public:
  explicit StreamSource(std::istream& in) : in_(in) {}
  std::ptrdiff_t read(char* dst, std::size_t n, std::string& why) override;

 private:
  std::istream& in_;
};

class LineReader {
 public:
  enum class Stop { none, end, too_long, read_error, utf16 };

  // Lines of at most `max_line` bytes (without their end) from `source`.
  explicit LineReader(TextSource& source, std::size_t max_line = kMaxFormatLineBytes);
  explicit LineReader(std::istream& in, std::size_t max_line = kMaxFormatLineBytes);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // A line longer than the limit that has a "#" within it is not refused:
  // it is given up to the "#", and the rest of it is skipped unread.
  void cut_long_comments() { cut_comments_ = true; }

  // The next line without its end, valid until the following call.  False
  // at the end of the input or on a problem (stop() then tells which).
  bool next(std::string_view& line);

  // 1-based number of the line last returned.
  std::uint64_t line_number() const { return line_; }
  // Bytes of the text consumed so far.
  std::uint64_t consumed() const { return consumed_; }
  std::size_t max_line() const { return max_line_; }

  Stop stop() const { return stop_; }
  // Empty, or why reading stopped early: "line N is longer than 1 MiB", the
  // source's reason for a read error, or kUtf16Message.
  const std::string& failure() const { return failure_; }

 private:
  bool fill();
  bool take(std::string_view& line, std::size_t length, std::size_t after);
  bool too_long(std::string_view& line);
  bool skip_rest();
  bool halt(Stop stop, std::string why);

  std::unique_ptr<TextSource> owned_;
  TextSource& source_;
  std::size_t max_line_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;    // start of the current line in buffer_
  std::size_t end_ = 0;      // end of the bytes read
  std::size_t scanned_ = 0;  // bytes after begin_ known to hold no line end
  bool eof_ = false;
  bool started_ = false;  // the first bytes have been checked
  bool cut_comments_ = false;
  bool skipping_ = false;  // the tail of a cut line is still to be skipped
  std::uint64_t consumed_ = 0;
  std::uint64_t line_ = 0;
  Stop stop_ = Stop::none;
  std::string failure_;
};

struct TextField {
  std::string_view text;
  std::uint64_t column;  // 1-based byte column in its line
};

// Splits `line` at blanks and tabs, and also at commas when `commas` is set.
void split_line(std::string_view line, std::vector<TextField>& fields, bool commas = false);

}  // namespace fieldscan::fieldmap
