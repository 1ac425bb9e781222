# Run by ctest as `cmake -D... -P packaging_test.cmake`; see CMakeLists.txt beside it.
foreach(var BUILD_DIR CONSUMER_DIR VENDORING_DIR SOURCE_DIR WORK_DIR LIBDIR VERSION SOVERSION
            CXX_COMPILER PKG_CONFIG)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "packaging test: ${var} is not set")
  endif()
endforeach()

# run(<command...>): runs the command and stops the test with its output when it fails; the
# standard output is left in RUN_OUTPUT.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "packaging test: failed (${rc}): ${command}\n${out}\n${err}")
  endif()
  set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

function(expect_ok what output)
  string(STRIP "${output}" output)
  if(NOT output STREQUAL "OK")
    message(FATAL_ERROR "packaging test: ${what} printed \"${output}\", expected \"OK\"")
  endif()
  message(STATUS "${what}: OK")
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(libdir ${prefix}/${LIBDIR})
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# 1. Install into the scratch prefix (not the configured one).
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# 2. Versioned shared libraries: lib<name>.so -> lib<name>.so.<major> -> lib<name>.so.<version>,
#    and the SONAME is lib<name>.so.<major>.
foreach(name data_flow mirel_core data_flow_document)
  set(real ${libdir}/lib${name}.so.${VERSION})
  if(NOT EXISTS ${real} OR IS_SYMLINK ${real})
    message(FATAL_ERROR "packaging test: ${real} is missing or not a file")
  endif()
  foreach(link lib${name}.so lib${name}.so.${SOVERSION})
    if(NOT IS_SYMLINK ${libdir}/${link})
      message(FATAL_ERROR "packaging test: ${libdir}/${link} is not a symbolic link")
    endif()
  endforeach()
  run(readelf -d ${real})
  if(NOT RUN_OUTPUT MATCHES "Library soname: \\[lib${name}\\.so\\.${SOVERSION}\\]")
    message(FATAL_ERROR "packaging test: lib${name} has no versioned SONAME:\n${RUN_OUTPUT}")
  endif()
endforeach()
message(STATUS "SONAMEs: libdata_flow.so.${SOVERSION}, libmirel_core.so.${SOVERSION}")

# The consumers load the installed libraries, not the build's.
set(run_env ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${libdir}")

# 3. The CMake package: find_package(data_flow CONFIG REQUIRED), target data_flow::data_flow.
set(configure_args -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-consumer
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_PREFIX_PATH=${prefix})
if(TBB_DIR)
  list(APPEND configure_args -DTBB_DIR=${TBB_DIR})
endif()
run(${CMAKE_COMMAND} ${configure_args})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-consumer)
run(${run_env} ${WORK_DIR}/cmake-consumer/consumer)
expect_ok("find_package consumer" "${RUN_OUTPUT}")

# 4. pkg-config: data_flow_document.pc (which requires data_flow.pc) gives what it takes to
#    compile and link.
set(pc_env ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${libdir}/pkgconfig")
run(${pc_env} ${PKG_CONFIG} --modversion data_flow)
string(STRIP "${RUN_OUTPUT}" pc_version)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "packaging test: data_flow.pc has version ${pc_version}, not ${VERSION}")
endif()
run(${pc_env} ${PKG_CONFIG} --cflags --libs data_flow_document)
separate_arguments(pc_flags UNIX_COMMAND "${RUN_OUTPUT}")
run(${CXX_COMPILER} ${CONSUMER_DIR}/main.cpp ${pc_flags} -o ${WORK_DIR}/pkg-config-consumer)
run(${run_env} ${WORK_DIR}/pkg-config-consumer)
expect_ok("pkg-config consumer" "${RUN_OUTPUT}")

# 5. The studio's launcher starts from the installed tree, finding its package beside it.
run(${prefix}/bin/dataflow-studio --help)
if(NOT RUN_OUTPUT MATCHES "usage: dataflow-studio")
  message(FATAL_ERROR "packaging test: dataflow-studio --help printed:\n${RUN_OUTPUT}")
endif()
message(STATUS "installed dataflow-studio: OK")

# 6. A project that vendors the source tree: add_subdirectory builds the libraries inside the
#    client's build, and the same consumer links them from there. Only the build is under test
#    here, so it is made cheaply: unoptimised (no build type), its sources in unity batches.
set(configure_args -S ${VENDORING_DIR} -B ${WORK_DIR}/vendoring -DCMAKE_BUILD_TYPE=
  -DCMAKE_UNITY_BUILD=ON -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DDATA_FLOW_SOURCE_DIR=${SOURCE_DIR})
if(TBB_DIR)
  list(APPEND configure_args -DTBB_DIR=${TBB_DIR})
endif()
run(${CMAKE_COMMAND} ${configure_args})
cmake_host_system_information(RESULT jobs QUERY NUMBER_OF_LOGICAL_CORES)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/vendoring --target consumer --parallel ${jobs})
run(${WORK_DIR}/vendoring/consumer)
expect_ok("add_subdirectory consumer" "${RUN_OUTPUT}")
