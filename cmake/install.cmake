# Installation: the two programs, the libraries (map files, field
# evaluation, formats and queries) with their headers, and a CMake package,
# so that another project can
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

# The libraries a user may link, lowest layer first.  Each one's headers
# are installed with the paths they have in this tree (fieldscan/<folder>/
# <name>.h), so the code a user compiles is the code in the tree; a
# header that includes one outside its library's dependencies fails the
# install test, which compiles every installed header alone.
set(FIELDSCAN_INSTALLED_LIBRARIES textio mapfile mapwriter field formats query)
foreach(library ${FIELDSCAN_INSTALLED_LIBRARIES})
  set_target_properties(${library} PROPERTIES OUTPUT_NAME fieldscan_${library})
  get_target_property(folder ${library} SOURCE_DIR)
  file(GLOB headers ${folder}/*.h)
  target_sources(${library} PUBLIC FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR} FILES ${headers})
endforeach()
install(TARGETS ${FIELDSCAN_INSTALLED_LIBRARIES}
  EXPORT fieldscanTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

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
