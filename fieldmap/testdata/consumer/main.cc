// field_at MAP X Y Z [MAP2]: the field of a map at one point, through the
// installed package.  With a second map, both are loaded into the same
// process and the field of each at the point is printed, one line each.
#include <fieldscan/field/field_map.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

// Prints the field of `map` at (x, y, z), or why it has none.
void print_field(const fieldscan::FieldMap& map, float x, float y, float z) {
  fieldscan::FieldVector b;
  const fieldscan::FieldStatus status = map.field(x, y, z, b);
  if (status == fieldscan::FieldStatus::kOk) {
    std::printf("%.9g %.9g %.9g\n", b.bx, b.by, b.bz);
  } else {
    const std::string_view message = fieldscan::field_message(status);
    std::printf("field %d: %.*s\n", static_cast<int>(status), static_cast<int>(message.size()),
                message.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: field_at MAP X Y Z [MAP2]\n");
    return 2;
  }
  std::vector<const char*> names = {argv[1]};
  if (argc == 6) names.push_back(argv[5]);
  std::vector<fieldscan::FieldMap> maps(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    fieldscan::MapError error;
    if (!fieldscan::FieldMap::load(names[i], maps[i], error)) {
      std::printf("load %d: %s\n", error.status, error.message.c_str());
      return 1;
    }
  }
  const float x = std::strtof(argv[2], nullptr);
  const float y = std::strtof(argv[3], nullptr);
  const float z = std::strtof(argv[4], nullptr);
  for (const fieldscan::FieldMap& map : maps) print_field(map, x, y, z);
  return 0;
}
