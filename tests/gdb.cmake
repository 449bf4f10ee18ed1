# End-to-end tests of the GDB extension: real GDB in batch mode, without a
# tty, on 32-bit programs built with -g against libvexa.so. The driver is a
# Python unittest module; each test class is one CTest test.
find_program(VEXA_GDB_EXECUTABLE gdb)
find_package(Python3 COMPONENTS Interpreter)
if(NOT VEXA_GDB_EXECUTABLE OR NOT Python3_Interpreter_FOUND OR NOT TARGET vexa_gdb)
  message(STATUS "vexa: GDB extension tests skipped (need gdb, python3 and tools/gdb)")
  return()
endif()

# Line numbers in reports are checked exactly, so no optimisation.
foreach(program scenarios stress misuse)
  add_executable(gdb_${program} gdb/${program}.c)
  target_link_libraries(gdb_${program} PRIVATE vexa Threads::Threads)
  target_include_directories(gdb_${program} PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(gdb_${program} PRIVATE -O0 -g)
endforeach()
# Loads libvexa.so with dlopen only: it must not link it.
add_executable(gdb_dlopen_host gdb/dlopen_host.c)
target_link_libraries(gdb_dlopen_host PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
target_compile_options(gdb_dlopen_host PRIVATE -O0 -g)
add_dependencies(gdb_dlopen_host vexa)

# A bridge-like library (its name marks its frames as the bridge's) and a
# program whose tasks run through it.
add_library(vexa_fakebridge SHARED gdb/fake_bridge.c)
target_link_libraries(vexa_fakebridge PRIVATE vexa)
target_include_directories(vexa_fakebridge PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(vexa_fakebridge PRIVATE -O0 -g)
add_executable(gdb_bridged gdb/bridged.c)
target_link_libraries(gdb_bridged PRIVATE vexa_fakebridge vexa Threads::Threads)
target_compile_options(gdb_bridged PRIVATE -O0 -g)

# An OpenMP C++ program built as a user builds one, with vexa-c++.
set(gdb_groups Reports Commands Filters Settings Dlopen Stress Batch Runner AutoLoad)
if(VEXA_HAVE_OPENMP AND TARGET vexa_openmp)
  set(gdb_omp ${CMAKE_CURRENT_BINARY_DIR}/gdb/omp_kernels)
  add_custom_command(OUTPUT ${gdb_omp}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/gdb
    COMMAND ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/vexa-c++ -g -O0 -msse2 -fopenmp ${CMAKE_CURRENT_SOURCE_DIR}/gdb/omp_kernels.cc
            ${CMAKE_CURRENT_SOURCE_DIR}/gdb/omp_other.cc -o ${gdb_omp}
    DEPENDS gdb/omp_kernels.cc gdb/omp_other.cc vexa vexa_openmp ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/vexa-cc
    COMMENT "vexa-c++ -fopenmp: gdb/omp_kernels" VERBATIM)
  add_custom_target(gdb_omp_kernels ALL DEPENDS ${gdb_omp})
  list(APPEND gdb_groups OpenMP Sarif Browser)
endif()
foreach(group ${gdb_groups})
  add_test(NAME gdb.${group}
    COMMAND ${Python3_EXECUTABLE} -B -m unittest -v gdb_test.${group}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/gdb)
  set_tests_properties(gdb.${group} PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77
    ENVIRONMENT "VEXA_GDB_BUILD=${CMAKE_BINARY_DIR};VEXA_GDB_SOURCE=${CMAKE_SOURCE_DIR};VEXA_GDB=${VEXA_GDB_EXECUTABLE}")
  # Listed as not run rather than left out, so a summary shows the gap.
  if(VEXA_I386_EMULATED)
    set_tests_properties(gdb.${group} PROPERTIES DISABLED TRUE)
  endif()
endforeach()
