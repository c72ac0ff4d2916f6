// Fuzz target for a whole run of the tool, in-process: arbitrary bytes as
// standard input against a small map.
//
// At start-up a map is written to a fresh temporary directory, which is
// the working directory while a session runs, so the listing files of the
// requests land there.  Each input runs one session: the bytes (at most 4 KB) are written
// into a pipe whose write end is then closed, the pipe is the session's
// standard input and /dev/null its standard output.  A severe diagnostic
// leaves the session by an exception from the severe handler.
//
// Checked: the session ends, either orderly (status 0: a scan reached its
// 100-point limit) or with one of the severe diagnostics that a dialogue can
// raise (24, 30, 38, 39, 64).  Input is finite and every question consumes
// a line, so the session must end; a hang is reported by libFuzzer's
// timeout.  Any other ending aborts.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "driver/run.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/textio/diagnostic.h"

#if defined(__SANITIZE_ADDRESS__)
#define DIALOGUE_FUZZ_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DIALOGUE_FUZZ_SANITIZER 1
#endif
#endif
#ifdef DIALOGUE_FUZZ_SANITIZER
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

constexpr std::size_t kMaxInput = 4096;  // well below a pipe's capacity

struct Severe {
  int number;
};

void throw_severe(int number) { throw Severe{number}; }

[[noreturn]] void fail(const char* what, int number) {
  std::fprintf(stderr, "dialogue_fuzz: %s (%d)\n", what, number);
  std::abort();
}

// A map of 5 x 3 x 4 nodes over x 0..8, z -1..2 with a 30-degree sector,
// mirror planes in x and z and one unmeasured node, so that scans meet
// every kind of point message as well as records.
fieldscan::MapContents session_map() {
  fieldscan::MapContents contents;
  contents.angle = 30.0f;
  contents.zmin = -1.0f;
  contents.ida = 1;
  contents.idc = 2;
  contents.nx = 5;
  contents.ny = 3;
  contents.nz = 4;
  contents.dx = 2.0f;
  fieldscan::fill_values(contents, [](float x, float y, float z) {
    return std::array<float, 3>{10.0f * x - 25.0f, y, 300.0f + 40.0f * z};
  });
  for (int c = 1; c <= 3; ++c)
    contents.values[fieldscan::value_index(contents, 4, 2, 3, c)] = 999999.0f;
  return contents;
}

struct Session {
  int dir_fd = -1;   // the session's working directory
  int home_fd = -1;  // the process's own working directory
  int null_fd = -1;
  int quiet_fd = -1;  // /dev/null, for the diagnostics of the session
  int error_fd = -1;  // the real standard error stream
};

Session& setup() {
  static Session session = [] {
    Session s;
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("fieldscan_dialogue_fuzz_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    if (!fieldscan::write_map_file((dir / "session.map").string(), session_map()))
      fail("cannot write the map", 0);
    s.dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    s.home_fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s.dir_fd < 0 || s.home_fd < 0) fail("cannot open the working directories", 0);
    s.null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    s.quiet_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    s.error_fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (s.null_fd < 0 || s.quiet_fd < 0 || s.error_fd < 0) fail("cannot open /dev/null", 0);
    fieldscan::set_severe_handler(throw_severe);
#ifdef DIALOGUE_FUZZ_SANITIZER
    // Sanitizer reports keep the real error stream while a session runs.
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(s.error_fd)));
#endif
    static const fs::path removed_at_exit = dir;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removed_at_exit, ec);
    });
    return s;
  }();
  return session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  Session& s = setup();

  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0) fail("pipe", 0);
  if (size > 0 && ::write(input[1], data, size) != static_cast<ssize_t>(size)) fail("write", 0);
  ::close(input[1]);

  char program[] = "fieldscan";
  char map[] = "session.map";
  char* argv[] = {program, map, nullptr};

  // The session's diagnostics (one per overflowing record, and the severe
  // one at the end) are not wanted on the fuzzer's console.
  // The session works in its own directory, where its map and listing
  // files are; the process's working directory is restored afterwards.
  if (::fchdir(s.dir_fd) != 0) fail("cannot enter the session's directory", 0);
  ::dup2(s.quiet_fd, STDERR_FILENO);
  int number = 0;
  try {
    const int status = fieldscan::run_session(2, argv, input[0], s.null_fd);
    if (status != 0) number = -status;
  } catch (const Severe& severe) {
    number = severe.number;
  }
  ::dup2(s.error_fd, STDERR_FILENO);
  if (::fchdir(s.home_fd) != 0) fail("cannot return to the working directory", 0);
  ::close(input[0]);

  switch (number) {
    case 0:
    case fieldscan::kEndOfFileDuringRead:
    case fieldscan::kOpenFailure:
    case fieldscan::kErrorDuringWrite:
    case fieldscan::kErrorDuringRead:
    case fieldscan::kInputConversionError:
      return 0;
    default:
      fail("the session ended in a way no dialogue may end", number);
  }
}
