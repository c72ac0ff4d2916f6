#include "fieldscan/textio/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "testsupport/child.h"
#include "testsupport/temp_dir.h"

namespace fieldscan {
namespace {

using testsupport::ChildResult;
using testsupport::run_in_child;

const char* kConsoleOverflow =
    "qurlex: error (63): output conversion error, unit 6, file CONOUT$\r\n";

// The bytes that `write` sends to a console stream on a pipe.
template <typename Write>
std::string console_bytes(Write write) {
  int p[2];
  if (pipe(p) != 0) std::abort();
  {
    OutputStream console(p[1], console_output());
    write(console);
  }
  close(p[1]);
  std::string bytes;
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) bytes.append(buf, static_cast<std::size_t>(n));
  close(p[0]);
  return bytes;
}

std::string file_contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void put_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class ListingFile : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.file(name); }
  testsupport::TempDir dir_;
};

TEST(WriteRecord, LineEndUnlessOpen) {
  const std::string bytes = console_bytes([](OutputStream& s) {
    s.write_record(Record().fixed(0.0f, 5, 1).fixed(1234.5f, 10, 2).fixed(12.345f, 8, 2));
    s.write_record(
        Record().skip(1).literal("Input z (def=").fixed(0.0f, 7, 1).literal("): ").open_line());
    s.write_record(Record());
    s.write_record(Record().integer(7, 3).skip(3));
  });
  EXPECT_EQ(bytes, "  0.0   1234.50   12.35\r\n Input z (def=    0.0): \r\n  7\r\n");
}

TEST(WriteRecord, OverflowDiagnosticFollowsItsRecord) {
  testsupport::ChildOptions merged;
  merged.merge_stderr = true;
  const ChildResult r = run_in_child(
      [] {
        OutputStream console(STDOUT_FILENO, console_output());
        console.write_record(Record().fixed(1000.0f, 5, 1).fixed(1.0f, 10, 2));
        console.write_record(Record().fixed(1.0f, 5, 1));
      },
      merged);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, std::string("*****      1.00\r\n") + kConsoleOverflow + "  1.0\r\n");
}

struct FreeFormRow {
  const char* name;
  std::string text;
  std::string console;
};

TEST(WriteFreeForm, SplitsTextsAtEightyColumns) {
  const std::string message = "Point is outside X-limits" + std::string(55, ' ');  // 80 characters
  const std::string a79(79, 'a'), b80(80, 'b'), c159(159, 'c');
  const FreeFormRow rows[] = {
      {"80-character message", message,
       " Point is outside X-limits" + std::string(54, ' ') + "\r\n  \r\n"},
      {"79 characters fill one record", a79, " " + a79 + "\r\n"},
      {"80 characters", b80, " " + b80.substr(0, 79) + "\r\n b\r\n"},
      {"159 characters", c159,
       " " + c159.substr(0, 79) + "\r\n " + c159.substr(0, 79) + "\r\n c\r\n"},
      {"empty text", "", " \r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string bytes =
        console_bytes([&](OutputStream& s) { s.write_free_form({std::string_view(row.text)}); });
    EXPECT_EQ(bytes, row.console);
  }
}

TEST(WriteFreeForm, NoItemsIsOneBlank) {
  EXPECT_EQ(console_bytes([](OutputStream& s) { s.write_free_form({}); }), " \r\n");
}

TEST(WriteFreeForm, IntegersAreWidthTwelveAndNeverSplit) {
  const std::string t67(67, 't'), t68(68, 'u');
  EXPECT_EQ(console_bytes([&](OutputStream& s) {
              s.write_free_form({std::string_view("n="), std::int32_t{-42}, std::string_view("!")});
            }),
            " n=         -42!\r\n");
  // 1 + 67 + 12 = 80 columns: fits.
  EXPECT_EQ(console_bytes([&](OutputStream& s) {
              s.write_free_form({std::string_view(t67), std::int32_t{INT32_MIN}});
            }),
            " " + t67 + " -2147483648\r\n");
  // One column more: the integer moves to a new record.
  EXPECT_EQ(console_bytes([&](OutputStream& s) {
              s.write_free_form({std::string_view(t68), std::int32_t{5}, std::string_view("x")});
            }),
            " " + t68 + "\r\n            5x\r\n");
}

TEST(WriteFreeFormToText, CapacityMessage) {
  Text80 text = make_text<80>("old content");
  write_free_form_to_text(
      text, {std::string_view("Change the program parameter MXS to"), std::int32_t{3090903}});
  const std::string expected = " Change the program parameter MXS to" + std::string(5, ' ') +
                               "3090903" + std::string(32, ' ');
  EXPECT_EQ(view(text), expected);
  // The same text on the console: two records, the first starting with two blanks.
  EXPECT_EQ(console_bytes([&](OutputStream& s) { s.write_free_form({view(text)}); }),
            " " + expected.substr(0, 79) + "\r\n  \r\n");
}

TEST(WriteFreeFormToText, CutAtTheEndAndEmpty) {
  Text80 text;
  write_free_form_to_text(text, {std::string_view(std::string(100, 'z'))});
  EXPECT_EQ(view(text), " " + std::string(79, 'z'));
  write_free_form_to_text(text, {});
  EXPECT_EQ(view(text), std::string(80, ' '));
}

TEST(WriteRecordToText, BlankFilled) {
  Text80 text = make_text<80>(std::string(80, '#'));
  write_record_to_text(text, Record().text("x").integer(0, 3).literal(".lis").skip(2));
  EXPECT_EQ(view(text), "x  0.lis" + std::string(72, ' '));
}

TEST(WriteRecordToText, OverflowGivesInternalWriteDiagnostic) {
  const ChildResult r = run_in_child([] {
    Text80 text;
    write_record_to_text(text, Record().text("z").integer(1234, 3).literal(".lis"));
    (void)!write(STDOUT_FILENO, text.data(), text.size());
  });
  EXPECT_EQ(r.out, "z***.lis" + std::string(72, ' '));
  EXPECT_EQ(
      r.err,
      "qurlex: error (63): output conversion error, unit -5, file Internal Formatted Write\r\n");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(ConsoleWriteError, FullDeviceIsSevere38) {
  const ChildResult r = run_in_child([] {
    const int fd = open("/dev/full", O_WRONLY);
    if (fd < 0) _exit(99);
    OutputStream console(fd, console_output());
    console.write_record(Record().literal("lost"));
  });
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 38);
  EXPECT_EQ(r.err, "qurlex: severe (38): error during write, unit 6, file CONOUT$\r\n");
}

TEST(ConsoleWriteError, ClosedStandardOutputIsSevere38) {
  const ChildResult r = run_in_child([] {
    close(STDOUT_FILENO);
    OutputStream console(STDOUT_FILENO, console_output());
    console.write_free_form({});
  });
  EXPECT_EQ(r.exit_code, 38);
  EXPECT_EQ(r.err, "qurlex: severe (38): error during write, unit 6, file CONOUT$\r\n");
}

// A record much larger than a pipe holds, on a non-blocking descriptor with
// a slow reader: every byte arrives in order.
TEST(WriteRecord, PartialWritesOnNonBlockingPipe) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(fcntl(p[1], F_SETFL, O_NONBLOCK), 0);
  std::string text;
  for (int i = 0; i < 300000; ++i) text.push_back(static_cast<char>('a' + i % 26));
  std::string received;
  std::thread reader([&] {
    usleep(50000);
    char buf[1000];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) received.append(buf, static_cast<std::size_t>(n));
  });
  {
    OutputStream s(p[1], console_output());
    s.write_record(Record().literal(text));
  }
  close(p[1]);
  reader.join();
  close(p[0]);
  EXPECT_EQ(received, text + "\r\n");
}

TEST_F(ListingFile, FirstRecordCutsFormerContent) {
  const std::string name = path("x000.lis");
  put_file(name, std::string(500, 'o') + "\r\n");
  OutputStream listing(-1, {kListingUnit, ""});
  ASSERT_TRUE(listing.open_listing(name));
  EXPECT_EQ(listing.id().unit, 10);
  EXPECT_EQ(listing.id().name, name);
  listing.write_record(Record().fixed(0.0f, 5, 1));
  listing.write_record(Record().fixed(1.0f, 5, 1));
  listing.close();
  EXPECT_EQ(file_contents(name), "  0.0\r\n  1.0\r\n");
}

TEST_F(ListingFile, NothingWrittenKeepsFormerContent) {
  const std::string name = path("z005.lis");
  put_file(name, "former\r\n");
  OutputStream listing(-1, {kListingUnit, ""});
  ASSERT_TRUE(listing.open_listing(name));
  listing.close();
  EXPECT_EQ(file_contents(name), "former\r\n");
}

TEST_F(ListingFile, CreatedEmptyAndReopened) {
  const std::string name = path("x-01.lis");
  OutputStream listing(-1, {kListingUnit, ""});
  ASSERT_TRUE(listing.open_listing(name));
  listing.close();
  struct stat st;
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  // A second scan into the same file replaces the first one's records.
  ASSERT_TRUE(listing.open_listing(name));
  listing.write_record(Record().literal("first scan, longer record"));
  listing.close();
  ASSERT_TRUE(listing.open_listing(name));
  listing.write_record(Record().literal("second"));
  listing.close();
  EXPECT_EQ(file_contents(name), "second\r\n");
}

TEST_F(ListingFile, CannotOpenLeavesStreamAlone) {
  OutputStream listing(-1, {kListingUnit, "before"});
  EXPECT_FALSE(listing.open_listing(path("no/such/dir.lis")));
  EXPECT_EQ(listing.id().name, "before");
}

TEST_F(ListingFile, OverflowDiagnosticNamesTheFile) {
  const std::string name = path("x000.lis");
  const ChildResult r = run_in_child([&] {
    OutputStream listing(-1, {kListingUnit, ""});
    if (!listing.open_listing(name)) _exit(99);
    listing.write_record(Record().fixed(-100.0f, 5, 1));
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(file_contents(name), "*****\r\n");
  EXPECT_EQ(r.err, "qurlex: error (63): output conversion error, unit 10, file " + name + "\r\n");
}

TEST_F(ListingFile, NeverTakesAClosedStandardStream) {
  const std::string name = path("x000.lis");
  const ChildResult r = run_in_child([&] {
    close(STDOUT_FILENO);
    OutputStream listing(-1, {kListingUnit, ""});
    if (!listing.open_listing(name)) _exit(99);
    OutputStream console(STDOUT_FILENO, console_output());
    listing.write_record(Record().literal("listing"));
    console.write_record(Record().literal("console"));
  });
  EXPECT_EQ(r.exit_code, 38);
  EXPECT_EQ(file_contents(name), "listing\r\n");
}

TEST(ListingWriteError, FullDeviceIsSevere38ForUnit10) {
  const ChildResult r = run_in_child([] {
    OutputStream listing(-1, {kListingUnit, ""});
    if (!listing.open_listing("/dev/full")) _exit(99);
    listing.write_record(Record().literal("  0.0"));
  });
  EXPECT_EQ(r.exit_code, 38);
  EXPECT_EQ(r.err, "qurlex: severe (38): error during write, unit 10, file /dev/full\r\n");
}

}  // namespace
}  // namespace fieldscan
