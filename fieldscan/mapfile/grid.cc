#include "fieldscan/mapfile/grid.h"

namespace fieldscan {

GridSize SIZE;

}  // namespace fieldscan
