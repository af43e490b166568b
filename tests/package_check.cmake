# The kernel as its users get it: installed into a fresh prefix, the example
# configured and built outside the tree against the package (find_package),
# and again with nothing but the flags pkg-config gives; each build renders
# the shipped mesh into a picture that must not be black.
# Arguments: -DBUILD=<this build tree> -DSOURCE=<source tree> -DWORK=<scratch>
#            -DNOT_BLACK=<png_not_black> -DCXX=<C++ compiler>
include("${CMAKE_CURRENT_LIST_DIR}/cli_check_common.cmake")
set(prefix "${WORK}/prefix")

macro(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    fail("${what}: status ${status}\n${out}\n${err}")
    finish()
  endif()
endmacro()

run("install" ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}")
set(mesh "${prefix}/share/vantrel/meshes/icosphere.tri")

run("configure the example" ${CMAKE_COMMAND} -S "${SOURCE}/examples" -B "${WORK}/example"
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run("build the example" ${CMAKE_COMMAND} --build "${WORK}/example")
run("run the example" "${WORK}/example/render_mesh" "${mesh}" "${WORK}/package.png")
run("the example's picture" "${NOT_BLACK}" "${WORK}/package.png")

set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig")
run("pkg-config" pkg-config --cflags --libs vantrel libpng)
separate_arguments(flags UNIX_COMMAND "${out}")
run("build with pkg-config's flags" "${CXX}" -std=c++17 "${SOURCE}/examples/render_mesh.cpp"
    -o "${WORK}/render_mesh_pc" ${flags})
run("run the pkg-config build" "${WORK}/render_mesh_pc" "${mesh}" "${WORK}/pc.png")
run("the pkg-config build's picture" "${NOT_BLACK}" "${WORK}/pc.png")
finish()
