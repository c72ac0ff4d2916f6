// Fatal ends of the dialogue: the diagnostic line on the standard error
// stream, the exit status a parent observes (the message number: the low 8
// bits of 0xC0000000 + number), and the listing records written before.
#include <sys/stat.h>

#include "driver/e2e_fixture.h"

namespace fieldscan {
namespace {

TEST_F(FieldscanRun, EndOfInputAtEachQuestion) {
  struct Row {
    const char* input;
    std::string out;
  };
  const Row rows[] = {
      {"", std::string(kHeader) + kAskDirectionX},
      {"\n", std::string(kHeader) + kAskDirectionX + kAskHeight0},
      {"\n\n", std::string(kHeader) + kAskDirectionX + kAskHeight0 + kAskRangeDefault},
      // A last answer without its line feed is still an answer.
      {"\n\n0.,1.,1.", std::string(kHeader) + kAskDirectionX + kAskHeight0 + kAskRangeDefault +
                           "  0.0   -250.00    0.01\r\n  1.0   -150.00    0.01\r\n" +
                           kAskDirectionX},
      // The direction z without its line end is an answer; then the end.
      {"z", std::string(kHeader) + kAskDirectionX + kAskHeight0},
      {"\n1.5", std::string(kHeader) + kAskDirectionX + kAskHeight0 + kAskRangeDefault},
      // A rejected letter without its line end: asked again, then the end.
      {"q", std::string(kHeader) + kAskDirectionX + kAskDirectionX},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    const ProcessResult r = run({"line.map"}, row.input);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, kEndOfInput);
    EXPECT_EQ(r.exit_code, 24);
  }
}

TEST_F(FieldscanRun, UnreadableNumbers) {
  struct Row {
    const char* input;
    const char* err;
  };
  const Row rows[] = {
      {"\nabc\n",
       "qurlex: severe (64): input conversion error, unit -5, file Internal Formatted "
       "Read\r\n"},
      {"\n1.2.3\n",
       "qurlex: severe (64): input conversion error, unit -5, file Internal "
       "Formatted Read\r\n"},
      {"\n\nabc\n", "qurlex: severe (64): input conversion error, unit 5, file CONIN$\r\n"},
      {"\n\n1.,2.,x\n", "qurlex: severe (64): input conversion error, unit 5, file CONIN$\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    const ProcessResult r = run({"line.map"}, row.input);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.exit_code, 64);
    EXPECT_FALSE(fs::exists(dir_ / "x000.lis"));
  }
}

TEST_F(FieldscanRun, ListingFileThatCannotBeOpened) {
  fs::create_directory(dir_ / "x000.lis");
  const ProcessResult r = run({"line.map"}, "\n\n\n");
  EXPECT_EQ(r.out, std::string(kHeader) + kAskDirectionX + kAskHeight0 + kAskRangeDefault);
  EXPECT_EQ(r.err, "qurlex: severe (30): open failure, unit 10, file x000.lis\r\n");
  EXPECT_EQ(r.exit_code, 30);
}

TEST_F(FieldscanRun, ListingFileThatCannotBeWritten) {
  fs::create_symlink("/dev/full", dir_ / "x000.lis");
  const ProcessResult r = run({"line.map"}, "\n\n\n");
  // The console record of the first point comes before its listing record.
  EXPECT_EQ(r.out, std::string(kHeader) + kAskDirectionX + kAskHeight0 + kAskRangeDefault +
                       "  0.0   -250.00    0.01\r\n");
  EXPECT_EQ(r.err, "qurlex: severe (38): error during write, unit 10, file x000.lis\r\n");
  EXPECT_EQ(r.exit_code, 38);
}

TEST_F(FieldscanRun, ConsoleThatCannotBeWritten) {
  ProcessOptions full;
  full.stdout_path = "/dev/full";
  const ProcessResult r = run({"line.map"}, "\n\n\n", full);
  EXPECT_EQ(r.err, "qurlex: severe (38): error during write, unit 6, file CONOUT$\r\n");
  EXPECT_EQ(r.exit_code, 38);

  ProcessOptions closed;
  closed.close_stdout = true;
  const ProcessResult c = run({"line.map"}, "\n\n\n", closed);
  EXPECT_EQ(c.err, "qurlex: severe (38): error during write, unit 6, file CONOUT$\r\n");
  EXPECT_EQ(c.exit_code, 38);
}

TEST_F(FieldscanRun, ClosedStandardInputIsTheEndOfInput) {
  ProcessOptions closed;
  closed.close_stdin = true;
  const ProcessResult at_map_question = run({}, "", closed);
  EXPECT_EQ(at_map_question.out, " MAP filename [<RET>=exit]: ");
  EXPECT_EQ(at_map_question.exit_code, 0);
  const ProcessResult at_direction = run({"line.map"}, "", closed);
  EXPECT_EQ(at_direction.err, kEndOfInput);
  EXPECT_EQ(at_direction.exit_code, 24);
}

TEST_F(FieldscanRun, RecordsWrittenBeforeAFailureStayInTheListing) {
  // The second request fails on its range after the first one's listing
  // was written and closed; a third cannot lose anything either.
  const ProcessResult r = run({"line.map"}, "\n\n\n\n\nabc\n");
  EXPECT_EQ(r.exit_code, 64);
  EXPECT_EQ(file("x000.lis"), kDefaultRecords);
}

}  // namespace
}  // namespace fieldscan
