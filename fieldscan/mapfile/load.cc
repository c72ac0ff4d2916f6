#include "fieldscan/mapfile/load.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

#include "fieldscan/mapfile/map_contents.h"
#include "fieldscan/mapfile/map_reader.h"

namespace fieldscan {
namespace {

// The loader's own items (title, date, axis texts, ISA..ISC) are read and
// used by nothing else; everything else goes into SIZE as it arrives and
// the planes straight into BMAP.
std::function<float*(std::size_t)> into(float BMAP[]) {
  return [BMAP](std::size_t) { return BMAP; };
}

}  // namespace

void advise_large_pages(float BMAP[], std::size_t count) {
  const long page = sysconf(_SC_PAGESIZE);
  if (page <= 0 || count == 0) return;
  const auto mask = static_cast<std::uintptr_t>(page) - 1;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(BMAP) + mask) & ~mask;
  const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(BMAP + count) & ~mask;
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void load_from_source(ByteSource& source, float BMAP[], const std::int32_t& MXS, Text80& MESSAGE,
                      std::int16_t& STATUS) {
  MapContents items;
  STATUS = read_map(source, SIZE, items, MXS, into(BMAP), MESSAGE);
}

void LOAD(const Text80& MAPNAME, float BMAP[], const std::int32_t& MXS, Text80& MESSAGE,
          std::int16_t& STATUS) {
  MapContents items;
  STATUS = read_map_file(trim_blanks(view(MAPNAME)), SIZE, items, MXS, into(BMAP), MESSAGE);
}

}  // namespace fieldscan
