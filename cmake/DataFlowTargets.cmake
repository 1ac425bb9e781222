# Helpers shared by the project's libraries and by every other target it builds.

# data_flow_warnings: the warning flags every target of the project is built with (GCC and
# Clang). An interface target rather than directory-wide flags, so that a project that vendors
# this one with add_subdirectory keeps its own flags; data_flow_link_warnings() below links it
# to every target, and a target made elsewhere links it like any library.
add_library(data_flow_warnings INTERFACE)
target_compile_options(data_flow_warnings INTERFACE
  $<$<OR:$<CXX_COMPILER_ID:GNU>,$<CXX_COMPILER_ID:Clang>>:-Wall;-Wextra;-Wpedantic>)

# data_flow_link_warnings(<dir>): links data_flow_warnings to every compiled target defined in
# <dir> and below, so no target of the project (tests, benchmarks, examples, outer layers, the
# ones still to come) can be built without the warnings.
function(data_flow_link_warnings dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      set_property(TARGET ${target} APPEND PROPERTY LINK_LIBRARIES
                   $<BUILD_INTERFACE:data_flow_warnings>)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    data_flow_link_warnings(${subdir})
  endforeach()
endfunction()

# data_flow_add_library(<target> <export-macro-prefix> <sources...>): a shared library of the
# project built from the sources listed, with its generated export header
# <dir>/<Prefix>Export.h (dir being the folder of the calling CMakeLists.txt), versioned like the
# project, headers found from the source tree while building and from include/ once installed.
function(data_flow_add_library target macro_prefix export_header)
  add_library(${target} SHARED ${ARGN})
  get_filename_component(dir ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  generate_export_header(${target} BASE_NAME ${macro_prefix}
    EXPORT_MACRO_NAME ${macro_prefix}_API
    EXPORT_FILE_NAME ${DATA_FLOW_GENERATED_DIR}/${dir}/${export_header})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${DATA_FLOW_GENERATED_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${target} PUBLIC cxx_std_17)
  set_target_properties(${target} PROPERTIES VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
endfunction()

# data_flow_install_library(<target> <export-header>): installs the library into the package's
# export set, and the headers of the calling folder (its private/ folder excepted) with the
# generated export header under include/<folder>.
function(data_flow_install_library target export_header)
  get_filename_component(dir ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  install(TARGETS ${target} EXPORT data_flowTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir}
    FILES_MATCHING PATTERN "*.h" PATTERN "private" EXCLUDE)
  install(FILES ${DATA_FLOW_GENERATED_DIR}/${dir}/${export_header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir})
endfunction()
