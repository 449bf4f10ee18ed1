# The detector cores: the chain container, access logs and their index, the
# sharing detector's logging, and the reentrancy detector.
vexa_unit_test(chain_test chain_test.cc)
vexa_unit_test(access_log_test access_log_test.cc)
vexa_unit_test(re_test re_test.cc)

# tsm_test counts heap calls (it replaces operator new) and spin-lock
# acquisitions: every pthread_spin_lock and pthread_spin_trylock of the
# library's objects goes through the test's counting wrappers.
vexa_unit_test(tsm_test tsm_test.cc)
target_link_options(tsm_test PRIVATE -Wl,--wrap=pthread_spin_lock -Wl,--wrap=pthread_spin_trylock)
