// The scan request dialogue: three questions per request, each with a
// default that the previous answers set, then the scan of that request
// into its listing file.
#pragma once

#include <cstdint>
#include <string>

#include "fieldscan/textio/input.h"
#include "fieldscan/textio/output.h"
#include "fieldscan/textio/text.h"

namespace fieldscan {

// The listing file name of a request: the direction letter, the height
// truncated toward zero as an integer of width 3 with blanks turned into
// zeros, ".lis" (x000.lis, z012.lis, x0-5.lis, x-15.lis).  A height whose
// integer part does not fit gives "***" and the output-conversion
// diagnostic for the internal write.  Returned without trailing blanks.
std::string listing_file_name(char letter, float z);

// Asks scan requests and runs their scans until a scan reaches its
// 100-point limit; returns then.  End of input, an unreadable number or a
// listing file that cannot be opened or written end the process with a
// severe diagnostic.
void run_dialogue(InputStream& input, OutputStream& console, const float BMAP[], Text80& MESSAGE,
                  std::int16_t& STATUS);

}  // namespace fieldscan
