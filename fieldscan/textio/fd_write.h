// Handing bytes to the operating system without buffering.
#pragma once

#include <string_view>

namespace fieldscan {

// Writes all of `bytes` to the open descriptor `fd` with write(2), going on
// after interrupted and partial writes (and waiting for room on a
// non-blocking descriptor).  Returns false as soon as the operating system
// refuses a write; some of the bytes may have been written then.
bool write_fully(int fd, std::string_view bytes);

}  // namespace fieldscan
