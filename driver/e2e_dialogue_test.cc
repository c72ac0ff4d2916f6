// The scan request dialogue and the scan listing, end to end.
#include "driver/e2e_fixture.h"

namespace fieldscan {
namespace {

std::string start(const char* range_question = kAskRangeDefault) {
  return std::string(kHeader) + kAskDirectionX + kAskHeight0 + range_question;
}

TEST_F(FieldscanRun, DefaultRequest) {
  const ProcessResult r = run({"line.map"}, "\n\n\n");
  EXPECT_EQ(r.out, start() + kDefaultRecords + kAskDirectionX);
  EXPECT_EQ(r.err, kEndOfInput);
  EXPECT_EQ(r.exit_code, 24);
  EXPECT_EQ(file("x000.lis"), kDefaultRecords);
}

TEST_F(FieldscanRun, AnswersWithCarriageReturnsReadAlike) {
  const ProcessResult r = run({"line.map"}, "\r\n\r\n\r\n");
  EXPECT_EQ(r.out, start() + kDefaultRecords + kAskDirectionX);
}

TEST_F(FieldscanRun, DirectionZWithAHeightOfImpliedDecimal) {
  // 12 means 1.2; BZ = 1000 + 10 x + 100 z; 0,3,1 means 0.0, 0.3, 0.1.
  const ProcessResult r = run({"line.map"}, "z\n12\n0,3,1\n");
  const std::string records =
      "  0.0   1120.00   11.20\r\n"
      "  0.1   1121.00   11.21\r\n"
      "  0.2   1122.00   11.22\r\n"
      "  0.3   1123.00   11.23\r\n";
  EXPECT_EQ(r.out, start() + records + kAskDirectionZ);
  EXPECT_EQ(file("z001.lis"), records);
  EXPECT_FALSE(fs::exists(dir_ / "x001.lis"));
  EXPECT_EQ(r.exit_code, 24);
}

TEST_F(FieldscanRun, DirectionAnswersAndDefaultsAcrossRequests) {
  // "Z" and "y" ask again; " z" has a blank first and keeps the default x;
  // "zebra" is read as z.  The range of the first request becomes the
  // default of the second.
  const ProcessResult r = run({"line.map"}, "Z\ny\n z\n\n5.,5.,1.\nzebra\n\n\n");
  EXPECT_EQ(r.out, std::string(kHeader) + kAskDirectionX + kAskDirectionX + kAskDirectionX +
                       kAskHeight0 + kAskRangeDefault + "  5.0    250.00    2.50\r\n" +
                       kAskDirectionX + kAskHeight0 + " Input x0, xmax, xinc (def=  5.  5.  1.) " +
                       "  5.0   1050.00   10.50\r\n" + kAskDirectionZ);
  EXPECT_EQ(file("x000.lis"), "  5.0    250.00    2.50\r\n");
  EXPECT_EQ(file("z000.lis"), "  5.0   1050.00   10.50\r\n");
}

TEST_F(FieldscanRun, HeightAnswersSetTheDefault) {
  // 12. is 12.0, above the map: every point is reported and the listing file
  // is created empty.  An empty answer keeps 12.0; 0 sets it back to 0.0.
  const std::string outside = message_lines("Point is outside Z-limits");
  const ProcessResult r = run({"line.map"}, "\n12.\n0.,1.,1.\n\n\n\n\n0\n\n");
  EXPECT_EQ(r.out, start() + outside + outside + kAskDirectionX +
                       " Input z (def=  12.0): " + " Input x0, xmax, xinc (def=  0.  1.  1.) " +
                       outside + outside + kAskDirectionX +
                       " Input z (def=  12.0): " + " Input x0, xmax, xinc (def=  0.  1.  1.) " +
                       "  0.0   -250.00    0.01\r\n  1.0   -150.00    0.01\r\n" + kAskDirectionX);
  EXPECT_TRUE(fs::exists(dir_ / "x012.lis"));
  EXPECT_EQ(file("x012.lis"), "");
  EXPECT_EQ(file("x000.lis"), "  0.0   -250.00    0.01\r\n  1.0   -150.00    0.01\r\n");
}

TEST_F(FieldscanRun, TenthStepsStopBeforeTheEnd) {
  // 0.1 added ten times gives slightly more than 1.0: ten points.
  const ProcessResult r = run({"line.map"}, "\n\n0.,1.,.1\n");
  std::string records;
  for (int i = 0; i < 10; ++i) records += point(0.1 * i, 10.0 * i - 250.0);
  EXPECT_EQ(r.out, start() + records + kAskDirectionX);
  EXPECT_EQ(file("x000.lis"), records);
}

// x = 0, 1, ..., 99 on the line map: records up to its end at x = 20, then
// a message per point.  Gives the console bytes and the listing file's.
void hundred_points(std::string& out, std::string& listing) {
  for (int x = 0; x <= 99; ++x) {
    if (x <= 20) {
      out += point(x, 100.0 * x - 250.0);
      listing += point(x, 100.0 * x - 250.0);
    } else {
      out += message_lines("Point is outside X-limits");
    }
  }
}

TEST_F(FieldscanRun, HundredPointsThenTheNextRequest) {
  const ProcessResult r = run({"line.map"}, "\n\n0.,99.,1.\n");
  std::string out, listing;
  hundred_points(out, listing);
  EXPECT_EQ(r.out, start() + out + kAskDirectionX);
  EXPECT_EQ(file("x000.lis"), listing);
  EXPECT_EQ(r.exit_code, 24);
}

TEST_F(FieldscanRun, HundredPointsWithoutPassingTheEndEndTheRun) {
  const ProcessResult r = run({"line.map"}, "\n\n0.,100.,1.\n");
  std::string out, listing;
  hundred_points(out, listing);
  EXPECT_EQ(r.out, start() + out);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(file("x000.lis"), listing);
}

TEST_F(FieldscanRun, ZeroStepGivesHundredRecordsAndEndsTheRun) {
  const ProcessResult r = run({"line.map"}, "\n\n5.,6.,0.\n");
  std::string records;
  for (int i = 0; i < 100; ++i) records += "  5.0    250.00    2.50\r\n";
  EXPECT_EQ(r.out, start() + records);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(file("x000.lis"), records);
}

TEST_F(FieldscanRun, StartBeyondTheEndGivesOnePoint) {
  const ProcessResult r = run({"line.map"}, "\n\n5.,0.,1.\n");
  EXPECT_EQ(r.out, start() + "  5.0    250.00    2.50\r\n" + kAskDirectionX);
}

TEST_F(FieldscanRun, RangeAnswersAndTheirDefaults) {
  // Three zeros keep the defaults; a first field alone sets all three, and
  // the next request shows them.
  const ProcessResult r = run({"line.map"}, "\n\n2.,3.,1.\n\n\n0,0,0\n\n\n5.\n\n\n\n");
  const std::string two_three = "  2.0    -50.00    0.01\r\n  3.0     50.00    0.50\r\n";
  const std::string five = "  5.0    250.00    2.50\r\n";
  const std::string ask = std::string(kAskDirectionX) + kAskHeight0;
  EXPECT_EQ(r.out, start() + two_three + ask + " Input x0, xmax, xinc (def=  2.  3.  1.) " +
                       two_three + ask + " Input x0, xmax, xinc (def=  2.  3.  1.) " + five + ask +
                       " Input x0, xmax, xinc (def=  5.  0.  0.) " + five + kAskDirectionX);
}

TEST_F(FieldscanRun, ListingFileIsCutByItsFirstRecordOnly) {
  {
    std::ofstream old(dir_ / "x000.lis", std::ios::binary);
    old << std::string(5000, 'o');
    std::ofstream kept(dir_ / "x0-5.lis", std::ios::binary);
    kept << "former content\r\n";
  }
  // Height -5. lies below the map: nothing is written, the file stays.
  const ProcessResult r = run({"line.map"}, "\n-5.\n0.,1.,1.\n\n0\n\n");
  EXPECT_EQ(file("x0-5.lis"), "former content\r\n");
  EXPECT_EQ(file("x000.lis"), std::string(kDefaultRecords).substr(0, 50));
  EXPECT_EQ(r.exit_code, 24);
}

TEST_F(FieldscanRun, FieldsThatOverflowGiveOneDiagnosticPerRecordAndStream) {
  const ProcessResult r = run({"wide.map"}, "z\n\n1000.,1000.,1.\n");
  const std::string record = "*****" + std::string(18, '*') + "\r\n";
  EXPECT_NE(r.out.find(" Input x0, xmax, xinc (def=  0. 10.  1.) " + record + kAskDirectionZ),
            std::string::npos);
  EXPECT_EQ(r.err,
            "qurlex: error (63): output conversion error, unit 6, file CONOUT$\r\n"
            "qurlex: error (63): output conversion error, unit 10, file z000.lis\r\n" +
                std::string(kEndOfInput));
  EXPECT_EQ(file("z000.lis"), record);
}

TEST_F(FieldscanRun, PercentColumnRoundsTheStoredQuotient) {
  // 1234.5 / 100 is stored as 12.3450003: 12.35.
  const ProcessResult r = run({"wide.map"}, "\n\n0.,0.,1.\n");
  EXPECT_NE(r.out.find("  0.0   1234.50   12.35\r\n"), std::string::npos);
  EXPECT_EQ(file("x000.lis"), "  0.0   1234.50   12.35\r\n");
}

TEST_F(FieldscanRun, HeightTooLargeForTheFileName) {
  const ProcessResult r = run({"line.map"}, "\n1000.\n0.,0.,1.\n\n");
  EXPECT_EQ(r.err,
            "qurlex: error (63): output conversion error, unit -5, file Internal Formatted "
            "Write\r\n" +
                std::string(kEndOfInput));
  EXPECT_TRUE(fs::exists(dir_ / "x***.lis"));
  EXPECT_NE(r.out.find(" Input z (def=1000.0): "), std::string::npos);
}

}  // namespace
}  // namespace fieldscan
