# Diagnostic text, the filter buffer and its records, and the fuzz driver
# of configure().

# Child programs of the diagnostics tests: one drives libvexa.so and plays
# the debugger, the other links the objects to raise arbitrary reasons.
vexa_test_program(diagnostics_events programs/diagnostics_events.cc)
add_executable(diagnostics_raise programs/diagnostics_raise.cc)
target_link_libraries(diagnostics_raise PRIVATE vexa_static)

vexa_unit_test(diagnostics_test diagnostics_test.cc)
add_dependencies(diagnostics_test diagnostics_events diagnostics_raise)
vexa_unit_test(filter_buffer_test filter_buffer_test.cc)
vexa_unit_test(filter_concurrency_test filter_concurrency_test.cc)

# Random command sequences for configure(). CTest runs a short seeded pass;
# a developer runs a longer one with
#   build/bin/configure_fuzz --seed=N --runs=1000000
# or replays one input with build/bin/configure_fuzz FILE.
add_executable(configure_fuzz configure_fuzz.cc)
target_link_libraries(configure_fuzz PRIVATE vexa_static)
add_test(NAME configure_fuzz.seeded COMMAND configure_fuzz --seed=1 --runs=50000)
set_tests_properties(configure_fuzz.seeded PROPERTIES TIMEOUT 300)

# Coverage-guided fuzzing needs clang's libFuzzer, which has an i386
# runtime. In a build configured with clang
#   cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVEXA_BENCHMARKS=OFF
#   cmake --build build-fuzz --target configure_fuzzer
#   build-fuzz/bin/configure_fuzzer -max_total_time=600 CORPUS_DIR
# the library's sources are compiled once more with coverage feedback.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(TRANSFORM VEXA_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/ OUTPUT_VARIABLE vexa_fuzz_sources)
  add_executable(configure_fuzzer EXCLUDE_FROM_ALL configure_fuzz.cc ${vexa_fuzz_sources})
  target_compile_definitions(configure_fuzzer PRIVATE VEXA_LIBFUZZER)
  target_include_directories(configure_fuzzer PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src)
  target_compile_options(configure_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_options(configure_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_libraries(configure_fuzzer PRIVATE Threads::Threads)
endif()
