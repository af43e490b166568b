# Runs vantrel-convert, and the writes of every tool, as a user would.
# Arguments: -DCONVERT=<program> -DICOSPHERE=<make_icosphere>
# -DCHECKERBOARD=<vantrel-make-checkerboard> -DWORK=<scratch dir>
# -DIMPORT=<ON when the mesh importer is built> -DBUMPY=<make_bumpy_sphere>
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

# Placed as the benchmark places a mesh: centred, the largest half-extent 11.
file(WRITE "${WORK}/box.tri" "0 0 0 2 0 0 0 4 0\n1 1 1 1 2 1 2 2 2\n")
convert(--normalise "${WORK}/box.tri" "${WORK}/placed.tri")
file(READ "${WORK}/placed.tri" placed)
if(NOT status EQUAL 0 OR NOT placed STREQUAL "-5.5 -11 -5.5 5.5 -11 -5.5 -5.5 11 -5.5\n0 -5.5 0 0 0 0 5.5 0 5.5\n")
  fail("--normalise: status ${status}, wrote [${placed}], stderr [${err}]")
endif()
# Placed by the triangles a ray can hit: one not finite, a point far off
# and a line are left out with a count; a scale past float range, or nothing
# to place, writes nothing. Neither is written as NaN, infinity or a point.
file(WRITE "${WORK}/mixed.tri" "1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30\n0 0 0 1 0 0 0 1 0\n"
     "0 0 0 1e39 0 0 0 1 0\nnan 0 0 1 0 0 0 1 0\n0 0 0 1 1 1 2 2 2\n")
convert(--normalise "${WORK}/mixed.tri" "${WORK}/kept.tri")
file(READ "${WORK}/kept.tri" kept)
if(NOT status EQUAL 0 OR NOT kept STREQUAL "-11 -11 0 11 -11 0 -11 11 0\n"
   OR NOT err MATCHES "^vantrel-convert: warning: 4 of 5 triangles are left out: 2 [^\n]*float range[^\n]* 2 [^\n]*no area[^\n]*\n$")
  fail("--normalise of unusable triangles: status ${status}, wrote [${kept}], stderr [${err}]")
endif()
file(WRITE "${WORK}/tiny.tri" "0 0 0 1e-44 0 0 0 1e-44 0\n")
file(WRITE "${WORK}/flat.tri" "1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30\n0 0 0 1 1 1 2 2 2\n")
foreach(unplaceable tiny flat)
  file(REMOVE "${WORK}/${unplaceable}-out.tri")
  expect_refused(1 --normalise "${WORK}/${unplaceable}.tri" "${WORK}/${unplaceable}-out.tri")
  if(EXISTS "${WORK}/${unplaceable}-out.tri" OR NOT err MATCHES "float range|no area")
    fail("--normalise ${unplaceable}.tri wrote a file, or said [${err}]")
  endif()
endforeach()
convert(--help)
if(NOT status EQUAL 0 OR NOT out MATCHES "^usage: vantrel-convert \\[--normalise\\] IN OUT.tri\n.*--normalise")
  fail("--help: status ${status}, stdout [${out}], stderr [${err}]")
endif()

expect_refused(2)
expect_refused(2 "${WORK}/in.tri" "${WORK}/out.obj")
expect_refused(2 --frobnicate "${WORK}/in.tri" "${WORK}/out.tri")
expect_refused(2 --normalise=yes "${WORK}/in.tri" "${WORK}/out.tri")
expect_refused(1 "${WORK}/missing.tri" "${WORK}/out.tri")
expect_refused(1 "${WORK}/in.tri" "${WORK}/no/such/dir/out.tri")
# A full disk is a failure, not a file cut short without a word.
if(EXISTS /dev/full)
  file(CREATE_LINK /dev/full "${WORK}/full.tri" SYMBOLIC)
  expect_refused(1 "${WORK}/in.tri" "${WORK}/full.tri")
endif()

# A write that fails half-way leaves the output as it was, even when it is
# the input: a file-size limit (the shell ignoring the signal it sends)
# stops the longer rewrite of a file of short numbers half-way.
string(REPEAT "0.5 1 2 3 4 5 6 7 8.25\n" 2000 short)
file(WRITE "${WORK}/same.tri" "${short}")
execute_process(COMMAND bash -c "trap '' XFSZ; ulimit -f 40; exec \"$0\" \"$1\" \"$1\""
                        "${CONVERT}" "${WORK}/same.tri"
                RESULT_VARIABLE status ERROR_VARIABLE err)
file(READ "${WORK}/same.tri" after)
file(GLOB leftovers "${WORK}/.same.tri.*")
if(NOT status EQUAL 1 OR NOT err MATCHES "cannot write '[^']*same.tri': File too large"
   OR NOT after STREQUAL short OR leftovers)
  fail("convert onto its own input, cut short: status ${status}, [${err}], leftovers [${leftovers}]")
endif()
# Nothing but the file a tool made is removed: a link to a device that
# cannot be written stays a link, and a device node stays (root only).
file(CREATE_LINK /dev/full "${WORK}/full-link.tri" SYMBOLIC)
execute_process(COMMAND mknod "${WORK}/full-node.tri" c 1 7 RESULT_VARIABLE no_node
                ERROR_QUIET)
foreach(target full-link.tri full-node.tri)
  if(target STREQUAL "full-node.tri" AND no_node)
    continue()
  endif()
  foreach(tool "${ICOSPHERE};2" "${CHECKERBOARD}" "${CONVERT};${WORK}/in.tri")
    execute_process(COMMAND ${tool} "${WORK}/${target}" RESULT_VARIABLE status
                    OUTPUT_QUIET ERROR_VARIABLE err)
    if(NOT status EQUAL 1 OR NOT EXISTS "${WORK}/${target}"
       OR NOT err MATCHES "No space left on device")
      fail("${tool} onto ${target}: status ${status}, [${err}], still there: ${EXISTS}")
    endif()
  endforeach()
endforeach()

if(IMPORT)
  # Nothing to write is a failure, not an empty file.
  file(WRITE "${WORK}/lines.obj" "v 0 0 0\nv 1 0 0\nl 1 2\np 1\n")
  expect_refused(1 "${WORK}/lines.obj" "${WORK}/lines.tri")
  if(NOT err MATCHES "holds no triangle" OR EXISTS "${WORK}/lines.tri")
    fail("lines only: [${err}]")
  endif()
  file(WRITE "${WORK}/model.fbx" "Kaydara FBX Binary  ")
  expect_refused(1 "${WORK}/model.fbx" "${WORK}/model.tri")
  if(NOT err MATCHES "not a format read here; meshes are read from .obj, .ply")
    fail("another format of the library: [${err}]")
  endif()
  write_cube_obj("${WORK}/cube.obj")
  convert("${WORK}/cube.obj" "${WORK}/cube.tri")
  file(STRINGS "${WORK}/cube.tri" lines)
  list(LENGTH lines count)
  if(NOT status EQUAL 0 OR NOT count EQUAL 12)
    fail("cube: status ${status}, ${count} lines, stderr [${err}]")
  endif()
  # The bumpy test surface: the triangles it says, as a PLY the importer reads.
  execute_process(COMMAND "${BUMPY}" 1000 "${WORK}/bumpy.ply" RESULT_VARIABLE status
                  OUTPUT_VARIABLE out)
  convert("${WORK}/bumpy.ply" "${WORK}/bumpy.tri")
  file(STRINGS "${WORK}/bumpy.tri" lines)
  list(LENGTH lines count)
  if(NOT status EQUAL 0 OR NOT out MATCHES "^960 triangles from" OR NOT count EQUAL 960)
    fail("bumpy sphere: status ${status}, [${out}], ${count} lines, stderr [${err}]")
  endif()
  file(WRITE "${WORK}/garbage.stl" "solid? no\n")
  expect_refused(1 "${WORK}/garbage.stl" "${WORK}/garbage.tri")
  if(NOT err MATCHES "cannot import '[^']*garbage.stl': [^\n]")
    fail("unimportable mesh: no reason given: [${err}]")
  endif()
endif()

finish()
