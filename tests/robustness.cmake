# What real processes do: out of memory at any allocation, fork, exit and
# signals while threads are inside hooks (internals, linked from the
# objects), and unloading with dlclose while a thread that used the hooks
# lives on (a program that loads libvexa.so itself).

# Counts and fails the library's allocations: operator new is replaced in
# the test, and the filter buffer's malloc is wrapped.
vexa_unit_test(robustness_test robustness_test.cc)
target_link_options(robustness_test PRIVATE -Wl,--wrap=malloc)

add_executable(lifecycle_dlclose programs/lifecycle_dlclose.c)
target_link_libraries(lifecycle_dlclose PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
target_include_directories(lifecycle_dlclose PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(lifecycle_dlclose PRIVATE VEXA_LIBRARY="$<TARGET_FILE:vexa>")
add_dependencies(lifecycle_dlclose vexa)
add_dependencies(environment_test lifecycle_dlclose)
