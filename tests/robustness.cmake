# What real processes do: out of memory at any allocation, fork, exit and
# signals while threads are inside hooks (internals, linked from the
# objects), and unloading with dlclose while a thread that used the hooks
# lives on (a program that loads libvexa.so itself). Beside them, what a
# careless caller does (misuse_test) and the bounds of what the detector
# keeps (bounds_test).
#
# These carry the label `checking`: tools/test.sh runs them (with the
# stress test) again in a build with assertions and the lock-order check
# (-DVEXA_CHECKING=ON).
function(vexa_checking_test name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE vexa_test_support vexa_static GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 LABELS checking)
endfunction()

# Counts and fails the library's allocations: operator new is replaced in
# the test, and the filter buffer's malloc is wrapped.
vexa_checking_test(robustness_test robustness_test.cc)
target_link_options(robustness_test PRIVATE -Wl,--wrap=malloc)
vexa_checking_test(misuse_test misuse_test.cc)
vexa_checking_test(bounds_test bounds_test.cc)

# The checking build runs the stress test again, longer (about a minute on
# two cores there), under the label.
if(VEXA_CHECKING)
  gtest_discover_tests(stress_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 TEST_PREFIX "checking."
                       PROPERTIES TIMEOUT 600 LABELS checking ENVIRONMENT STRESS_TASKS=400000)
endif()

add_executable(lifecycle_dlclose programs/lifecycle_dlclose.c)
target_link_libraries(lifecycle_dlclose PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
target_include_directories(lifecycle_dlclose PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(lifecycle_dlclose PRIVATE VEXA_LIBRARY="$<TARGET_FILE:vexa>")
add_dependencies(lifecycle_dlclose vexa)
add_dependencies(environment_test lifecycle_dlclose)
