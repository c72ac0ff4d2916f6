#include "fieldscan/textio/diagnostic.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "testsupport/child.h"

namespace fieldscan {
namespace {

using testsupport::ChildResult;
using testsupport::run_in_child;

TEST(DiagnosticLine, ExactText) {
  struct Row {
    int number;
    StreamId stream;
    const char* line;
  } const rows[] = {
      {63, console_output(),
       "qurlex: error (63): output conversion error, unit 6, file CONOUT$\r\n"},
      {63,
       {10, "x000.lis"},
       "qurlex: error (63): output conversion error, unit 10, file x000.lis\r\n"},
      {63, internal_write(),
       "qurlex: error (63): output conversion error, unit -5, file Internal Formatted Write\r\n"},
      {38, console_output(), "qurlex: severe (38): error during write, unit 6, file CONOUT$\r\n"},
      {38, {10, "z-12.lis"}, "qurlex: severe (38): error during write, unit 10, file z-12.lis\r\n"},
      {24, console_input(),
       "qurlex: severe (24): end-of-file during read, unit 5, file CONIN$\r\n"},
      {39, console_input(), "qurlex: severe (39): error during read, unit 5, file CONIN$\r\n"},
      {64, console_input(), "qurlex: severe (64): input conversion error, unit 5, file CONIN$\r\n"},
      {64, internal_read(),
       "qurlex: severe (64): input conversion error, unit -5, file Internal Formatted Read\r\n"},
      {30, {10, "x000.lis"}, "qurlex: severe (30): open failure, unit 10, file x000.lis\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.number << " on unit " << row.stream.unit);
    EXPECT_EQ(diagnostic_line(row.number, row.stream), row.line);
  }
}

TEST(SevereExitStatus, FullValue) {
  EXPECT_EQ(severe_exit_status(24), 0xC0000018u);
  EXPECT_EQ(severe_exit_status(38), 0xC0000026u);
  EXPECT_EQ(severe_exit_status(64), 0xC0000040u);
}

TEST(ReportError, WritesTheLineAndGoesOn) {
  const ChildResult r = run_in_child([] {
    report_error(kOutputConversionError, console_output());
    (void)!write(STDOUT_FILENO, "after", 5);
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "qurlex: error (63): output conversion error, unit 6, file CONOUT$\r\n");
  EXPECT_EQ(r.out, "after");
}

// A parent sees the low 8 bits of 0xC0000000 + n, which is n itself.
TEST(ReportSevere, ParentSeesTheMessageNumber) {
  for (int number : {24, 30, 38, 39, 64}) {
    SCOPED_TRACE(number);
    const ChildResult r = run_in_child([number] {
      report_severe(number, console_input());
      (void)!write(STDOUT_FILENO, "not reached", 11);
    });
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, number);
    EXPECT_EQ(r.err, diagnostic_line(number, console_input()));
    EXPECT_EQ(r.out, "");
  }
}

TEST(ReportSevere, HandlerReplacesTheEnd) {
  const ChildResult r = run_in_child([] {
    set_severe_handler([](int number) { _exit(100 + number); });
    report_severe(kErrorDuringWrite, console_output());
  });
  EXPECT_EQ(r.exit_code, 138);
  EXPECT_EQ(r.err, "qurlex: severe (38): error during write, unit 6, file CONOUT$\r\n");
}

TEST(ReportSevere, ReturningHandlerAborts) {
  const ChildResult r = run_in_child([] {
    set_severe_handler([](int) {});
    report_severe(kEndOfFileDuringRead, console_input());
  });
  EXPECT_EQ(r.signal, SIGABRT);
}

TEST(ReportError, ClosedErrorStreamIsIgnored) {
  const ChildResult r = run_in_child([] {
    close(STDERR_FILENO);
    report_error(kOutputConversionError, console_output());
    (void)!write(STDOUT_FILENO, "still here", 10);
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "still here");
}

}  // namespace
}  // namespace fieldscan
