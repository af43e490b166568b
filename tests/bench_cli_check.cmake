# Runs vantrel-bench as a user would and checks exit statuses, output
# streams and written files. Arguments: -DBENCH=<program> -DWORK=<scratch dir>
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

set(failures 0)
macro(fail message)
  message(SEND_ERROR "${message}")
  math(EXPR failures "${failures} + 1")
endmacro()

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
if(NOT status EQUAL 0 OR NOT out MATCHES "Mrays/s" OR NOT out MATCHES "peak memory")
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

# Every kernel this processor runs renders the demo frame at 5000 ms bit for
# bit as the scalar one does; a kernel it lacks is refused as a bad option.
expect_rejected(2 --kernel sse9)
bench(--frame-at 5000 --kernel scalar --out "${WORK}/scalar.ppm")
if(NOT status EQUAL 0)
  fail("scalar kernel: status ${status}, stderr [${err}]")
endif()
foreach(kernel avx2 avx512)
  bench(--frame-at 5000 --kernel ${kernel} --out "${WORK}/${kernel}.ppm")
  if(status EQUAL 2 AND err MATCHES "does not run the ${kernel} kernel")
    message(STATUS "this processor does not run the ${kernel} kernel")
    continue()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${WORK}/scalar.ppm"
                          "${WORK}/${kernel}.ppm" RESULT_VARIABLE differs)
  if(NOT status EQUAL 0 OR differs)
    fail("${kernel} kernel: status ${status}, frame differs from the scalar one: ${differs}")
  endif()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
