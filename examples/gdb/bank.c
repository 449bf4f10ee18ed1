/* A bank with two tellers, each a task on a thread of its own, with the
 * calls an instrumenting compiler would insert. Two bugs for vexa to find:
 *
 *  - both tellers add to `bank_total` with no lock: data sharing;
 *  - both tellers call format_receipt(), which keeps its text in a static
 *    buffer, at the same time: a reentrant call.
 *
 * The barriers fix the order of the tellers so that every run finds the
 * same; vexa does not need them. Run it under GDB with the vexa extension:
 *   vexa-gdb ./vexa_gdb_example
 */
#include <pthread.h>
#include <stdio.h>

#include "vexa.h"
#ifdef VEXA_GDB_PYTHONDIR
#include "vexa_gdb_script.h"
#endif

#define TELLERS 2

static long accounts[TELLERS];
static long bank_total;
static pthread_barrier_t turn;

static void deposit(int teller, long amount) {
  _VEXA_enterFunction((void const*)deposit, __builtin_frame_address(0));
  _VEXA_readMemory(&accounts[teller], sizeof accounts[teller]);
  _VEXA_writeMemory(&accounts[teller], sizeof accounts[teller]);
  accounts[teller] += amount; /* each teller has an account of its own */
  _VEXA_readMemory(&bank_total, sizeof bank_total);
  _VEXA_writeMemory(&bank_total, sizeof bank_total);
  bank_total += amount; /* every teller updates the total: no lock */
  _VEXA_leaveFunction((void const*)deposit, __builtin_frame_address(0));
}

static char const* format_receipt(int teller, long amount) {
  static char text[64]; /* one buffer for every caller */
  _VEXA_enterFunction((void const*)format_receipt, __builtin_frame_address(0));
  snprintf(text, sizeof text, "teller %d deposited %ld", teller, amount);
  if (teller == 0) {
    pthread_barrier_wait(&turn); /* teller 0 holds the buffer ... */
    pthread_barrier_wait(&turn); /* ... while teller 1 comes in */
  }
  _VEXA_leaveFunction((void const*)format_receipt, __builtin_frame_address(0));
  return text;
}

/* The body of a teller's task, as a compiler outlines it. */
static void* teller(void* arg) {
  int const id = (int)(long)arg;
  long const amount = 100 * (id + 1);
  _VEXA_enterTask();
  if (id == 1) pthread_barrier_wait(&turn); /* teller 0 deposits first */
  deposit(id, amount);
  if (id == 0) {
    pthread_barrier_wait(&turn);
    puts(format_receipt(id, amount));
  } else {
    pthread_barrier_wait(&turn); /* teller 0 is inside format_receipt */
    puts(format_receipt(id, amount));
    pthread_barrier_wait(&turn); /* now teller 0 may leave it */
  }
  _VEXA_leaveTask();
  return NULL;
}

int main(void) {
  pthread_t tellers[TELLERS];
  pthread_barrier_init(&turn, NULL, TELLERS);
  for (long i = 0; i < TELLERS; ++i) pthread_create(&tellers[i], NULL, teller, (void*)i);
  for (int i = 0; i < TELLERS; ++i) pthread_join(tellers[i], NULL);
  printf("bank total: %ld\n", bank_total);
  return 0;
}
