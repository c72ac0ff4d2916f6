#include "driver/e2e_fixture.h"

namespace fieldscan {
namespace {

// --- Start-up ----------------------------------------------------------------

TEST_F(FieldscanRun, EndOfInputAtTheMapQuestionEndsQuietly) {
  const ProcessResult r = run({}, "");
  EXPECT_EQ(r.out, " MAP filename [<RET>=exit]: ");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(FieldscanRun, BlankMapNameEndsQuietly) {
  for (const char* answer : {"\n", "   \n", "\r\n"}) {
    SCOPED_TRACE(answer);
    const ProcessResult r = run({}, answer);
    EXPECT_EQ(r.out, " MAP filename [<RET>=exit]: ");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 0);
  }
  const ProcessResult r = run({""}, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.exit_code, 0);
}

TEST_F(FieldscanRun, MapThatCannotBeOpenedShowsTheMessage) {
  const std::string expected = message_lines("Cannot open the MAP file");
  ASSERT_EQ(expected, " Cannot open the MAP file" + std::string(55, ' ') + "\r\n  \r\n");
  const ProcessResult by_argument = run({"missing.map"}, "");
  EXPECT_EQ(by_argument.out, expected);
  EXPECT_EQ(by_argument.exit_code, 0);
  const ProcessResult by_answer = run({}, "missing.map\n");
  EXPECT_EQ(by_answer.out, " MAP filename [<RET>=exit]: " + expected);
  EXPECT_EQ(by_answer.exit_code, 0);
  const ProcessResult directory = run({"."}, "");
  EXPECT_EQ(directory.out, expected);
}

TEST_F(FieldscanRun, MapNameIsCutAfterEightyCharacters) {
  // The first 80 characters name the map; what follows is never seen.
  const std::string name = "line.map" + std::string(72, ' ') + "garbage";
  const ProcessResult r = run({}, name + "\n");
  EXPECT_EQ(r.out, std::string(" MAP filename [<RET>=exit]: ") + kHeader + kAskDirectionX);
  EXPECT_EQ(r.err, kEndOfInput);
}

TEST_F(FieldscanRun, CapacityMessageOnTheConsole) {
  MapContents contents;
  contents.nx = contents.ny = contents.nz = 101;
  std::vector<std::string> records = encode_records(contents);
  records.resize(5);  // no plane is read when the grid does not fit
  std::string bytes;
  for (const auto& data : records) bytes += frame_record(data);
  ASSERT_TRUE(write_file((dir_ / "big.map").string(), bytes));
  const ProcessResult r = run({"big.map"}, "");
  EXPECT_EQ(r.out, "  Change the program parameter MXS to     3090903" + std::string(31, ' ') +
                       "\r\n  \r\n");
  EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
}  // namespace fieldscan
