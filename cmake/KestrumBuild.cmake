# Shared compile settings: warnings are errors everywhere, sanitizers by option.

set(KESTRUM_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)

if(KESTRUM_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KESTRUM_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KESTRUM_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KESTRUM_SANITIZE must be empty, 'address' or 'thread'")
endif()

# kestrum_target(<target>): applies the project's warning set.
function(kestrum_target target)
  target_compile_options(${target} PRIVATE ${KESTRUM_WARNINGS})
endfunction()

# kestrum_shared_library(<target> ...sources): a library loaded by file name at
# run time; exports nothing but what the sources mark visible.
function(kestrum_shared_library target)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  kestrum_target(${target})
endfunction()

# kestrum_test(<name> LABELS <labels> SOURCES <files> LIBS <libs>): one gtest
# executable; each test case becomes its own CTest entry so they run in
# parallel and a crash in one does not hide the others. Labels: `threaded`
# runs under ThreadSanitizer (its threads synchronise in our own or standard
# code, not inside Qt, which is not instrumented); `timing` measures wall-clock
# time, so it runs alone and never under a sanitizer. Executables of
# `threaded` tests are collected for the target `threaded_tests`, so the
# ThreadSanitizer build compiles only what it runs.
function(kestrum_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if("threaded" IN_LIST T_LABELS)
    set_property(GLOBAL APPEND PROPERTY KESTRUM_THREADED_TESTS ${name})
  endif()
  kestrum_target(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${KESTRUM_APP_DIR}
    PROPERTIES TIMEOUT 120
    TEST_LIST ${name}_TESTS
    DISCOVERY_TIMEOUT 60)
  # The labels go on after discovery: discovery flattens its property list, so
  # of two labels passed through it only the first would reach the tests.
  set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${labels_file}
    "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endfunction()

# kestrum_bench(<name> SOURCES <files> LIBS <libs>): a benchmark executable
# (bench_<name>) that prints JSON lines {"metric": ..., "value": ..., "unit": ...};
# bench/run.sh runs every one of them.
function(kestrum_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(bench_${name} ${B_SOURCES})
  kestrum_target(bench_${name})
  target_link_libraries(bench_${name} PRIVATE ${B_LIBS} Threads::Threads)
  target_include_directories(bench_${name} PRIVATE ${PROJECT_SOURCE_DIR}/bench/support)
  set_target_properties(bench_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

# kestrum_uses_bus_at_runtime(<target>...): the targets load libVarnex.so and,
# through it, the adapter stand-ins and data files from the application
# folder at run time; build those with them.
function(kestrum_uses_bus_at_runtime)
  foreach(target ${ARGN})
    foreach(dep Varnex pcanbasic vcinpl kestrum_data)
      if(TARGET ${dep})
        add_dependencies(${target} ${dep})
      endif()
    endforeach()
  endforeach()
endfunction()
