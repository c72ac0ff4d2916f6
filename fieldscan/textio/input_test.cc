#include "fieldscan/textio/input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/child.h"

namespace fieldscan {
namespace {

using Result = InputStream::Result;

// ---------------------------------------------------------------- fields

struct TextFieldRow {
  std::string line;
  std::size_t target_length;
  std::size_t width;
  std::string expected;
};

TEST(ReadTextField, WidthAgainstTargetLength) {
  const std::string long_line = std::string(80, 'a') + "bcd";
  const TextFieldRow rows[] = {
      {"", 80, 80, std::string(80, ' ')},
      {"x000.map", 80, 80, "x000.map" + std::string(72, ' ')},
      {long_line, 80, 80, std::string(80, 'a')},
      {"", 1, 1, " "},
      {"zebra", 1, 1, "z"},
      {" z", 1, 1, " "},
      {"abcdef", 5, 3, "abc  "},
      {"ab", 5, 3, "ab   "},
      {"abcdef", 3, 5, "cde"},
      {"ab", 3, 5, "   "},
      {"a,b,\tc", 8, 8, "a,b,\tc  "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("line \"" + row.line + "\" n=" + std::to_string(row.target_length) +
                 " w=" + std::to_string(row.width));
    InputRecord record{row.line, 0};
    EXPECT_EQ(read_text_field(record, row.target_length, row.width), row.expected);
    EXPECT_EQ(record.cursor, row.width);
  }
}

TEST(ReadTextField, ContinuesAtTheCursor) {
  InputRecord record{"abcdef", 0};
  EXPECT_EQ(read_text_field(record, 4, 4), "abcd");
  EXPECT_EQ(read_text_field(record, 4, 4), "ef  ");
  EXPECT_EQ(read_text_field(record, 2, 2), "  ");
}

struct FieldsRow {
  std::string line;
  std::vector<float> values;         // one per field of width 6, 1 decimal
  std::vector<std::size_t> cursors;  // cursor after each field
};

TEST(ReadFixedField, ThreeFieldsByColumnsAndCommas) {
  const FieldsRow rows[] = {
      {"", {0.0f, 0.0f, 0.0f}, {6, 12, 18}},
      {"-100.  100.   10.", {-100.0f, 100.0f, 10.0f}, {6, 12, 18}},
      {"-100  100   10", {-10.0f, 10.0f, 1.0f}, {6, 12, 18}},
      {"10.,20.,5.", {10.0f, 20.0f, 5.0f}, {4, 8, 14}},
      {"1,2,3", {0.1f, 0.2f, 0.3f}, {2, 4, 10}},
      {"12.5", {12.5f, 0.0f, 0.0f}, {6, 12, 18}},
      {"-100 100 10", {-100.1f, 1.0f, 0.0f}, {6, 12, 18}},
      {"0.,20.,2.", {0.0f, 20.0f, 2.0f}, {3, 7, 13}},
      {"0,10,1", {0.0f, 1.0f, 0.1f}, {2, 5, 11}},
      {"5.", {5.0f, 0.0f, 0.0f}, {6, 12, 18}},
      // A comma just after a full field ends the next field at once.
      {"123456,7", {12345.6f, 0.0f, 0.7f}, {6, 7, 13}},
      {",,", {0.0f, 0.0f, 0.0f}, {1, 2, 8}},
      {"\t12", {1.2f, 0.0f, 0.0f}, {6, 12, 18}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("line \"" + row.line + "\"");
    InputRecord record{row.line, 0};
    for (std::size_t f = 0; f < row.values.size(); ++f) {
      SCOPED_TRACE("field " + std::to_string(f + 1));
      float value = -1.0f;
      ASSERT_TRUE(read_fixed_field(record, 6, 1, value));
      EXPECT_EQ(value, row.values[f]);
      EXPECT_EQ(record.cursor, row.cursors[f]);
    }
  }
}

// The height is read from the text of its answer: one field of width 6 with
// one implied decimal at the start of the 80-character answer.
TEST(ReadFixedField, HeightAnswers) {
  struct Row {
    std::string answer;
    bool ok;
    float expected;
  };
  const Row rows[] = {
      {"12", true, 1.2f},
      {"12.", true, 12.0f},
      {"12.75", true, 12.75f},
      {"1234567", true, 12345.6f},
      {"1234567.", true, 12345.6f},
      {"-3.5", true, -3.5f},
      {"+5", true, 0.5f},
      {"1.5+2", true, 150.0f},
      {"1E3", true, 100.0f},
      {"0", true, 0.0f},
      {"\t12", true, 1.2f},
      {"12,9", true, 1.2f},
      {"1.2.3", false, 0},
      {"abc", false, 0},
      {"12\t", false, 0},
      {"12345E", false, 0},
      {"NaN", false, 0},
      {"Inf", false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("answer \"" + row.answer + "\"");
    InputRecord line{row.answer, 0};
    InputRecord text{read_text_field(line, 80, 80), 0};
    float value = -1.0f;
    ASSERT_EQ(read_fixed_field(text, 6, 1, value), row.ok);
    EXPECT_EQ(value, row.ok ? row.expected : -1.0f);
  }
}

// ---------------------------------------------------------------- records

// Feeds `chunks` into a pipe from another thread, one write each, and
// reads records until the stream reports something else.
struct Fed {
  std::vector<std::string> lines;
  Result end;
};

Fed feed(const std::vector<std::string>& chunks) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::thread writer([&chunks, fd = fds[1]] {
    for (const auto& chunk : chunks) {
      std::size_t done = 0;
      while (done < chunk.size()) {
        const ssize_t n = write(fd, chunk.data() + done, chunk.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
    }
    close(fd);
  });
  InputStream stream(fds[0], console_input());
  Fed fed;
  InputRecord record;
  while ((fed.end = stream.read_record(record)) == Result::kRecord) {
    EXPECT_EQ(record.cursor, 0u);
    fed.lines.push_back(record.text);
    record.cursor = 5;
  }
  // End of input stays end of input, and the record is left alone.
  record.text = "kept";
  EXPECT_EQ(stream.read_record(record), fed.end);
  EXPECT_EQ(record.text, "kept");
  writer.join();
  close(fds[0]);
  return fed;
}

TEST(ReadRecord, LinesAndEndOfInput) {
  using namespace std::string_literals;
  struct Row {
    std::string name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"no input", {}, {}},
      {"an empty line then the end", {"\n"}, {""}},
      {"two empty lines", {"\n\n"}, {"", ""}},
      {"last line without line feed", {"abc\ndef"}, {"abc", "def"}},
      {"carriage return line feed", {"a\r\nb\r\n\r\n"}, {"a", "b", ""}},
      {"lone carriage returns kept", {"a\rb\n\rc\n"}, {"a\rb", "\rc"}},
      {"only the last carriage return dropped", {"a\r\r\n"}, {"a\r"}},
      {"carriage return at the very end dropped", {"x\ny\r"}, {"x", "y"}},
      {"only one carriage return at the very end dropped", {"x\r\r"}, {"x\r"}},
      {"NUL and other bytes kept", {"a\0b\n\xff\xfe\x01\t\n"s}, {"a\0b"s, "\xff\xfe\x01\t"}},
      {"lines split across reads", {"ab", "c\r", "\nde", "f\n", "g"}, {"abc", "def", "g"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Fed fed = feed(row.chunks);
    EXPECT_EQ(fed.end, Result::kEndOfInput);
    EXPECT_EQ(fed.lines, row.lines);
  }
}

// Only the first columns of a line are kept, however long it is; the rest
// is read and discarded.
TEST(ReadRecord, LinesOfMegabytesKeepTheirFirstColumns) {
  std::string big(5 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + i % 61);
  const std::string last(3 * 1024 * 1024, 'z');
  const Fed fed = feed({big + "\r\nshort\n", last});
  ASSERT_EQ(fed.lines.size(), 3u);
  EXPECT_EQ(fed.lines[0], big.substr(0, kRecordColumns));
  EXPECT_EQ(fed.lines[1], "short");
  EXPECT_EQ(fed.lines[2], last.substr(0, kRecordColumns));
}

// The column limit against the carriage return that may end a line.
TEST(ReadRecord, LinesAroundTheColumnLimit) {
  const std::string a79(79, 'a'), a80(80, 'a');
  struct Row {
    const char* name;
    std::string input;
    std::vector<std::string> lines;
  } const rows[] = {
      {"79 columns and CR LF", a79 + "\r\n", {a79}},
      {"80 columns and CR LF", a80 + "\r\n", {a80}},
      {"80 columns, CR inside, CR LF", a80 + "\r\r\n", {a80}},
      {"79 columns and CR inside", a79 + "\rb\n", {a79 + "\r"}},
      {"81 columns", a80 + "b\n", {a80}},
      {"80 columns and CR at the end of input", a80 + "\r", {a80}},
      {"79 columns, CR, CR at the end of input", a79 + "\r\r", {a79 + "\r"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(feed({row.input}).lines, row.lines);
  }
}

TEST(ReadRecord, ManyShortLines) {
  std::string input;
  for (int i = 0; i < 50000; ++i) input += std::to_string(i) + (i % 2 ? "\r\n" : "\n");
  const Fed fed = feed({input});
  ASSERT_EQ(fed.lines.size(), 50000u);
  for (int i = 0; i < 50000; i += 4999) EXPECT_EQ(fed.lines[i], std::to_string(i));
}

// A signal that arrives while the stream waits for the user interrupts the
// read (the handler is installed without automatic restart); the stream
// reads again instead of reporting an error.  The writer sends the signal
// only once the reader sleeps in its read, and writes the line only once
// the handler has run and the reader sleeps again.
std::atomic<int> g_interrupts{0};

TEST(ReadRecord, InterruptedReadIsRetried) {
  struct sigaction action {
  }, old{};
  action.sa_handler = [](int) { ++g_interrupts; };
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  g_interrupts = 0;

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pthread_t reader = pthread_self();
  const pid_t reader_task = gettid();
  std::thread writer([reader, reader_task, fd = fds[1]] {
    EXPECT_TRUE(testsupport::wait_until_asleep(reader_task));
    pthread_kill(reader, SIGUSR1);
    while (g_interrupts == 0) std::this_thread::yield();
    EXPECT_TRUE(testsupport::wait_until_asleep(reader_task));
    EXPECT_EQ(write(fd, "abc\n", 4), 4);
    close(fd);
  });
  InputStream stream(fds[0], console_input());
  InputRecord record;
  EXPECT_EQ(stream.read_record(record), Result::kRecord);
  EXPECT_EQ(record.text, "abc");
  writer.join();
  EXPECT_EQ(g_interrupts, 1);
  close(fds[0]);
  sigaction(SIGUSR1, &old, nullptr);
}

// A console with no data yet on a non-blocking descriptor (a terminal or
// pipe left that way by a parent) is waited for, like a blocking one.
TEST(ReadRecord, NonBlockingConsoleIsWaitedFor) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  const pid_t reader_task = gettid();
  std::thread writer([reader_task, fd = fds[1]] {
    for (const char* piece : {"ab", "c\nlast"}) {
      EXPECT_TRUE(testsupport::wait_until_asleep(reader_task));
      EXPECT_EQ(write(fd, piece, std::strlen(piece)), static_cast<ssize_t>(std::strlen(piece)));
    }
    EXPECT_TRUE(testsupport::wait_until_asleep(reader_task));
    close(fd);
  });
  InputStream stream(fds[0], console_input());
  InputRecord record;
  EXPECT_EQ(stream.read_record(record), Result::kRecord);
  EXPECT_EQ(record.text, "abc");
  EXPECT_EQ(stream.read_record(record), Result::kRecord);
  EXPECT_EQ(record.text, "last");
  EXPECT_EQ(stream.read_record(record), Result::kEndOfInput);
  writer.join();
  close(fds[0]);
}

TEST(ReadRecord, ReadErrors) {
  const int dir = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  InputStream from_directory(dir, console_input());
  InputRecord record{"kept", 3};
  EXPECT_EQ(from_directory.read_record(record), Result::kError);
  EXPECT_EQ(record.text, "kept");
  EXPECT_EQ(record.cursor, 3u);
  close(dir);

  // A descriptor that is not open (standard input closed by the caller)
  // can give no further line: the end of input.
  InputStream closed(-1, console_input());
  EXPECT_EQ(closed.read_record(record), Result::kEndOfInput);
}

// ------------------------------------------------- failures end the process

// A console whose input is `bytes`, already complete.
int console_with(const std::string& bytes) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  return fds[0];
}

TEST(ReadRecordOrFail, FailuresEndTheRun) {
  const std::string eof_line =
      "qurlex: severe (24): end-of-file during read, unit 5, file CONIN$\r\n";
  const std::string error_line = "qurlex: severe (39): error during read, unit 5, file CONIN$\r\n";
  struct Row {
    std::string name;
    std::string input;  // ignored when reading a directory
    bool directory;
    int reads;
    int exit_status;
    std::string stderr_text;
  };
  const Row rows[] = {
      {"no input at all", "", false, 1, 24, eof_line},
      {"end after one answer", "x\n", false, 2, 24, eof_line},
      {"an empty line is an answer", "\n", false, 1, 0, ""},
      {"a last line without line feed is an answer", "z", false, 1, 0, ""},
      {"a directory as the console", "", true, 1, 39, error_line},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const int fd = row.directory ? open("/", O_RDONLY | O_DIRECTORY) : console_with(row.input);
    ASSERT_GE(fd, 0);
    const testsupport::ChildResult child = testsupport::run_in_child([&] {
      InputStream console(fd, console_input());
      InputRecord record;
      for (int r = 0; r < row.reads; ++r) console.read_record_or_fail(record);
    });
    close(fd);
    EXPECT_EQ(child.exit_code, row.exit_status);
    EXPECT_EQ(child.err, row.stderr_text);
  }
}

}  // namespace
}  // namespace fieldscan
