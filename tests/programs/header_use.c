/* Compiled as C89 and as C++98 (header_use.cc includes this file): the
 * public header must serve programs of any dialect, layout checks included. */
#include "vexa.h"

int vexa_header_use(void) {
  _VEXA_enterTask();
  _VEXA_writeMemory(&__vexa_event_reason, sizeof __vexa_event_reason);
  _VEXA_leaveTask();
  return (int)sizeof(vexa_detection_t);
}
