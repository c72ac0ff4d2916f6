# Installation: the two programs, the libraries behind FieldMap, LOAD and
# FIELDS with their public headers, and a CMake package, so that another
# project can
#
#   find_package(fieldscan 2.0 REQUIRED)
#   target_link_libraries(app PRIVATE fieldscan::field)
#
# and include <fieldscan/field/field_map.h>.  Everything the package puts on
# disk carries the project's name: the headers sit under include/fieldscan/,
# the libraries are libfieldscan_<module>.a.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(FIELDSCAN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/fieldscan)

install(TARGETS fieldscan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET fieldmap)
  install(TARGETS fieldmap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# field links mapfile, which links textio; all three go into the package,
# exported as fieldscan::field, fieldscan::mapfile and fieldscan::textio.
set(FIELDSCAN_INSTALLED_LIBRARIES textio mapfile field)
foreach(library ${FIELDSCAN_INSTALLED_LIBRARIES})
  set_target_properties(${library} PROPERTIES OUTPUT_NAME fieldscan_${library})
endforeach()
install(TARGETS ${FIELDSCAN_INSTALLED_LIBRARIES}
  EXPORT fieldscanTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The public headers, under include/fieldscan/ with the paths they have in
# the source tree.  In the tree they include each other as "mapfile/grid.h";
# the installed copies say "fieldscan/mapfile/grid.h", so that a user's
# include path needs only include/.  Every header a public header includes
# must itself be public.
set(FIELDSCAN_PUBLIC_HEADERS
  field/field_map.h
  field/fields.h
  field/interpolation.h
  mapfile/grid.h
  mapfile/load.h
  mapfile/map_contents.h
  mapfile/node.h
  textio/text.h)
set(staged ${PROJECT_BINARY_DIR}/public_headers)
foreach(header ${FIELDSCAN_PUBLIC_HEADERS})
  set(source ${PROJECT_SOURCE_DIR}/${header})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(STRINGS ${source} includes REGEX "^#include \"")
  foreach(line ${includes})
    string(REGEX REPLACE "^#include \"([^\"]*)\".*" "\\1" included "${line}")
    if(NOT included IN_LIST FIELDSCAN_PUBLIC_HEADERS)
      message(FATAL_ERROR "public header ${header} includes ${included}, which is not installed")
    endif()
  endforeach()
  file(READ ${source} text)
  string(REGEX REPLACE "(^|\n)#include \"" "\\1#include \"fieldscan/" text "${text}")
  get_filename_component(folder ${header} DIRECTORY)
  file(MAKE_DIRECTORY ${staged}/fieldscan/${folder})
  file(WRITE ${staged}/next "${text}")
  file(COPY_FILE ${staged}/next ${staged}/fieldscan/${header} ONLY_IF_DIFFERENT)
  install(FILES ${staged}/fieldscan/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/fieldscan/${folder})
endforeach()
file(REMOVE ${staged}/next)

install(EXPORT fieldscanTargets
  NAMESPACE fieldscan::
  DESTINATION ${FIELDSCAN_CMAKE_DIR})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/fieldscanConfig.cmake.in
  ${PROJECT_BINARY_DIR}/fieldscanConfig.cmake
  INSTALL_DESTINATION ${FIELDSCAN_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/fieldscanConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/fieldscanConfig.cmake
  ${PROJECT_BINARY_DIR}/fieldscanConfigVersion.cmake
  DESTINATION ${FIELDSCAN_CMAKE_DIR})
