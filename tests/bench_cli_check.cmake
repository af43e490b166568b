# Runs vantrel-bench as a user would and checks exit statuses, output
# streams and written files. Arguments: -DBENCH=<program> -DWORK=<scratch dir>
# -DIMPORT=<ON when the mesh importer is built>
include("${CMAKE_CURRENT_LIST_DIR}/cli_check_common.cmake")
# Sets status, out and err.
macro(bench)
  execute_process(COMMAND "${BENCH}" ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
endmacro()

macro(expect_rejected expected_status)
  bench(${ARGN})
  if(NOT status EQUAL ${expected_status})
    fail("'${ARGN}': exit status ${status}, expected ${expected_status}")
  endif()
  if(NOT err MATCHES "^vantrel-bench: [^\n]+\n$")
    fail("'${ARGN}': stderr is not one 'vantrel-bench: ' line: [${err}]")
  endif()
endmacro()

bench(--help)
if(NOT status EQUAL 0 OR NOT out MATCHES "^Usage: vantrel-bench" OR NOT err STREQUAL "")
  fail("--help: status ${status}, stdout [${out}], stderr [${err}]")
endif()

expect_rejected(2 --method 7)
expect_rejected(1 --mesh "${WORK}/missing.tri")
expect_rejected(1 --spheres 10 --frames 1 --out "${WORK}/no/such/dir/f.ppm")

# Every figure as JSON, and the last frame as a binary P6 file.
bench(--spheres 2000 --frames 2 --json --out "${WORK}/f.ppm")
if(NOT status EQUAL 0 OR NOT err STREQUAL "")
  fail("json run: status ${status}, stderr [${err}]")
endif()
if(NOT out MATCHES "^{[^\n]*}\n$")
  fail("json run: not one JSON line: [${out}]")
endif()
if(NOT out MATCHES "\"frames\":2,")
  fail("json run: two frames asked for: [${out}]")
endif()
file(SIZE "${WORK}/f.ppm" ppm_size)
math(EXPR expected_size "15 + 512 * 384 * 3")
if(NOT ppm_size EQUAL expected_size)
  fail("f.ppm is ${ppm_size} bytes, expected ${expected_size}")
endif()

# The people's form says where the picture went.
bench(--spheres 500 --frame-at 5000 --out "${WORK}/f.png")
if(NOT status EQUAL 0 OR NOT out MATCHES "Mrays/s" OR NOT out MATCHES "peak memory"
   OR NOT err STREQUAL "")
  fail("text run: status ${status}, stdout [${out}], stderr [${err}]")
endif()
if(NOT out MATCHES "last frame: +/[^\n]*/f\\.png\n")
  fail("text run: no absolute path of the image in [${out}]")
endif()
file(READ "${WORK}/f.png" png_signature LIMIT 8 HEX)
if(NOT png_signature STREQUAL "89504e470d0a1a0a")
  fail("f.png does not start with the PNG signature: ${png_signature}")
endif()

# A mesh, framed by the scaled orbit.
file(WRITE "${WORK}/two.tri" "0 0 0 1 0 0 0 1 0\n5 5 5 6 5 5 5 6 5\n")
bench(--mesh "${WORK}/two.tri" --method 2 --frames 1 --json)
if(NOT status EQUAL 0 OR NOT out MATCHES "\"references\":[1-9]" OR NOT out MATCHES "\"frames\":1,")
  fail("mesh run: status ${status}, stdout [${out}], stderr [${err}]")
endif()

# The reader goes by the extension: the text loader for .tri and any name
# the importer does not claim, the importer for the rest.
file(WRITE "${WORK}/one.txt" "0 0 0 1 0 0 0 1 0\n")
bench(--mesh "${WORK}/one.txt" --frames 1)
if(NOT status EQUAL 0 OR NOT out MATCHES "scene: +1 triangles")
  fail("text mesh of another name: status ${status}, stdout [${out}], stderr [${err}]")
endif()
write_cube_obj("${WORK}/obj-inside.tri")
expect_rejected(1 --mesh "${WORK}/obj-inside.tri")
if(IMPORT)
  write_cube_obj("${WORK}/cube.OBJ")
  bench(--mesh "${WORK}/cube.OBJ" --frames 1)
  if(NOT status EQUAL 0 OR NOT out MATCHES "scene: +12 triangles")
    fail("imported mesh: status ${status}, stdout [${out}], stderr [${err}]")
  endif()
  file(WRITE "${WORK}/garbage.ply" "no mesh at all\n")
  expect_rejected(1 --mesh "${WORK}/garbage.ply")
  if(NOT err MATCHES "cannot import '[^']*garbage.ply': [^\n]")
    fail("unimportable mesh: no reason given: [${err}]")
  endif()
endif()

# What it is doing, on one line of a terminal; nothing of it for programs.
find_program(SCRIPT script)
if(SCRIPT)
  foreach(json "" "--json")
    execute_process(COMMAND "${SCRIPT}" -qec "'${BENCH}' --spheres 100 --frames 2 ${json}"
                    /dev/null RESULT_VARIABLE status OUTPUT_VARIABLE out)
    if(NOT status EQUAL 0)
      fail("run on a terminal ${json}: status ${status}, output [${out}]")
    elseif(json STREQUAL "" AND NOT out MATCHES "\rbuilding the kd-tree[^\n]*\rrendering frame 2 of 2")
      fail("no progress on a terminal: [${out}]")
    elseif(json STREQUAL "--json" AND out MATCHES "rendering")
      fail("progress shown with --json: [${out}]")
    endif()
  endforeach()
endif()

finish()
