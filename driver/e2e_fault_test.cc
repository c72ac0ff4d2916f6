// Fault injection, end to end: maps that are directories, unreadable or
// pipes (delivering, slow, or never delivering), listing files that cannot
// be opened, answers of megabytes, NUL bytes and binary garbage as answers,
// input ending inside an answer, and writes refused part way through a
// scan.  Each gives its specified outcome, and every listing record written
// before a failure is in its file.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "driver/e2e_fixture.h"

namespace fieldscan {
namespace {

constexpr std::size_t kMegabytes5 = 5u << 20;

std::string start() {
  return std::string(kHeader) + kAskDirectionX + kAskHeight0 + kAskRangeDefault;
}

// The first n records of the default request on the line map.
std::string default_records(int n) { return std::string(kDefaultRecords).substr(0, 25u * n); }

const char kCannotOpenMap[] =
    " Cannot open the MAP file                                                       \r\n  \r\n";
const char kConversionConsole[] =
    "qurlex: severe (64): input conversion error, unit 5, file CONIN$\r\n";
const char kConversionHeight[] =
    "qurlex: severe (64): input conversion error, unit -5, file Internal Formatted Read\r\n";

// Sets a limit on the size of files written by the children started while
// it lives (a disk that fills up at that size): a write beyond it fails
// with EFBIG instead of raising SIGXFSZ, whose ignored disposition the
// child inherits.  Pipes are not affected.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_;
  sighandler_t old_handler_;
};

// ------------------------------------------------------------------- maps

TEST_F(FieldscanRun, MapsThatCannotBeOpened) {
  fs::create_directory(dir_ / "maps.d");
  fs::create_symlink("nowhere.map", dir_ / "dangling.map");
  fs::create_symlink(".", dir_ / "here.map");
  for (const char* name : {"maps.d", "maps.d/", "dangling.map", "here.map", "/"}) {
    SCOPED_TRACE(name);
    const ProcessResult r = run({name}, "\n\n\n");
    EXPECT_EQ(r.out, kCannotOpenMap);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST_F(FieldscanRun, UnreadableMapCannotBeOpened) {
  fs::permissions(dir_, fs::perms::all, fs::perm_options::add);
  fs::permissions(dir_ / "line.map", fs::perms::none);
  ProcessOptions unprivileged;
  unprivileged.unprivileged = true;
  const ProcessResult r = run({"line.map"}, "\n\n\n", unprivileged);
  if (r.exit_code == 127 && r.out.empty())
    GTEST_SKIP() << "the unprivileged user cannot reach the fieldscan binary of this build";
  EXPECT_EQ(r.out, kCannotOpenMap);
  EXPECT_EQ(r.exit_code, 0);
}

// A named pipe is read like a file, so a map can come from a program that
// writes it (a FIFO, or process substitution: /dev/fd/N).  This writer is
// slow: the map arrives in small pieces with pauses between them.
TEST_F(FieldscanRun, MapFromAFifoThatDelivers) {
  const std::string fifo = (dir_ / "map.fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string bytes = encode_map(line_map());
  signal(SIGPIPE, SIG_IGN);
  std::thread writer([&] {
    const int fd = open(fifo.c_str(), O_WRONLY);
    if (fd < 0) return;
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t w =
          write(fd, bytes.data() + done, std::min<std::size_t>(97, bytes.size() - done));
      if (w <= 0) break;
      done += static_cast<std::size_t>(w);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
  });
  const ProcessResult r = run({"map.fifo"}, "\n\n\n");
  // Should the tool not have opened the pipe, let the writer go.
  const int unblock = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  writer.join();
  if (unblock >= 0) close(unblock);
  EXPECT_EQ(r.out, start() + kDefaultRecords + kAskDirectionX);
  EXPECT_EQ(r.exit_code, 24);
  EXPECT_EQ(file("x000.lis"), kDefaultRecords);
}

TEST_F(FieldscanRun, MapFromProcessSubstitution) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(fcntl(p[1], F_SETFD, FD_CLOEXEC), 0);  // only the read end reaches the tool
  const std::string bytes = encode_map(line_map());
  ASSERT_LT(bytes.size(), 65536u);  // fits the pipe's buffer: written before the start
  ASSERT_EQ(write(p[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(p[1]);
  const ProcessResult r = run({"/dev/fd/" + std::to_string(p[0])}, "\n\n\n");
  close(p[0]);
  EXPECT_EQ(r.out, start() + kDefaultRecords + kAskDirectionX);
  EXPECT_EQ(file("x000.lis"), kDefaultRecords);

  // A writer that ends its map early: the record it cut off is the error.
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(fcntl(p[1], F_SETFD, FD_CLOEXEC), 0);
  ASSERT_EQ(write(p[1], bytes.data(), 300), 300);
  close(p[1]);
  const ProcessResult cut = run({"/dev/fd/" + std::to_string(p[0])}, "");
  close(p[0]);
  EXPECT_EQ(cut.out, message_lines("Reading error: FIELDs"));
  EXPECT_EQ(cut.exit_code, 0);
}

// A pipe that never delivers leaves the tool waiting like any reader of a
// pipe: once it sleeps (in the open or in a read) it has written nothing,
// and it is killed there.
TEST_F(FieldscanRun, MapFromAFifoThatNeverDelivers) {
  const std::string fifo = (dir_ / "map.fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ProcessOptions options;
  options.working_directory = dir_.string();
  const auto run_until_asleep = [&options] {
    testsupport::Child child(kFieldscan, {"map.fifo"}, options);
    child.write("\n\n\n");
    EXPECT_TRUE(child.pump_until_asleep());
    return child.kill_and_finish();
  };

  // No writer ever opens it.
  const ProcessResult no_writer = run_until_asleep();
  EXPECT_EQ(no_writer.signal, SIGKILL);
  EXPECT_EQ(no_writer.out, "");
  EXPECT_EQ(no_writer.err, "");

  // A writer delivers the first records and then neither writes nor closes.
  const int writer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  const std::string bytes = encode_map(line_map());
  ASSERT_EQ(write(writer, bytes.data(), 250), 250);
  const ProcessResult stalled = run_until_asleep();
  close(writer);
  EXPECT_EQ(stalled.signal, SIGKILL);
  EXPECT_EQ(stalled.out, "");
  EXPECT_EQ(stalled.err, "");
}

// ---------------------------------------------------------- listing files

TEST_F(FieldscanRun, ReadOnlyListingFileCannotBeOpened) {
  fs::permissions(dir_, fs::perms::all, fs::perm_options::add);
  { std::ofstream(dir_ / "x000.lis") << "former\r\n"; }
  fs::permissions(dir_ / "x000.lis", fs::perms::owner_read);
  ProcessOptions unprivileged;
  unprivileged.unprivileged = true;
  const ProcessResult r = run({"line.map"}, "\n\n\n", unprivileged);
  if (r.exit_code == 127 && r.out.empty())
    GTEST_SKIP() << "the unprivileged user cannot reach the fieldscan binary of this build";
  EXPECT_EQ(r.out, start());
  EXPECT_EQ(r.err, "qurlex: severe (30): open failure, unit 10, file x000.lis\r\n");
  EXPECT_EQ(r.exit_code, 30);
  EXPECT_EQ(file("x000.lis"), "former\r\n");
}

// The listing file's disk fills up after three records: the fourth record
// reaches the console, its listing write is refused, and the file holds the
// three records written before.  A listing of an earlier request keeps all
// of its records.
TEST_F(FieldscanRun, ListingFileFullPartWayThroughAScan) {
  ProcessResult r;
  {
    FileSizeLimit limit(3 * 25);
    r = run({"line.map"}, "\n\n0.,2.,1.\n\n1.\n0.,10.,1.\n");
  }
  EXPECT_EQ(r.exit_code, 38);
  EXPECT_EQ(r.err, "qurlex: severe (38): error during write, unit 10, file x001.lis\r\n");
  const std::string first =
      "  0.0   -250.00    0.01\r\n  1.0   -150.00    0.01\r\n"
      "  2.0    -50.00    0.01\r\n";
  EXPECT_EQ(file("x000.lis"), first);
  EXPECT_EQ(file("x001.lis"), first);
  EXPECT_TRUE(r.out.ends_with(first + "  3.0     50.00    0.50\r\n")) << r.out;
}

// The console's disk fills up in the middle of the fifth point record: the
// run ends with the console's write diagnostic, and the listing file holds
// the four records whose console records went out before.
TEST_F(FieldscanRun, ConsoleFullPartWayThroughAScan) {
  const std::string console = (dir_ / "console.out").string();
  ProcessOptions to_file;
  to_file.stdout_path = console;
  ProcessResult r;
  {
    FileSizeLimit limit(start().size() + 4 * 25 + 10);
    r = run({"line.map"}, "\n\n\n", to_file);
  }
  EXPECT_EQ(r.exit_code, 38);
  EXPECT_EQ(r.err, "qurlex: severe (38): error during write, unit 6, file CONOUT$\r\n");
  EXPECT_EQ(file("x000.lis"), default_records(4));
  EXPECT_EQ(file("console.out"), start() + default_records(4) + default_records(5).substr(100, 10));
}

// ----------------------------------------------------------------- answers

// Answers of megabytes are read as the lines they are, only their first
// columns count, and each gives its outcome without any time to speak of.
TEST_F(FieldscanRun, AnswersOfMegabytes) {
  const std::string junk_q(kMegabytes5, 'q');
  std::string bz_records;
  for (int x = 0; x <= 10; ++x) bz_records += point(x, 1000.0 + 10.0 * x);
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int exit_code;
    std::string err;
    const char* listing;  // nullptr: none is written
    std::string records;
  };
  const Row rows[] = {
      {"direction starting with z",
       {"line.map"},
       "z" + junk_q + "\n\n\n",
       24,
       kEndOfInput,
       "z000.lis",
       bz_records},
      {"height of 5 MB, the value in its first six columns",
       {"line.map"},
       "\n1.5   " + std::string(kMegabytes5, '9') + "\n\n",
       24,
       kEndOfInput,
       "x001.lis",
       kDefaultRecords},
      {"height of 5 MB after a blank: the default",
       {"line.map"},
       "\n " + junk_q + "\n\n",
       24,
       kEndOfInput,
       "x000.lis",
       kDefaultRecords},
      {"height of 5 MB of letters",
       {"line.map"},
       "\n" + junk_q + "\n\n",
       64,
       kConversionHeight,
       nullptr,
       ""},
      {"range of 5 MB after three fields",
       {"line.map"},
       "\n\n0.,4.,1.," + junk_q + "\n",
       24,
       kEndOfInput,
       "x000.lis",
       default_records(5)},
      {"range of 5 MB of digits",
       {"line.map"},
       "\n\n" + std::string(kMegabytes5, '1') + "\n",
       24,
       kEndOfInput,
       "x000.lis",
       ""},
      {"range of 5 MB of letters",
       {"line.map"},
       "\n\n" + junk_q + "\n",
       64,
       kConversionConsole,
       nullptr,
       ""},
      {"map name of 5 MB",
       {},
       "line.map" + std::string(72, ' ') + junk_q + "\n\n\n\n",
       24,
       kEndOfInput,
       "x000.lis",
       kDefaultRecords},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProcessOptions options;
    options.timeout_seconds = 30.0;  // a guard against a hang, not a speed test
    const ProcessResult r = run(row.args, row.input, options);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, row.exit_code);
    EXPECT_EQ(r.err, row.err);
    if (row.listing != nullptr) {
      EXPECT_TRUE(fs::exists(dir_ / row.listing));
      EXPECT_EQ(file(row.listing), row.records);
    } else {
      EXPECT_FALSE(fs::exists(dir_ / "x000.lis"));
      EXPECT_FALSE(fs::exists(dir_ / "x001.lis"));
    }
    for (const char* name : {"x000.lis", "x001.lis", "z000.lis"}) fs::remove(dir_ / name);
  }
}

// NUL bytes and other binary bytes are characters like any other: not a
// direction letter, not a blank, not part of a number.
TEST_F(FieldscanRun, NulAndBinaryAnswers) {
  using namespace std::string_literals;
  struct Row {
    const char* name;
    std::string input;
    int exit_code;
    std::string err;
    std::string listing;  // content of x000.lis; "-" when it must not exist
  };
  const Row rows[] = {
      {"NUL then z as direction: asked again", "\0z\n\n\n\n"s, 24, kEndOfInput, kDefaultRecords},
      {"binary direction: asked again", "\xff\xfe\x01\n\x80\n\n\n\n"s, 24, kEndOfInput,
       kDefaultRecords},
      {"NUL height", "\n\0\n\n"s, 64, kConversionHeight, "-"},
      {"NUL inside the height's columns", "\n1.\0\n\n"s, 64, kConversionHeight, "-"},
      {"NUL after the height's columns", "\n0.    \0\xff\n\n"s, 24, kEndOfInput, kDefaultRecords},
      {"blank, then NUL: the default height", "\n \0\n\n"s, 24, kEndOfInput, kDefaultRecords},
      {"NUL range", "\n\n\0\n"s, 64, kConversionConsole, "-"},
      {"binary bytes after the third comma", "\n\n0.,4.,1.,\0\xff\x7f\n"s, 24, kEndOfInput,
       default_records(5)},
      {"NUL inside a range field", "\n\n1\0\n"s, 64, kConversionConsole, "-"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(dir_ / "x000.lis");
    const ProcessResult r = run({"line.map"}, row.input);
    EXPECT_EQ(r.exit_code, row.exit_code);
    EXPECT_EQ(r.err, row.err);
    if (row.listing == "-") {
      EXPECT_FALSE(fs::exists(dir_ / "x000.lis"));
    } else {
      EXPECT_EQ(file("x000.lis"), row.listing);
    }
  }
  // A rejected direction answer asks again, with nothing in between.
  const ProcessResult r = run({"line.map"}, "\0\n\xff\n"s);
  EXPECT_EQ(r.out, std::string(kHeader) + kAskDirectionX + kAskDirectionX + kAskDirectionX);
}

// ------------------------------------------------------ process environment

// A console left non-blocking by a parent: the tool waits for each answer
// as on a blocking one.  Every answer is written only once the tool sleeps.
TEST_F(FieldscanRun, NonBlockingConsoleIsWaitedFor) {
  ProcessOptions options;
  options.working_directory = dir_.string();
  options.nonblocking_stdin = true;
  testsupport::Child child(kFieldscan, {"line.map"}, options);
  for (const char* answer : {"\n", "\n", "\n"}) {
    ASSERT_TRUE(child.pump_until_asleep()) << child.out();
    child.write(answer);
  }
  const ProcessResult r = child.finish();
  EXPECT_EQ(r.err, kEndOfInput);
  EXPECT_EQ(r.exit_code, 24);
  EXPECT_EQ(r.out, start() + kDefaultRecords + kAskDirectionX);
}

// An answer line without end is read and discarded as it arrives: the
// resident set of the tool does not grow with it.
TEST_F(FieldscanRun, EndlessAnswerInBoundedMemory) {
  ProcessOptions options;
  options.working_directory = dir_.string();
  testsupport::Child child(kFieldscan, {"line.map"}, options);
  const std::string asked_once = std::string(kHeader) + kAskDirectionX;
  ASSERT_TRUE(child.pump_until([&] { return child.out() == asked_once; }));
  const long before_kb = child.status_kb("VmRSS");
  child.write(std::string(64u << 20, '\0') + "\n");  // not a direction: asked again
  ASSERT_TRUE(child.pump_until([&] { return child.out() == asked_once + kAskDirectionX; }));
  const long peak_kb = child.status_kb("VmHWM");
  const ProcessResult r = child.finish();
  EXPECT_EQ(r.exit_code, 24);
  EXPECT_LT(peak_kb - before_kb, 4 * 1024);
#ifndef __SANITIZE_ADDRESS__
  EXPECT_LT(peak_kb, 16 * 1024);
#endif
}

// A console that is a pipe whose reader has gone: the refused write is the
// severe diagnostic 38, not a death by SIGPIPE (the child starts with the
// signal's default disposition, as from a shell).
TEST_F(FieldscanRun, ConsoleWithoutReaderIsSevere38) {
  ProcessOptions options;
  options.working_directory = dir_.string();
  testsupport::Child child(kFieldscan, {"line.map"}, options);
  child.close_output_reader();
  child.write("\n\n\n");
  const ProcessResult r = child.finish();
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 38);
  EXPECT_EQ(r.err, "qurlex: severe (38): error during write, unit 6, file CONOUT$\r\n");
}

// With the error stream closed, the listing file does not take its
// descriptor, so the overflow diagnostics of a scan stay out of it.
TEST_F(FieldscanRun, ClosedErrorStreamKeepsDiagnosticsOutOfTheListing) {
  ProcessOptions closed;
  closed.close_stderr = true;
  const ProcessResult r = run({"wide.map"}, "z\n\n1000.,1000.,1.\n", closed);
  EXPECT_EQ(r.exit_code, 24);
  EXPECT_EQ(file("z000.lis"), "*****" + std::string(18, '*') + "\r\n");
}

}  // namespace
}  // namespace fieldscan
