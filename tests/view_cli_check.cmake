# Runs vantrel-view as a user would on what it must refuse: bad options and
# files it cannot read, each with a reason on standard error. Arguments:
# -DVIEW=<program> -DWORK=<scratch dir> -DIMPORT=<ON when the importer is built>
include("${CMAKE_CURRENT_LIST_DIR}/cli_check_common.cmake")

# Refusals come before any frame; SDL's dummy driver stands in for a window.
macro(view)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env SDL_VIDEODRIVER=dummy "${VIEW}" ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
endmacro()

macro(expect_refused expected_status pattern)
  view(${ARGN})
  if(NOT status EQUAL ${expected_status} OR NOT out STREQUAL "")
    fail("'${ARGN}': exit status ${status}, expected ${expected_status}; stdout [${out}]")
  endif()
  if(NOT err MATCHES "^vantrel-view: [^\n]*${pattern}[^\n]*\n$")
    fail("'${ARGN}': stderr [${err}] is not one line matching '${pattern}'")
  endif()
endmacro()

view(--help)
foreach(control "left drag" "wheel" "Shift\\+drag" "W A S D" "R  " "F  " "P  " "Escape")
  if(NOT status EQUAL 0 OR NOT out MATCHES "^Usage: vantrel-view.*${control}" OR NOT err STREQUAL "")
    fail("--help: status ${status}, '${control}' not listed: [${out}] [${err}]")
  endif()
endforeach()

expect_refused(2 "give a mesh file")
expect_refused(2 "--method takes 0, 1 or 2, not '7'" --method 7 a.tri)
expect_refused(2 "--threads takes a count" --threads=-1 a.tri)
expect_refused(2 "give one mesh file" a.tri b.tri)
expect_refused(2 "unknown option '--fast'" --fast a.tri)

expect_refused(1 "missing.tri': No such file or directory" "${WORK}/missing.tri")
expect_refused(1 "it is a directory, not a regular file" "${WORK}")
execute_process(COMMAND mkfifo "${WORK}/fifo.tri")
expect_refused(1 "it is a FIFO, not a regular file" "${WORK}/fifo.tri")
# The readers' own reasons, after the window opened.
file(WRITE "${WORK}/bad.tri" "0 0 0 1 0 0 0 1 0\n1 2 3 x 5\n")
expect_refused(1 "line 2: 'x' is not a number" "${WORK}/bad.tri")
file(WRITE "${WORK}/empty.tri" "")
expect_refused(1 "holds no triangle" "${WORK}/empty.tri")
file(WRITE "${WORK}/nan.tri" "nan 0 0 1 0 0 0 1 0\n")
expect_refused(1 "no usable triangle" "${WORK}/nan.tri")
if(IMPORT)
  file(WRITE "${WORK}/broken.ply" "ply\nformat ascii 1.0\nelement vertex 3\nend_header\n1 2\n")
  expect_refused(1 "cannot import '[^']*broken.ply': .+" "${WORK}/broken.ply")
endif()

# Without a display: no window, and says so.
write_cube_obj("${WORK}/cube.obj")
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=SDL_VIDEODRIVER
                        "${VIEW}" "${WORK}/cube.obj"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
if(NOT status EQUAL 1 OR NOT err MATCHES "^vantrel-view: cannot open a window: [^\n]+\n$")
  fail("no display: status ${status}, stderr [${err}]")
endif()
finish()
