# The kernel as its users get it: installed into a fresh prefix, with only
# the public headers, each of which compiles alone; the example configured
# and built outside the tree against the package (find_package) by clang at
# its own default standard, and again with nothing but the flags pkg-config
# gives, each build rendering the shipped mesh into a picture that must not
# be black; a shared object of a user's own linking vantrel::core; the
# Python module built against the package; and the package's components, a
# missing one named.
# Arguments: -DBUILD=<this build tree> -DSOURCE=<source tree> -DWORK=<scratch>
#            -DNOT_BLACK=<png_not_black> -DCXX=<C++ compiler>
#            -DPUBLIC_HEADERS=<the headers to install, ;-separated>
#            -DPYTHON=<interpreter the module is built for; empty: none>
include("${CMAKE_CURRENT_LIST_DIR}/cli_check_common.cmake")
set(prefix "${WORK}/prefix")

macro(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    fail("${what}: status ${status}\n${out}\n${err}")
    finish()
  endif()
endmacro()

file(REMOVE_RECURSE "${prefix}")
run("install" ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}")
set(mesh "${prefix}/share/vantrel/meshes/icosphere.tri")

# The public headers and the version header, nothing else; each alone.
file(GLOB_RECURSE installed RELATIVE "${prefix}/include/vantrel" "${prefix}/include/vantrel/*.h")
set(expected ${PUBLIC_HEADERS} version.h)
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
  fail("installed headers [${installed}], expected [${expected}]")
endif()
foreach(header IN LISTS installed)
  file(WRITE "${WORK}/alone.cpp" "#include <vantrel/${header}>\n")
  run("${header} alone" "${CXX}" -std=c++17 -fsyntax-only -Wall -Wextra -I "${prefix}/include"
      "${WORK}/alone.cpp")
endforeach()

run("configure the example" ${CMAKE_COMMAND} -S "${SOURCE}/examples" -B "${WORK}/example"
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++)
run("build the example" ${CMAKE_COMMAND} --build "${WORK}/example")
run("run the example" "${WORK}/example/render_mesh" "${mesh}" "${WORK}/package.png")
run("the example's picture" "${NOT_BLACK}" "${WORK}/package.png")
run("run the example on every core" "${WORK}/example/render_mesh_every_core" "${mesh}"
    "${WORK}/every_core.png")
if(NOT out MATCHES "^25 frames of 320 triangles on [1-9][0-9]* threads: [0-9.]+ Mrays/s\n$")
  fail("the example on every core printed [${out}]")
endif()
run("the picture on every core" "${NOT_BLACK}" "${WORK}/every_core.png")
# The query examples, on the icosphere at its own size (a radius of one).
run("run the query images example" "${WORK}/example/query_images" "${mesh}" "${WORK}/query")
if(NOT out MATCHES "^320 triangles, [1-9][0-9]* of 196608 pixels hit\n$")
  fail("the query images example printed [${out}]")
endif()
foreach(image depth normal id)
  run("the query's ${image} image" "${NOT_BLACK}" "${WORK}/query-${image}.png")
endforeach()
run("run the occlusion example" "${WORK}/example/ambient_occlusion" "${mesh}" "${WORK}/ao.png")
# The icosphere is convex: nothing blocks a direction over its surface, and
# a ray that finds the face it leaves would show as grain in the picture.
if(NOT out MATCHES "^[1-9][0-9]* occlusion rays on [1-9][0-9]* threads: [0-9.]+ Mrays/s, 0 blocked\n$")
  fail("the occlusion example printed [${out}]")
endif()
run("the occlusion picture" "${NOT_BLACK}" "${WORK}/ao.png")
# A slice through the unit icosphere's middle, a tenth wider than it: the
# disc of its section inside, at most its radius deep.
run("run the distance slice example" "${WORK}/example/distance_slice" "${mesh}"
    "${WORK}/slice.png" 64)
if(NOT out MATCHES "^4096 points, [1-9][0-9]* inside, signed distances from -0\\.9[0-9]* to 0\\.[0-9]+\n$")
  fail("the distance slice example printed [${out}]")
endif()
run("the distance slice" "${NOT_BLACK}" "${WORK}/slice.png")

set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig")
run("pkg-config" pkg-config --cflags --libs vantrel libpng)
separate_arguments(flags UNIX_COMMAND "${out}")
run("build with pkg-config's flags" "${CXX}" -std=c++17 "${SOURCE}/examples/render_mesh.cpp"
    -o "${WORK}/render_mesh_pc" ${flags})
run("run the pkg-config build" "${WORK}/render_mesh_pc" "${mesh}" "${WORK}/pc.png")
run("the pkg-config build's picture" "${NOT_BLACK}" "${WORK}/pc.png")
run("build the example on every core with pkg-config's flags" "${CXX}" -std=c++17
    "${SOURCE}/examples/render_mesh_every_core.cpp" -o "${WORK}/every_core_pc" ${flags})
run("run its pkg-config build" "${WORK}/every_core_pc" "${mesh}" "${WORK}/every_core_pc.png")

run("configure the plug-in" ${CMAKE_COMMAND} -S "${SOURCE}/tests/package" -B "${WORK}/plugin"
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX})
run("build the plug-in" ${CMAKE_COMMAND} --build "${WORK}/plugin")
run("run the plug-in" "${WORK}/plugin/use_plugin")

# The Python module, from the installed headers and libraries alone.
if(PYTHON)
  run("configure the Python module" ${CMAKE_COMMAND} -S "${SOURCE}/python" -B "${WORK}/module"
      -DCMAKE_PREFIX_PATH=${prefix} -DPYTHON_EXECUTABLE=${PYTHON})
  run("build the Python module" ${CMAKE_COMMAND} --build "${WORK}/module" -j 2)
  file(WRITE "${WORK}/module_check.py" "import vantrel\n"
       "scene = vantrel.Scene.load('${mesh}')\n"
       "print(int(scene.intersect([[0, 0, -4.0]], [[0, 0, 1.0]]).prim[0] >= 0))\n")
  run("the module's hits" ${CMAKE_COMMAND} -E env "PYTHONPATH=${WORK}/module" "${PYTHON}"
      "${WORK}/module_check.py")
  if(NOT out STREQUAL "1\n")
    fail("the module built against the package printed [${out}]")
  endif()
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE}/tests/package/bogus" -B "${WORK}/bogus"
                        -DCMAKE_PREFIX_PATH=${prefix}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(status EQUAL 0 OR NOT err MATCHES "no component 'bogus'")
  fail("a missing component: status ${status}, stderr [${err}]")
endif()
finish()
