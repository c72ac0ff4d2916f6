# Installation: the two programs, the libraries behind LOAD and FIELDS with
# their public headers, and a CMake package, so that another project can
#
#   find_package(fieldscan 1.0 REQUIRED)
#   target_link_libraries(app PRIVATE fieldscan::field)
#
# and include "mapfile/load.h" and "field/fields.h".
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(FIELDSCAN_PACKAGE_VERSION 1.0.0)
set(FIELDSCAN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/fieldscan)

install(TARGETS fieldscan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET fieldmap)
  install(TARGETS fieldmap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# field links mapfile, which links textio; all three go into the package.
install(TARGETS textio mapfile field
  EXPORT fieldscanTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The public headers, under the same paths as in the source tree.
install(FILES mapfile/grid.h mapfile/load.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/mapfile)
install(FILES field/fields.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/field)
install(FILES textio/text.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/textio)

install(EXPORT fieldscanTargets
  NAMESPACE fieldscan::
  DESTINATION ${FIELDSCAN_CMAKE_DIR})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/fieldscanConfig.cmake.in
  ${PROJECT_BINARY_DIR}/fieldscanConfig.cmake
  INSTALL_DESTINATION ${FIELDSCAN_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/fieldscanConfigVersion.cmake
  VERSION ${FIELDSCAN_PACKAGE_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/fieldscanConfig.cmake
  ${PROJECT_BINARY_DIR}/fieldscanConfigVersion.cmake
  DESTINATION ${FIELDSCAN_CMAKE_DIR})
