#include "driver/dialogue.h"

#include <cmath>

#include "driver/scan.h"
#include "fieldscan/textio/diagnostic.h"
#include "fieldscan/textio/record.h"

namespace fieldscan {
namespace {

// The defaults shown in the questions; they live for the whole run.
struct Defaults {
  char letter = 'x';
  float z = 0.0f;
  float x0 = 0.0f;
  float xmax = 10.0f;
  float xinc = 1.0f;
};

// Asks until the first character of an answer is "x", "z" or a blank (the
// default).  Returns the direction code, and makes the letter the default.
int ask_direction(InputStream& input, OutputStream& console, Defaults& defaults) {
  for (;;) {
    Record question;
    question.skip(1)
        .literal("Input direction x or z (def=")
        .text(std::string_view(&defaults.letter, 1))
        .literal("): ")
        .open_line();
    console.write_record(question);
    InputRecord answer;
    input.read_record_or_fail(answer);
    char letter = read_text_field(answer, 1, 1)[0];
    if (letter == ' ') letter = defaults.letter;
    if (letter == 'x' || letter == 'z') {
      defaults.letter = letter;
      return letter == 'x' ? 1 : 2;
    }
  }
}

// The height: a first character that is blank keeps the default; otherwise
// the first six characters of the answer are one fixed-point field with one
// implied decimal, read from the text of the answer.
float ask_height(InputStream& input, OutputStream& console, Defaults& defaults) {
  Record question;
  question.skip(1).literal("Input z (def=").fixed(defaults.z, 6, 1).literal("): ").open_line();
  console.write_record(question);
  InputRecord answer;
  input.read_record_or_fail(answer);
  InputRecord text{read_text_field(answer, 80, 80), 0};
  if (text.text[0] == ' ') return defaults.z;
  float z = 0.0f;
  if (!read_fixed_field(text, 6, 1, z)) report_severe(kInputConversionError, internal_read());
  defaults.z = z;
  return z;
}

// The range: three fields of six columns.  Three exact zeros keep the
// defaults; anything else replaces all three, zeros included.
void ask_range(InputStream& input, OutputStream& console, Defaults& defaults,
               ScanRequest& request) {
  Record question;
  question.skip(1)
      .literal("Input x0, xmax, xinc (def=")
      .fixed(defaults.x0, 4, 0)
      .fixed(defaults.xmax, 4, 0)
      .fixed(defaults.xinc, 4, 0)
      .literal(") ")
      .open_line();
  console.write_record(question);
  InputRecord answer;
  input.read_record_or_fail(answer);
  float values[3] = {0.0f, 0.0f, 0.0f};
  for (float& value : values) {
    if (!read_fixed_field(answer, 6, 1, value)) {
      report_severe(kInputConversionError, input.id());
    }
  }
  if (values[0] != 0.0f || values[1] != 0.0f || values[2] != 0.0f) {
    defaults.x0 = values[0];
    defaults.xmax = values[1];
    defaults.xinc = values[2];
  }
  request.x0 = defaults.x0;
  request.xmax = defaults.xmax;
  request.xinc = defaults.xinc;
}

}  // namespace

std::string listing_file_name(char letter, float z) {
  // Truncation toward zero; heights far outside the three columns are pinned
  // to a value that still overflows them, so no conversion is undefined.
  const float truncated = std::trunc(z);
  std::int32_t integer_part = 0;
  if (truncated > 99999.0f) {
    integer_part = 99999;
  } else if (truncated < -99999.0f) {
    integer_part = -99999;
  } else {
    integer_part = static_cast<std::int32_t>(truncated);
  }
  Record layout;
  layout.text(std::string_view(&letter, 1)).integer(integer_part, 3).literal(".lis");
  Text80 name;
  write_record_to_text(name, layout);
  if (name[1] == ' ') name[1] = '0';
  if (name[2] == ' ') name[2] = '0';
  return std::string(trim_blanks(view(name)));
}

void run_dialogue(InputStream& input, OutputStream& console, const float BMAP[], Text80& MESSAGE,
                  std::int16_t& STATUS) {
  Defaults defaults;
  for (;;) {
    ScanRequest request;
    request.direction = ask_direction(input, console, defaults);
    request.z = ask_height(input, console, defaults);
    ask_range(input, console, defaults, request);

    const std::string name = listing_file_name(defaults.letter, request.z);
    OutputStream listing(-1, StreamId{kListingUnit, name});
    if (!listing.open_listing(name)) report_severe(kOpenFailure, listing.id());
    const ScanOutcome outcome = run_scan(request, BMAP, console, listing, MESSAGE, STATUS);
    listing.close();
    if (outcome == ScanOutcome::kPointLimit) return;
  }
}

}  // namespace fieldscan
