// fieldscan: inspects a measured three-dimensional field map.
#include "driver/run.h"

int main(int argc, char** argv) { return fieldscan::run(argc, argv); }
