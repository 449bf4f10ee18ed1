# The instrumentation bridge: example programs built with vexa-cc / vexa-c++
# by both compilers and run with an in-process recorder, and an instrumented
# test of the bridge's calls.
if(NOT TARGET vexa_threads)
  return()
endif()

find_program(VEXA_ADDR2LINE addr2line REQUIRED)
find_program(VEXA_CLANG clang)
find_program(VEXA_CLANGXX clang++)

# Defines the library's breakpoint in the example programs. Never
# instrumented: it runs inside the library's stops. An object, not an
# archive: nothing in a program asks for the breakpoint, so an archive
# member would be left out.
add_library(bridge_recorder OBJECT bridge/recorder.c)
target_include_directories(bridge_recorder PRIVATE ${CMAKE_SOURCE_DIR}/include)

set(bridge_examples_dir ${CMAKE_CURRENT_BINARY_DIR}/bridge)
set(bridge_wrapper_deps vexa vexa_threads ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/vexa-cc)
if(VEXA_HAVE_OPENMP)
  list(APPEND bridge_wrapper_deps vexa_openmp)
endif()

# vexa_bridge_example(PROGRAM SOURCE gcc|clang c|c++ [FLAGS...]): builds
# tests/bridge/SOURCE with the wrapper, as a user would, plus the recorder.
function(vexa_bridge_example program source compiler language)
  if(compiler STREQUAL "gcc")
    set(c gcc)
    set(cxx g++)
  else()
    set(c ${VEXA_CLANG})
    set(cxx ${VEXA_CLANGXX})
  endif()
  if(language STREQUAL "c")
    set(wrapper vexa-cc)
  else()
    set(wrapper vexa-c++)
  endif()
  set(output ${bridge_examples_dir}/${program})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${bridge_examples_dir}
    COMMAND ${CMAKE_COMMAND} -E env VEXA_CC=${c} VEXA_CXX=${cxx}
            ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${wrapper} -g -O0 -x ${language} ${ARGN}
            ${CMAKE_CURRENT_SOURCE_DIR}/bridge/${source} $<TARGET_OBJECTS:bridge_recorder> -o ${output}
    DEPENDS bridge/${source} bridge_recorder ${bridge_wrapper_deps}
    COMMENT "vexa-cc (${compiler}, ${language}): ${program}"
    VERBATIM COMMAND_EXPAND_LISTS)
  set_property(GLOBAL APPEND PROPERTY vexa_bridge_example_outputs ${output})
endfunction()

set(bridge_compilers gcc)
if(VEXA_CLANG AND VEXA_CLANGXX)
  list(APPEND bridge_compilers clang)
endif()
foreach(compiler ${bridge_compilers})
  foreach(language c c++)
    string(REPLACE "+" "x" tag "${compiler}_${language}")
    vexa_bridge_example(counter_${tag} counter.c ${compiler} ${language} -pthread)
    vexa_bridge_example(counter_fixed_${tag} counter.c ${compiler} ${language} -pthread -DFIXED)
    vexa_bridge_example(recursion_${tag} recursion.c ${compiler} ${language} -pthread)
    vexa_bridge_example(recursion_fixed_${tag} recursion.c ${compiler} ${language} -pthread -DFIXED)
    vexa_bridge_example(wide_atomic_${tag} wide_atomic.c ${compiler} ${language} -pthread)
    if(VEXA_HAVE_OPENMP)
      vexa_bridge_example(tree_${tag} tree.c ${compiler} ${language} -fopenmp)
      vexa_bridge_example(tree_fixed_${tag} tree.c ${compiler} ${language} -fopenmp -DFIXED)
      vexa_bridge_example(constructs_${tag} constructs.c ${compiler} ${language} -fopenmp)
      vexa_bridge_example(regions_${tag} regions.c ${compiler} ${language} -fopenmp)
      vexa_bridge_example(offload_${tag} offload.c ${compiler} ${language} -fopenmp)
      vexa_bridge_example(task_only_${tag} task_only.c ${compiler} ${language} -fopenmp)
    endif()
  endforeach()
  # Optimised, as ordinary programs are built.
  vexa_bridge_example(everyday_${compiler} everyday.cc ${compiler} c++ -O2 -std=c++17 -pthread)
endforeach()
get_property(bridge_example_outputs GLOBAL PROPERTY vexa_bridge_example_outputs)
add_custom_target(bridge_examples ALL DEPENDS ${bridge_example_outputs})

# The same program without vexa, for its expected output.
add_executable(bridge_everyday_plain bridge/everyday.cc)
target_link_libraries(bridge_everyday_plain PRIVATE Threads::Threads)

# The GDB client runs them too, when it is built.
find_program(VEXA_BRIDGE_GDB_EXECUTABLE gdb)
set(bridge_gdb_client "")
if(TARGET vexa_gdb AND VEXA_BRIDGE_GDB_EXECUTABLE AND NOT VEXA_I386_EMULATED)
  set(bridge_gdb_client ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/vexa-gdb)
endif()

add_executable(bridge_examples_test bridge/bridge_examples_test.cc)
target_link_libraries(bridge_examples_test PRIVATE vexa_test_support GTest::gtest_main)
target_compile_definitions(bridge_examples_test PRIVATE
  VEXA_BRIDGE_EXAMPLES="${bridge_examples_dir}"
  VEXA_BRIDGE_SOURCES="${CMAKE_CURRENT_SOURCE_DIR}/bridge"
  VEXA_BRIDGE_PLAIN="$<TARGET_FILE:bridge_everyday_plain>"
  VEXA_ADDR2LINE="${VEXA_ADDR2LINE}"
  VEXA_BRIDGE_GDB="${bridge_gdb_client}"
  VEXA_BRIDGE_CLANG=$<BOOL:${VEXA_CLANG}>
  VEXA_BRIDGE_OPENMP=$<BOOL:${VEXA_HAVE_OPENMP}>)
add_dependencies(bridge_examples_test bridge_examples bridge_everyday_plain)
if(bridge_gdb_client)
  add_dependencies(bridge_examples_test vexa_gdb)
endif()
gtest_discover_tests(bridge_examples_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# The bridge's calls from an instrumented program: this test is compiled
# the way vexa-cc compiles (GCC), and every thread of it is a task.
add_executable(bridge_runtime_test bridge/bridge_runtime_test.cc)
set_source_files_properties(bridge/bridge_runtime_test.cc PROPERTIES COMPILE_OPTIONS
  "-O1;-fsanitize=thread;--param=tsan-distinguish-volatile=1;-Wno-tsan;-fno-omit-frame-pointer;-fno-builtin-memcpy;-fno-builtin-memmove;-fno-builtin-memset")
target_link_libraries(bridge_runtime_test PRIVATE vexa_test_support vexa_threads vexa GTest::gtest_main)
target_link_options(bridge_runtime_test PRIVATE -Wl,--no-as-needed)
target_compile_definitions(bridge_runtime_test PRIVATE VEXA_ADDR2LINE="${VEXA_ADDR2LINE}")
# Both detectors and all hooks are on from load, so that the main thread's
# task is entered, and every repeat is raised (the bridge's defaults for
# wrapper-built programs would keep one of each); the test is run through
# env, since a list of variables does not survive gtest_discover_tests'
# PROPERTIES. Its threads meet at barriers to fix the order of their
# accesses, which the race view takes as order: it runs in the sharing
# view, where two live threads that touch memory are told whatever orders
# them (the race suite tests the race view).
find_program(VEXA_ENV env REQUIRED)
set_target_properties(bridge_runtime_test PROPERTIES
  CROSSCOMPILING_EMULATOR "${VEXA_ENV};VEXA_ENABLE=3;VEXA_GUARD=7;VEXA_DISTINCT=0;VEXA_PRINT_LIMIT=0;VEXA_VIEW=sharing")
gtest_discover_tests(bridge_runtime_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# The wrappers as a user meets them (tests/bridge/wrappers.sh): the names
# that build systems recognise, through make (with clang's read before a
# write in one basic block) and CMake; and the settings programs built by
# them start with.
find_program(VEXA_BASH bash REQUIRED)
foreach(check names cmake defaults loops)
  add_test(NAME bridge_wrappers_${check}
    COMMAND ${VEXA_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/bridge/wrappers.sh ${check} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
            ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/wrappers_${check} $<$<BOOL:${VEXA_CLANG}>:clang>)
  set_tests_properties(bridge_wrappers_${check} PROPERTIES TIMEOUT 120)
  if(NOT VEXA_HAVE_OPENMP)
    set_tests_properties(bridge_wrappers_${check} PROPERTIES DISABLED ON)
  endif()
endforeach()
