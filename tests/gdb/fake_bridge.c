/* A stand-in for the bridge's libraries: hooks called on the program's
 * behalf with explicit code addresses, tasks with identities, and a task's
 * function called from here, as a thread's start routine is. Its name
 * (libvexa_*.so) marks its frames as the bridge's. */
#include "vexa.h"

void fake_task(void (*function)(void*), void* argument, unsigned long long id) {
  _VEXA_enterTaskAs(id, __builtin_return_address(0));
  function(argument);
  _VEXA_leaveTaskAt(__builtin_return_address(0));
}

/* Called first thing by an instrumented function: the code address is the
 * call site in its caller, as the bridge gives it. */
void fake_function_entry(void const* function, void const* frame, void const* call_site) {
  _VEXA_enterFunctionAt(function, frame, call_site);
}

void fake_function_exit(void const* function, void const* frame) {
  _VEXA_leaveFunctionAt(function, frame, __builtin_return_address(0));
}

void fake_write(void const* address, unsigned size) {
  _VEXA_writeMemoryAt(address, size, __builtin_return_address(0));
}
