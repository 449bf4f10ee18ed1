# The foundation: the exported interface, the runtime object's lifecycle and
# environment, the stop loop and configuration commands, the hook frame, the
# arena and the logging filter.

# Through libvexa.so, as a debugger sees it.
vexa_hook_test(protocol_test protocol_test.cc)

# Internals, linked from the library's objects.
vexa_unit_test(hook_frame_test hook_frame_test.cc)
vexa_unit_test(arena_test arena_test.cc)
vexa_unit_test(filter_test filter_test.cc)

# Programs that child-process tests run.
vexa_test_program(lifecycle_hello programs/lifecycle_hello.c)
vexa_test_program(lifecycle_no_task programs/lifecycle_no_task.c)
# Reports the runtime object's state after load; links the objects to read
# the internal logging level and the re filter.
add_executable(lifecycle_probe programs/lifecycle_probe.cc)
target_link_libraries(lifecycle_probe PRIVATE vexa_static)
add_dependencies(hook_frame_test lifecycle_no_task)

# Child-process tests need no library of their own.
function(vexa_foundation_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE vexa_test_support GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

vexa_foundation_test(environment_test environment_test.cc)
# Runs out of memory during its own unload stop.
add_executable(lifecycle_unload_oom programs/lifecycle_unload_oom.cc)
target_link_libraries(lifecycle_unload_oom PRIVATE vexa)
add_dependencies(environment_test lifecycle_hello lifecycle_probe lifecycle_unload_oom)

# The dynamic symbol table of the library, read with the toolchain's nm.
vexa_foundation_test(exports_test exports_test.cc)
add_dependencies(exports_test vexa)
target_compile_definitions(exports_test PRIVATE VEXA_LIBRARY_PATH="$<TARGET_FILE:vexa>" VEXA_NM="${CMAKE_NM}"
                           VEXA_REFERENCE_TARGET=$<BOOL:${VEXA_M32}>)

# The public header in the oldest dialects a program may be written in;
# the build fails if it stops compiling there.
add_library(header_use_c89 OBJECT programs/header_use.c)
set_target_properties(header_use_c89 PROPERTIES C_STANDARD 90 C_EXTENSIONS OFF)
add_library(header_use_cxx98 OBJECT programs/header_use.cc)
set_target_properties(header_use_cxx98 PROPERTIES CXX_STANDARD 98 CXX_EXTENSIONS OFF)
foreach(t header_use_c89 header_use_cxx98)
  target_include_directories(${t} PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(${t} PRIVATE -Wall -Wextra -pedantic -Werror)
endforeach()
