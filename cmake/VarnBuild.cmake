# Helpers shared by every folder of the suite.

# varn_add_shared_library(<name> EXPORTS <symbol>... SOURCES <file>... [LIBS <lib>...])
# Builds lib<name>.so whose dynamic symbol table holds exactly the listed operations:
# everything else, including the C++ runtime's template instances, stays local.
function(varn_add_shared_library name)
  cmake_parse_arguments(ARG "" "" "EXPORTS;SOURCES;LIBS" ${ARGN})
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}.map)
  list(JOIN ARG_EXPORTS ";\n    " globals)
  file(WRITE ${script} "{\n  global:\n    ${globals};\n  local:\n    *;\n};\n")
  add_library(${name} SHARED ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_options(${name} PRIVATE "-Wl,--version-script=${script}")
  # With clang's sanitizers the runtime lives in the program, not in the library.
  if(NOT VARN_FUZZ)
    target_link_options(${name} PRIVATE "-Wl,--no-undefined")
  endif()
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${script})
endfunction()

# varn_add_test(<name> SOURCES <file>... [LIBS <lib>...] [LABELS <label>...])
# One GoogleTest program; every TEST in it becomes its own ctest case.
function(varn_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    VARN_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
    VARN_LIB_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}"
    VARN_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${ARG_LABELS}")
endfunction()
