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
add_dependencies(environment_test lifecycle_hello lifecycle_probe)

# The dynamic symbol table of the library, read with the toolchain's nm.
vexa_foundation_test(exports_test exports_test.cc)
add_dependencies(exports_test vexa)
target_compile_definitions(exports_test PRIVATE VEXA_LIBRARY_PATH="$<TARGET_FILE:vexa>" VEXA_NM="${CMAKE_NM}"
                           VEXA_REFERENCE_TARGET=$<BOOL:${VEXA_M32}>)
