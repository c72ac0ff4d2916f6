// Start-up: the map file name, the one call of LOAD, then the header and the
// dialogue.
#include "driver/run.h"

#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "driver/dialogue.h"
#include "driver/header.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/load.h"
#include "fieldscan/textio/input.h"
#include "fieldscan/textio/output.h"

namespace fieldscan {
namespace {

// The field array of the run: reserved once, in static storage, so that
// only the pages a map reaches become resident.  Those are large pages (see
// advise_large_pages), so the array starts on one and fills whole ones: the
// MXS values LOAD may use and the rest of the last large page.
constexpr std::size_t kLargePage = 2 * 1024 * 1024;
constexpr std::size_t kPerPage = kLargePage / sizeof(float);
alignas(kLargePage) float BMAP[(MXS + kPerPage - 1) / kPerPage * kPerPage];

// Asks for the map file name.  Returns false at end of input.
bool ask_map_name(InputStream& input, OutputStream& console, Text80& MAPNAME) {
  Record question;
  question.skip(1).literal("MAP filename [<RET>=exit]: ").open_line();
  console.write_record(question);
  InputRecord answer;
  switch (input.read_record(answer)) {
    case InputStream::Result::kEndOfInput:
      return false;
    case InputStream::Result::kError:
      report_severe(kErrorDuringRead, input.id());
    case InputStream::Result::kRecord:
      break;
  }
  MAPNAME = make_text<80>(read_text_field(answer, 80, 80));
  return true;
}

}  // namespace

int run(int argc, char** argv) {
  // A console that has gone away is a refused write (severe diagnostic 38),
  // not a silent death by signal.
  std::signal(SIGPIPE, SIG_IGN);
  return run_session(argc, argv, STDIN_FILENO, STDOUT_FILENO);
}

int run_session(int argc, char** argv, int input_fd, int output_fd) {
  OutputStream console(output_fd, console_output());
  InputStream input(input_fd, console_input());

  Text80 MAPNAME = make_text<80>("");
  if (argc >= 2) {
    MAPNAME = make_text<80>(argv[1]);
  } else if (!ask_map_name(input, console, MAPNAME)) {
    return 0;
  }
  if (trim_blanks(view(MAPNAME)).empty()) return 0;

  Text80 MESSAGE = make_text<80>("");
  std::int16_t STATUS = 0;
  advise_large_pages(BMAP, std::size(BMAP));
  LOAD(MAPNAME, BMAP, MXS, MESSAGE, STATUS);
  if (STATUS != 0) {
    console.write_free_form({view(MESSAGE)});
    return 0;
  }

  write_map_header(console, SIZE);
  run_dialogue(input, console, BMAP, MESSAGE, STATUS);
  return 0;
}

}  // namespace fieldscan
