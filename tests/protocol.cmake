vexa_hook_test(protocol_test protocol_test.cc)
