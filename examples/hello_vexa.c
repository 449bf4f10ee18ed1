/* The smallest program that loads vexa: one task that writes a variable.
 * Run with VEXA_LOGGING=2 to see the library load and unload. */
#include <stdio.h>

#include "vexa.h"

static int answer;

int main(void) {
  _VEXA_enterTask();
  _VEXA_writeMemory(&answer, sizeof answer);
  answer = 42;
  _VEXA_leaveTask();
  printf("answer: %d\n", answer);
  return 0;
}
