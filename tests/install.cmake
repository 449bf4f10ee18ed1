# The installed tools and the Debian package, used from elsewhere
# (tests/install/check.sh). Each installs or packages what the build made.
if(NOT TARGET vexa_threads OR NOT VEXA_HAVE_OPENMP OR NOT TARGET vexa_gdb)
  return()
endif()
find_program(VEXA_BASH bash REQUIRED)
find_program(VEXA_DPKG_DEB dpkg-deb)
set(install_gdb "")
if(NOT VEXA_I386_EMULATED)
  set(install_gdb gdb)
endif()
add_test(NAME install_relocated
  COMMAND ${VEXA_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install/check.sh relocated ${CMAKE_BINARY_DIR}
          ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/install_relocated ${install_gdb})
add_test(NAME install_package
  COMMAND ${VEXA_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/install/check.sh package ${CMAKE_BINARY_DIR}
          ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/install_package)
set_tests_properties(install_relocated install_package PROPERTIES TIMEOUT 180)
if(NOT VEXA_DPKG_DEB)
  set_tests_properties(install_package PROPERTIES DISABLED ON)
endif()
