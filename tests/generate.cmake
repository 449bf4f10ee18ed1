# Random task programs whose races are known from their structure
# (tests/races/generate/): the oracle on hand-written programs, and a small
# fixed sample scored against vexa, built by the wrappers as the race suite
# builds its programs. The sample fails below pair precision or recall of
# 0.99 at any team size, or on any aborted run; the large sample is a
# benchmark (bench/race_generate.sh).
find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND)
  message(STATUS "vexa: generated race programs skipped (need python3)")
  return()
endif()
set(generate_dir ${CMAKE_CURRENT_SOURCE_DIR}/races/generate)

add_test(NAME generate_oracle COMMAND ${Python3_EXECUTABLE} ${generate_dir}/oracle_test.py)
set_tests_properties(generate_oracle PROPERTIES LABELS races TIMEOUT 60)

if(NOT TARGET vexa_openmp OR NOT TARGET bridge_recorder)
  return()
endif()
# Six programs (three racy, three race-free) at one and four threads, with
# each compiler: about 10 s of CPU, 15 s under qemu.
set(generate_builds gcc_c)
if(VEXA_CLANG)
  set(generate_builds gcc_c,clang_c)
endif()
add_test(NAME generate_sample
  COMMAND ${Python3_EXECUTABLE} ${generate_dir}/score.py
          --build ${CMAKE_BINARY_DIR} --recorder $<TARGET_OBJECTS:bridge_recorder>
          --programs 6 --seed 1 --builds ${generate_builds} --threads 1,4 --jobs 2
          --min-precision 0.99 --min-recall 0.99)
set_tests_properties(generate_sample PROPERTIES LABELS races TIMEOUT 300)
