# The race suite: small OpenMP programs, each built as a racy program and,
# with -DFIXED, as its race-free twin, by the wrappers as a user would,
# plus the recorder of tests/bridge. A racy program must be reported
# whatever the schedule and the number of threads; its twin must report
# nothing. Whether a program is racy is told by its name alone
# (NAME_racy_BUILD, NAME_fixed_BUILD), never by what a run showed.
if(NOT TARGET vexa_openmp OR NOT TARGET bridge_recorder)
  return()
endif()

# Sources of tests/races/ built as both twins, and those built only as the
# race-free program (the construct they show has no racy form of its own).
set(races_twins
  sibling_tasks parent_read grandchild create_order initial_task
  implicit_barrier loop_nowait single_nowait
  omp_atomic builtin_atomic
  critical_tasks critical_threads critical_names omp_lock lock_handoff lock_held_across_barrier pthread_mutex
  depend_in depend_inout taskloop nested reduction host_teams teams
  join_running_child taskwait_depend taskwait_depend_nested if0_depend depend_taskgroup detach long_chain mutexinoutset
  sparselu mutexinoutset_freed unjoined_producer target_tasks
  barrier_join barrier_published mutexinoutset_parents many_locks fork_region
  sections loop_dynamic loop_guided loop_nowait_own loop_default loop_thread_slots untied)
set(races_fixed_only copyprivate ordered loop_pieces)
# C++ sources, built as C++ only.
set(races_cxx_twins std_mutex std_atomic lambda_task)
# Threads programs (no OpenMP), the same way.
set(races_threads_twins
  thread_create_join thread_no_overlap thread_condvar thread_semaphore thread_barrier thread_once
  thread_atomic_flag thread_fence thread_rwlock)
set(races_threads_fixed_only thread_realloc)
set(races_threads_cxx_twins std_thread std_shared_mutex std_call_once std_future std_release_acquire)
list(APPEND races_twins omp_release_acquire)

# Programs that the toolchain cannot link or run, as NAME_BUILD: they are
# not built, and their tests skip with a message. libomp's entry point for
# GCC's tasks makes no task detachable and leaves GCC's event handle unset:
# the program crashes in omp_fulfill_event, plain as with the wrappers.
# clang calls a target region's host code directly, so nothing tells
# that the region ended: the tasks made in it stay unordered with what
# follows it.
set(races_pending detach_gcc_c detach_gcc_cxx target_tasks_clang_c)
# clang's builds run at four threads only (GCC's cover one); these sources'
# clang builds run at one thread too, being followed with clang's only.
set(races_clang_one_thread detach)

set(races_dir ${CMAKE_CURRENT_BINARY_DIR}/races)
set(races_wrapper_deps vexa vexa_openmp vexa_threads ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/vexa-cc)

# The builds of the C sources, and of the C++ ones: compiler and language.
set(races_c_builds gcc_c gcc_cxx)
set(races_cxx_builds gcc_cxx)
if(VEXA_CLANG)
  list(APPEND races_c_builds clang_c)
endif()
if(VEXA_CLANGXX)
  list(APPEND races_cxx_builds clang_cxx)
endif()

# vexa_race_program(SOURCE VARIANT BUILD): NAME_VARIANT_BUILD from
# tests/races/SOURCE; VARIANT is racy or fixed, BUILD gcc_c, gcc_cxx,
# clang_c or clang_cxx.
function(vexa_race_program source variant build)
  get_filename_component(name ${source} NAME_WLE)
  set(program ${name}_${variant}_${build})
  if("${name}_${build}" IN_LIST races_pending)
    set_property(GLOBAL APPEND PROPERTY vexa_race_pending ${program})
    return()
  endif()
  if(build MATCHES "^gcc")
    set(c gcc)
    set(cxx g++)
  else()
    set(c ${VEXA_CLANG})
    set(cxx ${VEXA_CLANGXX})
  endif()
  if(build MATCHES "cxx$")
    set(wrapper vexa-c++)
    set(language -x c++ -std=c++20)
  else()
    set(wrapper vexa-cc)
    set(language -x c)
  endif()
  set(fixed "")
  if(variant STREQUAL "fixed")
    set(fixed -DFIXED)
  endif()
  set(openmp -fopenmp)
  if(name IN_LIST races_threads_twins OR name IN_LIST races_threads_fixed_only
     OR name IN_LIST races_threads_cxx_twins)
    set(openmp "")
  endif()
  set(output ${races_dir}/${program})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${races_dir}
    COMMAND ${CMAKE_COMMAND} -E env VEXA_CC=${c} VEXA_CXX=${cxx}
            ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${wrapper} -g -O0 ${openmp} -pthread ${language} ${fixed}
            ${CMAKE_CURRENT_SOURCE_DIR}/races/${source} $<TARGET_OBJECTS:bridge_recorder> -o ${output}
    DEPENDS races/${source} bridge_recorder ${races_wrapper_deps}
    COMMENT "vexa-cc (${build}): ${program}"
    VERBATIM COMMAND_EXPAND_LISTS)
  set_property(GLOBAL APPEND PROPERTY vexa_race_outputs ${output})
  set_property(GLOBAL APPEND PROPERTY vexa_race_programs ${program})
endfunction()

foreach(build ${races_c_builds})
  foreach(name ${races_twins})
    vexa_race_program(${name}.c racy ${build})
    vexa_race_program(${name}.c fixed ${build})
  endforeach()
  foreach(name ${races_fixed_only} ${races_threads_fixed_only})
    vexa_race_program(${name}.c fixed ${build})
  endforeach()
  foreach(name ${races_threads_twins})
    vexa_race_program(${name}.c racy ${build})
    vexa_race_program(${name}.c fixed ${build})
  endforeach()
endforeach()
foreach(build ${races_cxx_builds})
  foreach(name ${races_cxx_twins} ${races_threads_cxx_twins})
    vexa_race_program(${name}.cc racy ${build})
    vexa_race_program(${name}.cc fixed ${build})
  endforeach()
endforeach()
get_property(races_outputs GLOBAL PROPERTY vexa_race_outputs)
get_property(races_programs GLOBAL PROPERTY vexa_race_programs)
get_property(races_pending_programs GLOBAL PROPERTY vexa_race_pending)
add_custom_target(race_programs ALL DEPENDS ${races_outputs})

# Lists reach the test as comma-separated strings: a semicolon would split
# the definition.
string(REPLACE ";" "," races_programs "${races_programs}")
string(REPLACE ";" "," races_pending_programs "${races_pending_programs}")
string(REPLACE ";" "," races_clang_one_thread "${races_clang_one_thread}")
add_executable(races_test races/races_test.cc)
target_link_libraries(races_test PRIVATE vexa_test_support GTest::gtest_main)
target_compile_definitions(races_test PRIVATE
  VEXA_RACES_DIR="${races_dir}"
  VEXA_RACES_SOURCE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/races"
  VEXA_RACES_PROGRAMS="${races_programs}"
  VEXA_RACES_PENDING="${races_pending_programs}"
  VEXA_RACES_CLANG_ONE_THREAD="${races_clang_one_thread}")
add_dependencies(races_test race_programs)
# Labelled, so that a run can pick the suite (ctest -L races) or leave it
# out (ctest -LE races).
gtest_discover_tests(races_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS races)
