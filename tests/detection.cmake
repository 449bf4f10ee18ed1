# Detection from end to end: the task, memory and function hooks with the
# detectors behind them, driven from several threads with an in-process
# debugger. The memory and function hook tests go through libvexa.so's
# exported interface; the others reach the thread model and task records.
vexa_unit_test(task_handles_test task_handles_test.cc)
vexa_unit_test(task_hooks_test task_hooks_test.cc)
vexa_hook_test(memory_hooks_test memory_hooks_test.cc)
vexa_hook_test(function_hooks_test function_hooks_test.cc)
vexa_hook_test(distinct_test distinct_test.cc)
vexa_unit_test(stress_test stress_test.cc)
