# The install test (cmake -P): installs the build tree BUILD_DIR into a
# scratch prefix under WORK_DIR, converts a generated table with the
# installed fieldmap, builds the consumer project CONSUMER_DIR against the
# installed package and checks what it prints.
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " line "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${line}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_equal actual expected what)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "${what}: expected\n[${expected}]\ngot\n[${actual}]")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(path bin/fieldscan bin/fieldmap include/fieldscan/field/field_map.h
             include/fieldscan/field/fields.h include/fieldscan/mapfile/load.h)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
# Nothing the package installs may collide with another package's files:
# the headers sit in one folder of the project's name, and every library
# carries the project's name.
file(GLOB top_includes LIST_DIRECTORIES true RELATIVE ${prefix} ${prefix}/include/*)
expect_equal("${top_includes}" "include/fieldscan" "installed under include/")
file(GLOB_RECURSE libraries RELATIVE ${prefix} ${prefix}/lib*/*.a ${prefix}/lib*/*.so*)
# The Python module's extension sits in the package folder fieldscan/, which
# carries the name.
list(FILTER libraries EXCLUDE REGEX "^lib[^/]*/python3[^/]*/dist-packages/fieldscan/[^/]+$")
if(NOT libraries)
  message(FATAL_ERROR "no libraries installed under ${prefix}")
endif()
foreach(library ${libraries})
  get_filename_component(name ${library} NAME)
  if(NOT name MATCHES "^libfieldscan_")
    message(FATAL_ERROR "library without the project's name installed: ${library}")
  endif()
endforeach()
file(GLOB_RECURSE config ${prefix}/*/fieldscanConfig.cmake)
if(NOT config)
  message(FATAL_ERROR "no fieldscanConfig.cmake under ${prefix}")
endif()

# Map A of the field evaluation tests: a 2 x 2 x 2 grid with steps 1 and a
# field linear in x, y and z, so interpolation is exact:
# BX = 1 + 2x + 3y + 4z, BY = 10 + 20x - 5y + z, BZ = -2 + x + y - 8z.
set(table "x y z bx by bz\n")
foreach(z 0 1)
  foreach(y 0 1)
    foreach(x 0 1)
      math(EXPR bx "1 + 2 * ${x} + 3 * ${y} + 4 * ${z}")
      math(EXPR by "10 + 20 * ${x} - 5 * ${y} + ${z}")
      math(EXPR bz "-2 + ${x} + ${y} - 8 * ${z}")
      string(APPEND table "${x} ${y} ${z} ${bx} ${by} ${bz}\n")
    endforeach()
  endforeach()
endforeach()
file(WRITE ${WORK_DIR}/linear.txt "${table}")
# A second map on a wider grid (steps 2) with another field, BX = 100 + x,
# BY = 200 + y, BZ = 300 + z: loaded beside the first, each map must keep
# its own grid and values.
set(table "x y z bx by bz\n")
foreach(z 0 2)
  foreach(y 0 2)
    foreach(x 0 2)
      math(EXPR bx "100 + ${x}")
      math(EXPR by "200 + ${y}")
      math(EXPR bz "300 + ${z}")
      string(APPEND table "${x} ${y} ${z} ${bx} ${by} ${bz}\n")
    endforeach()
  endforeach()
endforeach()
file(WRITE ${WORK_DIR}/wide.txt "${table}")
run(${prefix}/bin/fieldmap convert linear.txt linear.map --title "linear" --date "08-DEC-2026")
run(${prefix}/bin/fieldmap convert wide.txt wide.map)
run(${prefix}/bin/fieldmap info linear.map)
string(FIND "${run_output}" "Nodes:        8 measured, 0 unmeasured" found)
if(found EQUAL -1)
  message(FATAL_ERROR "unexpected info output:\n${run_output}")
endif()

set(flags)
if(SANITIZE)
  # The installed libraries were built with the sanitizers.
  set(flags "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined"
            "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined")
endif()
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${prefix} ${flags})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)

run(${WORK_DIR}/consumer/field_at linear.map 0.25 0.5 0.75)
expect_equal("${run_output}" "6 13.25 -7.25\n" "field at (0.25, 0.5, 0.75)")
run(${WORK_DIR}/consumer/field_at linear.map 1 1 1)
expect_equal("${run_output}" "10 26 -8\n" "field at the far corner")
run(${WORK_DIR}/consumer/field_at linear.map 0.5 0.5 1.5)
expect_equal("${run_output}" "field 3: Point is outside Z-limits\n" "point above the map")
execute_process(COMMAND ${WORK_DIR}/consumer/field_at missing.map 0 0 0
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out)
expect_equal("${rc}: ${out}" "1: load 1: Cannot open the MAP file\n" "missing map")
# Two maps in one process, in both orders: (1.5, 0.5, 0.5) lies outside
# the first map and inside the second.
run(${WORK_DIR}/consumer/field_at linear.map 1.5 0.5 0.5 wide.map)
expect_equal("${run_output}" "field 1: Point is outside X-limits\n101.5 200.5 300.5\n"
             "two maps, the narrow one first")
run(${WORK_DIR}/consumer/field_at wide.map 0.25 0.5 0.75 linear.map)
expect_equal("${run_output}" "100.25 200.5 300.75\n6 13.25 -7.25\n"
             "two maps, the wide one first")
# A G4beamline file (mm, T) of the same linear field as map A over a 10 mm
# cube, read through the installed formats and query libraries and sampled
# along its diagonal and beyond.
set(table "grid X0=0 Y0=0 Z0=0 nX=2 nY=2 nZ=2 dX=10 dY=10 dZ=10\ndata\n")
foreach(z 0 1)
  foreach(y 0 1)
    foreach(x 0 1)
      math(EXPR bx "1 + 2 * ${x} + 3 * ${y} + 4 * ${z}")
      math(EXPR by "10 + 20 * ${x} - 5 * ${y} + ${z}")
      math(EXPR bz "-2 + ${x} + ${y} - 8 * ${z}")
      string(APPEND table "${x}0 ${y}0 ${z}0 ${bx} ${by} ${bz}\n")
    endforeach()
  endforeach()
endforeach()
file(WRITE ${WORK_DIR}/linear.g4bl "${table}")
run(${WORK_DIR}/consumer/line_of_table linear.g4bl 0 0 0 15 15 15 4)
expect_equal("${run_output}" "lengths in mm, field in T\n0 0 0 1 10 -2\n5 5 5 5.5 18 -5\n10 10 10 10 26 -8\n15 15 15 outside Z-limits\n"
             "a line through a G4beamline table")

# The installed fieldscan lists the field of a converted table: the
# purging magnet in millimetres along x at z = 20 mm ...
run(${prefix}/bin/fieldmap convert ${PURG_TABLE} purg.map --scale 1000)
file(WRITE ${WORK_DIR}/purg.answers "x\n20.\n-50.,50.,10.\n")
execute_process(COMMAND ${prefix}/bin/fieldscan purg.map
  WORKING_DIRECTORY ${WORK_DIR} INPUT_FILE ${WORK_DIR}/purg.answers
  OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(STRINGS ${WORK_DIR}/x020.lis listing)
list(LENGTH listing records)
expect_equal("${records}" "11" "records in x020.lis")
list(GET listing 5 middle)
string(REGEX MATCH "^  0\\.0 +[-0-9.]+ +[0-9.]+" row "${middle}")
if(NOT row)
  message(FATAL_ERROR "unexpected listing record: [${middle}]\n${out}${err}")
endif()

# ... and reports a point next to an absent node as unmeasured.
file(WRITE ${WORK_DIR}/holes.txt
  "0 0 0 1 2 3\n1 0 0 1 2 3\n0 1 0 1 2 3\n1 1 0 1 2 3\n2 1 0 1 2 3\n"
  "0 0 1 1 2 3\n1 0 1 1 2 3\n2 0 1 1 2 3\n0 1 1 1 2 3\n1 1 1 1 2 3\n2 1 1 1 2 3\n")
run(${prefix}/bin/fieldmap convert holes.txt holes.map)
expect_equal("${run_output}" "holes.map: 3 x 2 x 2 nodes, 11 measured, 1 unmeasured; lengths in unknown units, field in unknown units (--units LENGTH,FIELD records them)\n"
             "conversion of a table with an absent node")
file(WRITE ${WORK_DIR}/holes.answers "x\n\n0.,2.,.5\n")
execute_process(COMMAND ${prefix}/bin/fieldscan holes.map
  WORKING_DIRECTORY ${WORK_DIR} INPUT_FILE ${WORK_DIR}/holes.answers
  OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(FIND "${out}" "Non measured point - probably iron" found)
if(found EQUAL -1)
  message(FATAL_ERROR "fieldscan did not report the absent node:\n${out}${err}")
endif()
message(STATUS "install test passed")
