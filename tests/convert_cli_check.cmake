# Runs vantrel-convert as a user would. Arguments: -DCONVERT=<program>
# -DWORK=<scratch dir> -DIMPORT=<ON when the mesh importer is built>
include("${CMAKE_CURRENT_LIST_DIR}/cli_check_common.cmake")
macro(convert)
  execute_process(COMMAND "${CONVERT}" ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
endmacro()

macro(expect_refused expected_status)
  convert(${ARGN})
  if(NOT status EQUAL ${expected_status} OR NOT err MATCHES "^vantrel-convert: [^\n]+\n$")
    fail("'${ARGN}': status ${status} (expected ${expected_status}), stderr [${err}]")
  endif()
endmacro()

# Floats that need all nine digits, the extremes and a subnormal: written
# and read back, the text must not change, so every float came back as it
# was. (The loader's identity transform adds +0, so -0 comes out as 0.)
file(WRITE "${WORK}/in.tri" "0.1 -0 3.4028235e38 1e-45 1.17549435e-38 16777217\n"
     "0.333333343 -2.5 7 1 2 3 4 5 6 7 8 9.000001\n")
convert("${WORK}/in.tri" "${WORK}/once.tri")
if(NOT status EQUAL 0 OR NOT out MATCHES "^2 triangles")
  fail("text mesh: status ${status}, stdout [${out}], stderr [${err}]")
endif()
convert("${WORK}/once.tri" "${WORK}/twice.tri")
file(READ "${WORK}/once.tri" once)
file(READ "${WORK}/twice.tri" twice)
if(NOT once STREQUAL twice OR NOT once MATCHES
   "^0.100000001 0 3.40282347e\\+38 1.40129846e-45 1.17549435e-38 16777216 0.333333343 -2.5 7\n")
  fail("no exact round trip: [${once}] then [${twice}]")
endif()

expect_refused(2)
expect_refused(2 "${WORK}/in.tri" "${WORK}/out.obj")
expect_refused(1 "${WORK}/missing.tri" "${WORK}/out.tri")
expect_refused(1 "${WORK}/in.tri" "${WORK}/no/such/dir/out.tri")
# A full disk is a failure, not a file cut short without a word.
if(EXISTS /dev/full)
  file(CREATE_LINK /dev/full "${WORK}/full.tri" SYMBOLIC)
  expect_refused(1 "${WORK}/in.tri" "${WORK}/full.tri")
endif()

if(IMPORT)
  write_cube_obj("${WORK}/cube.obj")
  convert("${WORK}/cube.obj" "${WORK}/cube.tri")
  file(STRINGS "${WORK}/cube.tri" lines)
  list(LENGTH lines count)
  if(NOT status EQUAL 0 OR NOT count EQUAL 12)
    fail("cube: status ${status}, ${count} lines, stderr [${err}]")
  endif()
  file(WRITE "${WORK}/garbage.stl" "solid? no\n")
  expect_refused(1 "${WORK}/garbage.stl" "${WORK}/garbage.tri")
  if(NOT err MATCHES "cannot import '[^']*garbage.stl': [^\n]")
    fail("unimportable mesh: no reason given: [${err}]")
  endif()
endif()

finish()
