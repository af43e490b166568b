# Runs vantrel-bench as a user would and checks exit statuses, output
# streams and written files. Arguments: -DBENCH=<program> -DWORK=<scratch dir>
# -DSANITIZED=ON|OFF (sanitizers reserve more address space than any limit
# the checks here set) -DIMPORT=<ON when the mesh importer is built>
include("${CMAKE_CURRENT_LIST_DIR}/cli_check_common.cmake")

# Sets status, out and err. Nothing asked of it may take long or wait.
macro(bench)
  execute_process(COMMAND "${BENCH}" ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                  ERROR_VARIABLE err TIMEOUT 120)
endmacro()

# The same under an address-space limit of kib KiB.
macro(bench_limited kib)
  execute_process(COMMAND sh -c "ulimit -v ${kib} && exec \"$0\" \"$@\"" "${BENCH}" ${ARGN}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
endmacro()

macro(expect_error pattern)
  if(NOT err MATCHES "${pattern}")
    fail("stderr [${err}] does not match '${pattern}'")
  endif()
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

bench(--version)
if(NOT status EQUAL 0 OR NOT out MATCHES "^vantrel-bench [0-9]+\\.[0-9]+\\.[0-9]+\n$")
  fail("--version: status ${status}, stdout [${out}], stderr [${err}]")
endif()

expect_rejected(2 --method 7)
# Every refused mesh says why.
expect_rejected(1 --mesh "${WORK}/missing.tri")
expect_error("'[^']*missing.tri': No such file or directory")
execute_process(COMMAND mkfifo "${WORK}/fifo.tri")
expect_rejected(1 --mesh "${WORK}/fifo.tri")
expect_error("it is a FIFO, not a regular file")
file(WRITE "${WORK}/bad.tri" "0 0 0 1 0 0 0 1 0\n1 2 3 x 5\n")
expect_rejected(1 --mesh "${WORK}/bad.tri")
expect_error("line 2: 'x' is not a number")
file(WRITE "${WORK}/nan.tri" "nan 0 0 1 0 0 0 1 0\n0 0 0 1e39 0 0 0 1 0\n")
expect_rejected(1 --mesh "${WORK}/nan.tri")
expect_error("no usable triangle")
# The image that cannot be written says why.
file(CREATE_LINK /dev/full "${WORK}/full.png" SYMBOLIC)
bench(--spheres 10 --frames 1 --out "${WORK}/full.png")
if(NOT status EQUAL 1 OR NOT err MATCHES "cannot write '[^']*full.png': No space left on device")
  fail("--out /dev/full: status ${status}, [${err}]")
endif()
# Found before any frame is rendered: no figures.
expect_rejected(1 --spheres 10 --frames 1 --out "${WORK}/no/such/dir/f.ppm")
if(NOT out STREQUAL "")
  fail("unwritable --out: figures printed although nothing should have rendered: [${out}]")
endif()
# Figures that cannot be written are a failure.
execute_process(COMMAND "${BENCH}" --spheres 10 --frames 1 --json OUTPUT_FILE /dev/full
                RESULT_VARIABLE status ERROR_VARIABLE err TIMEOUT 120)
if(NOT status EQUAL 1)
  fail("--json > /dev/full: exit status ${status}, expected 1")
endif()
expect_error("^vantrel-bench: cannot write to standard output: [^\n]+\n$")

if(NOT SANITIZED)
  # What a count of spheres needs is weighed against what the machine can
  # give before anything is built.
  bench_limited(1000000 --spheres 10000000)
  if(NOT status EQUAL 2)
    fail("--spheres 10000000 within 1 GB: exit status ${status}, expected 2")
  endif()
  expect_error("^vantrel-bench: --spheres 10000000 needs about [0-9.]+ GiB[^\n]*\n$")
  bench_limited(1000000 --spheres 2000 --frames 1 --json)
  if(NOT status EQUAL 0)
    fail("--spheres 2000 within 1 GB: exit status ${status}, stderr [${err}]")
  endif()
  # Identical triangles are referenced from every cell they cross: the
  # build stops at its budget and says what to try.
  string(REPEAT "0 0 0 1 0 1 0 1 1\n" 3000 same)
  file(WRITE "${WORK}/same.tri" "${same}")
  bench_limited(600000 --mesh "${WORK}/same.tri" --accel kd --frames 1)
  if(NOT status EQUAL 1)
    fail("overlapping mesh within 600 MB: exit status ${status}, expected 1")
  endif()
  expect_error("^vantrel-bench: the kd-tree build would take more than [^\n]*another --method")
endif()

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
if(NOT out MATCHES "\"threads\":1,")
  fail("json run: one thread unless asked for more: [${out}]")
endif()
# A camera and a size of one's own, the settings echoed, one pixel's ray.
bench(--spheres 2000 --frames 1 --json --size 64x48 --camera 0,0,-60,0,0,0,50 --pixel 32,24
      --out "${WORK}/small.ppm")
file(READ "${WORK}/small.ppm" header LIMIT 9)
if(NOT status EQUAL 0 OR NOT header STREQUAL "P6\n64 48\n"
   OR NOT out MATCHES "\"width\":64,\"height\":48,.*\"camera\":\\[0,0,-60,0,0,0,50\\]"
   OR NOT out MATCHES "\"pixel\":{\"x\":32,\"y\":24,\"origin\":\\[0,0,-60\\],\"direction\":\\[0.00100000005,0.00100000005,1\\],\"hit\":true")
  fail("own camera: status ${status}, header [${header}], stdout [${out}], stderr [${err}]")
endif()
foreach(bad "--size;0x5" "--size;9000x10" "--size;10" "--camera;1,2,3" "--camera;0,0,0,0,0,0,50"
        "--camera;0,0,1,0,0,0,180" "--pixel;600,0" "--pixel;a,b")
  expect_rejected(2 ${bad})
endforeach()
# A model a hundredth of a unit across: the renderer's test, bound to a
# size, sees nothing of it; the queries see it at its own coordinates.
file(WRITE "${WORK}/tiny.tri" "0 0 0 0.01 0 0 0 0.01 0\n0 0 0 0 0.01 0 0 0 0.01\n")
bench(--mesh-as-is "${WORK}/tiny.tri" --accel kd --frames 1 --json --out "${WORK}/tiny.png")
if(NOT status EQUAL 0 OR NOT err MATCHES "too small for any ray to hit.*entirely black")
  fail("tiny model, renderer: status ${status}, stderr [${err}]")
endif()
# Through the hierarchy, the default for meshes, it shows; its bytes a
# triangle are among the figures.
bench(--mesh-as-is "${WORK}/tiny.tri" --frames 1 --json --out "${WORK}/tiny.png")
if(NOT status EQUAL 0 OR NOT err STREQUAL "" OR NOT out MATCHES "\"bytes_per_primitive\":[0-9]"
   OR NOT out MATCHES "\"accel\":\"bvh\"")
  fail("tiny model, hierarchy: status ${status}, stdout [${out}], stderr [${err}]")
endif()
expect_rejected(2 --mesh "${WORK}/tiny.tri" --accel bvh --method 1)
expect_rejected(2 --accel octree)
foreach(image depth normal id)
  bench(--mesh-as-is "${WORK}/tiny.tri" --frames 1 --json --image ${image} --out "${WORK}/tiny.png")
  if(NOT status EQUAL 0 OR NOT err STREQUAL "" OR NOT out MATCHES "\"image\":\"${image}\"")
    fail("tiny model, ${image} through the queries: status ${status}, stderr [${err}]")
  endif()
endforeach()
expect_rejected(2 --image shaded)
# On three threads: the same picture.
bench(--spheres 2000 --frames 2 --json --threads 3 --out "${WORK}/f3.ppm")
if(NOT status EQUAL 0 OR NOT out MATCHES "\"threads\":3,")
  fail("three threads: status ${status}, stdout [${out}], stderr [${err}]")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${WORK}/f.ppm" "${WORK}/f3.ppm"
                RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  fail("three threads rendered another picture than one")
endif()
expect_rejected(2 --threads 1025)

# The people's form says where the picture went.
bench(--spheres 500 --frame-at 5000 --out "${WORK}/f.png")
if(NOT status EQUAL 0 OR NOT out MATCHES "Mrays/s" OR NOT out MATCHES "peak memory"
   OR NOT err STREQUAL "")
  fail("text run: status ${status}, stdout [${out}], stderr [${err}]")
endif()
if(NOT out MATCHES "\\((avx2|avx512|scalar) kernel, 1 thread\\)")
  fail("text run: no kernel and thread count in [${out}]")
endif()
if(NOT out MATCHES "last frame: +/[^\n]*/f\\.png\n")
  fail("text run: no absolute path of the image in [${out}]")
endif()
file(READ "${WORK}/f.png" png_signature LIMIT 8 HEX)
if(NOT png_signature STREQUAL "89504e470d0a1a0a")
  fail("f.png does not start with the PNG signature: ${png_signature}")
endif()

# The camera frames what the build uses: a triangle beyond float range among
# good ones is left out, with a word, and the frame still shows the rest.
file(WRITE "${WORK}/far.tri"
     "0 0 0 1 0 0 0 1 0\n0 0 0 0 0 1 1 0 0\n0 0 0 1e39 0 0 0 1 0\n0 0 0 1e-4 0 0 0 1e-4 0\n")
bench(--mesh "${WORK}/far.tri" --accel kd --frames 1 --out "${WORK}/far.ppm")
if(NOT status EQUAL 0 OR err MATCHES "black")
  fail("far mesh: status ${status}, stderr [${err}]")
endif()
expect_error("1 of 4 triangles have a coordinate beyond float range or NaN and are left out")
expect_error("1 of 4 triangles are too small for any ray to hit")
# A point far off is no part of the model: the placement and the framing
# leave it out, with a word, through the renderer and through the queries;
# a model of points and lines is refused, as is a scale past float range.
file(WRITE "${WORK}/outlier.tri" "1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30\n0 0 0 1 0 0 0 1 0\n")
foreach(run "color;--mesh" "id;--mesh-as-is" "depth;--mesh")
  bench(--image ${run} "${WORK}/outlier.tri" --frames 1 --out "${WORK}/outlier.ppm")
  if(NOT status EQUAL 0 OR err MATCHES "black" OR NOT err MATCHES "1 of 2 triangles have no area")
    fail("outlier, ${run}: status ${status}, stderr [${err}]")
  endif()
endforeach()
file(WRITE "${WORK}/lines.tri" "1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30 1e30\n0 0 0 1 1 1 2 2 2\n")
expect_rejected(1 --mesh "${WORK}/lines.tri")
expect_error("holds no usable triangle: 2 of 2 have no area")
file(WRITE "${WORK}/speck.tri" "0 0 0 1e-44 0 0 0 1e-44 0\n")
expect_rejected(1 --mesh "${WORK}/speck.tri")
expect_error("cannot place '[^']*speck.tri': [^\n]*float range")
# Beyond the range the queries' tests answer: refused with a count.
file(WRITE "${WORK}/vast.tri" "-1e19 -1e19 3 1e19 -1e19 3 0 1e19 3\n0 0 0 1 0 0 0 1 0\n")
expect_rejected(1 --mesh-as-is "${WORK}/vast.tri" --image depth)
expect_error("1 triangle lies beyond")
# A camera the floats cannot aim, and a frame past the memory left: refused
# up front with the figures; a query frame traced in bands fits beside it.
expect_rejected(2 --camera 3e38,0,0,-3e38,0,0,45)
expect_rejected(2 --camera 1e-45,0,0,0,0,0,45)
if(NOT SANITIZED)
  bench_limited(800000 --spheres 10 --frames 1 --size 8192x8192)
  if(NOT status EQUAL 1 OR NOT err MATCHES "a 8192x8192 frame takes about 1.7 GiB[^\n]*address-space limit")
    fail("a frame past the memory left: status ${status}, stderr [${err}]")
  endif()
  bench_limited(800000 --spheres 10 --frames 1 --size 4096x4096 --image depth)
  if(NOT status EQUAL 0)
    fail("a depth frame in bands: status ${status}, stderr [${err}]")
  endif()
endif()
# Nothing to see is said too.
bench(--spheres 0 --frames 1 --out "${WORK}/black.ppm")
if(NOT status EQUAL 0)
  fail("empty scene: status ${status}, stderr [${err}]")
endif()
expect_error("^vantrel-bench: warning: the frame written to '[^']*black.ppm' is entirely black\n$")

# A mesh, framed by the scaled orbit.
file(WRITE "${WORK}/two.tri" "0 0 0 1 0 0 0 1 0\n5 5 5 6 5 5 5 6 5\n")
bench(--mesh "${WORK}/two.tri" --method 2 --frames 1 --json)
if(NOT status EQUAL 0 OR NOT out MATCHES "\"references\":[1-9]" OR NOT out MATCHES "\"frames\":1,")
  fail("mesh run: status ${status}, stdout [${out}], stderr [${err}]")
endif()

# A model at a scale of centimetres is placed where the spheres are and
# shows; kept as it is, its triangles are too small for the hit test.
file(WRITE "${WORK}/small.tri" "0 0 0 0.02 0 0 0 0.02 0\n0 0 0 0 0 0.02 0.02 0 0\n")
bench(--mesh "${WORK}/small.tri" --frame-at 5000 --out "${WORK}/small.ppm")
if(NOT status EQUAL 0 OR err MATCHES "black")
  fail("placed small mesh: status ${status}, stderr [${err}]")
endif()
bench(--mesh-as-is "${WORK}/small.tri" --accel kd --frame-at 5000 --out "${WORK}/small.ppm")
expect_error("entirely black")

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
  # A FIFO is refused at once, whatever its name.
  execute_process(COMMAND mkfifo "${WORK}/fifo.gltf")
  expect_rejected(1 --mesh "${WORK}/fifo.gltf")
  expect_error("it is a FIFO, not a regular file")
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
