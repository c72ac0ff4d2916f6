#include "fieldscan/textio/diagnostic.h"

#include <unistd.h>

#include <cstdlib>

#include "fieldscan/textio/fd_write.h"

namespace fieldscan {
namespace {

struct Message {
  int number;
  const char* severity;
  const char* text;  // followed by ", unit <unit>, file <name>"
};

constexpr Message kMessages[] = {
    {kEndOfFileDuringRead, "severe", "end-of-file during read"},
    {kOpenFailure, "severe", "open failure"},
    {kErrorDuringWrite, "severe", "error during write"},
    {kErrorDuringRead, "severe", "error during read"},
    {kOutputConversionError, "error", "output conversion error"},
    {kInputConversionError, "severe", "input conversion error"},
};

// Numbers outside the table are not raised by the tool; should one appear it
// is treated as severe.
constexpr Message kUnknown = {0, "severe", "run-time error"};

const Message& lookup(int number) {
  for (const auto& m : kMessages) {
    if (m.number == number) return m;
  }
  return kUnknown;
}

// The process exit status after a severe diagnostic is 0xC0000000 plus the
// message number.  exit() takes an int and a parent process on Linux sees
// only the low 8 bits of it (WEXITSTATUS), which is the message number itself
// for every number the tool raises (24, 30, 38, 39, 64).
[[noreturn]] void exit_after_severe(int number) {
  std::exit(static_cast<int>(severe_exit_status(number)));
}

SevereHandler severe_handler = nullptr;  // nullptr: exit_after_severe

void write_to_error_stream(const std::string& line) {
  // A failing error stream cannot be reported anywhere; the line is lost.
  (void)write_fully(STDERR_FILENO, line);
}

}  // namespace

StreamId console_output() { return {6, "CONOUT$"}; }
StreamId console_input() { return {5, "CONIN$"}; }
StreamId internal_write() { return {-5, "Internal Formatted Write"}; }
StreamId internal_read() { return {-5, "Internal Formatted Read"}; }

std::string diagnostic_line(int number, const StreamId& stream) {
  const Message& m = lookup(number);
  return std::string("qurlex: ") + m.severity + " (" + std::to_string(number) + "): " + m.text +
         ", unit " + std::to_string(stream.unit) + ", file " + stream.name + "\r\n";
}

void report_error(int number, const StreamId& stream) {
  write_to_error_stream(diagnostic_line(number, stream));
}

void report_severe(int number, const StreamId& stream) {
  write_to_error_stream(diagnostic_line(number, stream));
  if (severe_handler != nullptr) {
    severe_handler(number);
    std::abort();  // a handler must not return
  }
  exit_after_severe(number);
}

void set_severe_handler(SevereHandler handler) { severe_handler = handler; }

}  // namespace fieldscan
