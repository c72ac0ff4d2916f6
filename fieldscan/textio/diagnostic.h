// Run-time diagnostics: one line on the standard error stream,
//   "<severity prefix> (<number>): <message text>"
// for example
//   qurlex: error (63): output conversion error, unit 6, file CONOUT$
// followed by carriage return and line feed.
//
// A diagnostic of severity "error" or lower is written and the run goes on.
// A severe one ends the process at once with exit status 0xC0000000 plus its
// number.  A parent process on Linux sees only the low 8 bits of that
// status, which is the message number itself (24, 38, 39, 64, ...).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fieldscan {

// A stream as named in diagnostics: its unit number and its name.
struct StreamId {
  int unit;
  std::string name;
};

// The streams with fixed names.
StreamId console_output();               // 6, "CONOUT$"
StreamId console_input();                // 5, "CONIN$"
StreamId internal_write();               // -5, "Internal Formatted Write"
StreamId internal_read();                // -5, "Internal Formatted Read"
inline constexpr int kListingUnit = 10;  // listing files: unit 10, their name

// Message numbers.
enum Diagnostic : int {
  kEndOfFileDuringRead = 24,    // severe
  kOpenFailure = 30,            // severe: a listing file cannot be opened
  kErrorDuringWrite = 38,       // severe
  kErrorDuringRead = 39,        // severe
  kOutputConversionError = 63,  // error: a field was filled with asterisks
  kInputConversionError = 64,   // severe
};

// The exit status of the process after severe diagnostic `number`.
constexpr std::uint32_t severe_exit_status(int number) {
  return 0xC0000000u + static_cast<std::uint32_t>(number);
}

// The diagnostic line for `number` on `stream`, with its line end.
std::string diagnostic_line(int number, const StreamId& stream);

// Writes the non-fatal diagnostic `number` (63) to the standard error stream.
void report_error(int number, const StreamId& stream);

// Writes the severe diagnostic `number` and ends the process with
// severe_exit_status(number).  Open files are closed by the operating system;
// every record was already handed to it when it was written.
[[noreturn]] void report_severe(int number, const StreamId& stream);

// Tests may replace what happens after a severe diagnostic line is written
// (the default ends the process).  The handler must not return.
using SevereHandler = void (*)(int number);
void set_severe_handler(SevereHandler handler);

}  // namespace fieldscan
