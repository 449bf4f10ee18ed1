/* An in-process debugger for the example programs: linked into a test
 * build, it defines the library's breakpoint function, so every stop lands
 * here. Each detection and each error is written to stderr as one line,
 * with every code address given as module+offset, which the test driver
 * turns into source lines with addr2line (the programs are position
 * independent, so absolute addresses mean nothing outside the process):
 *
 *   vexa-recorder: tsm w4 prog+0x12ab r4 prog+0x1290 ...   offender first
 *   vexa-recorder: re prog+0x1230 at prog+0x1301 tasks 2   function, call
 *   vexa-recorder: error -992
 *
 * The detectors and hooks are switched on with VEXA_ENABLE and VEXA_GUARD,
 * as without a debugger. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "vexa.h"

static void print_code(FILE* out, uint64_t code) {
  Dl_info info;
  void* address = (void*)(uintptr_t)code;
  if (code != 0 && dladdr(address, &info) != 0 && info.dli_fname != NULL) {
    char const* slash = strrchr(info.dli_fname, '/');
    fprintf(out, "%s+0x%lx", slash != NULL ? slash + 1 : info.dli_fname,
            (unsigned long)((uintptr_t)address - (uintptr_t)info.dli_fbase));
  } else {
    fprintf(out, "0x%llx", (unsigned long long)code);
  }
}

static void print_access(FILE* out, tsm_access_desc_t const* a) {
  fprintf(out, " %c%u ", a->access == TSM_WRITE ? 'w' : 'r', a->size);
  print_code(out, a->code);
}

/* Stops are serialised by the library's runtime lock. */
void __vexa_switch_to_debugger(void) {
  FILE* out = stderr;
  vexa_detection_t const* d = &__vexa_current_detection;
  if (__vexa_event_reason == VEXA_EVENT_DATA_SHARING) {
    tsm_access_desc_t const* offended = (tsm_access_desc_t const*)(uintptr_t)d->u.tsm.offended;
    flockfile(out);
    fputs("vexa-recorder: tsm", out);
    print_access(out, &d->u.tsm.offender);
    for (uint64_t i = 0; i < d->u.tsm.count; ++i) print_access(out, &offended[i]);
    fputc('\n', out);
    funlockfile(out);
  } else if (__vexa_event_reason == VEXA_EVENT_REENTRANT_CALL) {
    flockfile(out);
    fputs("vexa-recorder: re ", out);
    print_code(out, d->u.re.function);
    fputs(" at ", out);
    print_code(out, d->code);
    fprintf(out, " tasks %llu\n", (unsigned long long)d->u.re.count);
    funlockfile(out);
  } else if (__vexa_event_reason < 0) {
    fprintf(out, "vexa-recorder: error %d\n", (int)__vexa_event_reason);
  }
}
