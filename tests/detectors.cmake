# The detector cores: access logs and their indexes, the sharing detector's
# logging, and the reentrancy detector.
vexa_unit_test(access_log_test access_log_test.cc)
vexa_unit_test(re_test re_test.cc)

# tsm_test counts heap calls (it replaces operator new) and lock
# acquisitions, through a build of the library that counts every lock taken.
list(TRANSFORM VEXA_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/ OUTPUT_VARIABLE vexa_counting_sources)
add_library(vexa_counting STATIC ${vexa_counting_sources})
target_include_directories(vexa_counting PUBLIC ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(vexa_counting PUBLIC VEXA_COUNT_LOCKS)
target_link_libraries(vexa_counting PUBLIC Threads::Threads)
add_executable(tsm_test tsm_test.cc)
target_link_libraries(tsm_test PRIVATE vexa_test_support vexa_counting GTest::gtest_main)
gtest_discover_tests(tsm_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
