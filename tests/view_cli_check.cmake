# Runs vantrel-view as a user would on what it must refuse, each with one
# line of reason on standard error. -DVIEW=<program> -DWORK=<scratch dir>
include("${CMAKE_CURRENT_LIST_DIR}/cli_check_common.cmake")

# Refusals come before any frame; SDL's dummy driver stands in for a window.
macro(expect_refused expected_status pattern)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env SDL_VIDEODRIVER=dummy ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
  if(NOT status EQUAL ${expected_status} OR NOT out STREQUAL ""
     OR NOT err MATCHES "^vantrel-view: [^\n]*${pattern}[^\n]*\n$")
    fail("'${ARGN}': status ${status}, expected ${expected_status}; [${out}] [${err}]")
  endif()
endmacro()

execute_process(COMMAND "${VIEW}" --help RESULT_VARIABLE status OUTPUT_VARIABLE out)
foreach(control "left drag" "wheel" "Shift\\+drag" "W A S D" "R  " "F  " "P  " "Escape")
  if(NOT status EQUAL 0 OR NOT out MATCHES "^Usage: vantrel-view.*${control}")
    fail("--help: status ${status}, '${control}' not listed: [${out}]")
  endif()
endforeach()

expect_refused(2 "give a mesh file" "${VIEW}")
expect_refused(2 "--method takes 0, 1 or 2, not '7'" "${VIEW}" --method 7 a.tri)
expect_refused(2 "give one mesh file" "${VIEW}" --threads=2 a.tri b.tri)
expect_refused(1 "missing.tri': No such file or directory" "${VIEW}" "${WORK}/missing.tri")
expect_refused(1 "it is a directory, not a regular file" "${VIEW}" "${WORK}")
# The reader's own reason, once the window is open.
file(WRITE "${WORK}/bad.tri" "0 0 0 1 0 0 0 1 0\n1 2 3 x 5\n")
expect_refused(1 "line 2: 'x' is not a number" "${VIEW}" "${WORK}/bad.tri")
# No display: no window, and it says so.
write_cube_obj("${WORK}/cube.obj")
expect_refused(1 "cannot open a window: .+" ${CMAKE_COMMAND} -E env --unset=DISPLAY
               --unset=SDL_VIDEODRIVER "${VIEW}" "${WORK}/cube.obj")
finish()
