/* Programs that go wrong in ways the extension must report.
 *
 *   misuse          leaves a task it never entered: the library answers
 *                   with an error event, to be reported at the call
 *   misuse crash    dies of SIGSEGV after a clean start
 */
#include <stdio.h>
#include <string.h>

#include "vexa.h"

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "crash") == 0) {
    *(int volatile*)NULL = 1; /* @crash */
    return 0;
  }
  _VEXA_leaveTask(); /* @leave-without-task */
  puts("still running");
  return 0;
}
