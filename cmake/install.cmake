# What `cmake --install` puts under a prefix: the kernel's libraries and
# headers with a CMake package (find_package(vantrel), vantrel::core) and a
# pkg-config file, the companion tools, the program and the shipped mesh.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VANTREL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/vantrel)
set(VANTREL_KERNEL_TARGETS vantrel_scene vantrel_kdtree vantrel_bvh vantrel_tracer
                           vantrel_app vantrel_core)

# Users name the layers vantrel::scene ... vantrel::app, and all of them
# vantrel::core, in the tree and installed alike.
foreach(target IN LISTS VANTREL_KERNEL_TARGETS)
  string(REGEX REPLACE "^vantrel_" "" name ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  add_library(vantrel::${name} ALIAS ${target})
endforeach()

install(TARGETS ${VANTREL_KERNEL_TARGETS} EXPORT vantrelTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vantrelTargets NAMESPACE vantrel:: DESTINATION ${VANTREL_INSTALL_CMAKEDIR})

# The headers a program includes: vantrel.h and what it reaches, and the few
# the README names beside it. The rest are the kernel's own and stay here.
# They keep the source tree's folders below include/vantrel, so that they
# include each other there as they do here.
set(VANTREL_PUBLIC_HEADERS
  vantrel.h
  scene/records.h scene/vector_ops.h scene/triangle_loader.h scene/mesh_load_failure.h
  scene/mesh_import.h scene/mesh_reader.h scene/regular_file.h scene/packed_groups.h
  scene/buildable.h scene/build_budget.h scene/indexed_mesh.h scene/memory_left.h
  kdtree/kd_tree.h kdtree/build.h kdtree/build_budget.h
  tracer/intersect.h tracer/render.h tracer/kernel.h tracer/trace_context.h
  tracer/worker_pool.h tracer/scratch_pool.h tracer/query.h tracer/camera.h
  tracer/render_target.h tracer/geometry_scene.h
  tracer/geometry_query.h tracer/point_query.h app/camera.h app/render_target.h)
foreach(header IN LISTS VANTREL_PUBLIC_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header}
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantrel/${folder})
endforeach()
install(FILES ${VANTREL_GENERATED_INCLUDE_ROOT}/vantrel/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vantrel)

# The thread library the tracer's pool runs on, and the mesh importer's
# library where the kernel was built with it: static libraries leave their
# dependencies to the program that links them.
set(VANTREL_CONFIG_DEPENDENCIES "find_dependency(Threads)")
set(VANTREL_PC_REQUIRES "")
if(VANTREL_HAVE_MESH_IMPORT)
  string(APPEND VANTREL_CONFIG_DEPENDENCIES "\nfind_dependency(assimp CONFIG)")
  set(VANTREL_PC_REQUIRES "assimp")
endif()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vantrelConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vantrelConfig.cmake
                              INSTALL_DESTINATION ${VANTREL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vantrelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vantrelConfig.cmake
              ${PROJECT_BINARY_DIR}/vantrelConfigVersion.cmake
        DESTINATION ${VANTREL_INSTALL_CMAKEDIR})

# Relocatable: the prefix is found from where the file lies, so that
# `cmake --install --prefix` anywhere gives a working file.
file(RELATIVE_PATH VANTREL_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" VANTREL_PC_TO_PREFIX "${VANTREL_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vantrel.pc.in ${PROJECT_BINARY_DIR}/vantrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vantrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/tools/meshes/icosphere.tri
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vantrel/meshes)

# The companion tools, the viewer, and the program with the bitmap it needs
# beside it; with shared layers, they find them in the prefix's library
# folder.
if(BUILD_SHARED_LIBS)
  file(RELATIVE_PATH libraries_from_programs "/${CMAKE_INSTALL_BINDIR}" "/${CMAKE_INSTALL_LIBDIR}")
  set(CMAKE_INSTALL_RPATH "$ORIGIN/${libraries_from_programs}")
endif()
foreach(program vantrel-bench vantrel-make-checkerboard make_icosphere make_bumpy_sphere
                vantrel-convert vantrel-rtrt vantrel-view)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET vantrel-rtrt)
  install(FILES ${PROJECT_BINARY_DIR}/cb.bmp DESTINATION ${CMAKE_INSTALL_DATADIR}/vantrel)
endif()
