/* A mutexinoutset task that outlives the task that made it. libomp keeps
 * the lock of a mutexinoutset dependence with the dependences of the task
 * that made the dependent task, and frees it when that task ends; the
 * dependent task, still waiting for its predecessor, then tries a lock in
 * memory that the program has reused: plain libomp drops the task, and
 * with the library's allocations instead of the program's the run hung.
 * The task must run, once (the exit status says so), and its write race
 * with what the single thread does after it. */
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>

static int x, y, go;
static unsigned* blocks[256];

int main(void) {
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#pragma omp task if(0)
    {
#pragma omp task depend(out : x)
      {
        int g;
        do {
#pragma omp atomic read
          g = go;
        } while (!g);
        x = 1;
      }
#pragma omp task depend(mutexinoutset : x)
      {
        x += 1;
        y = 1;  // race
      }
    }
    // The task above has ended: what held its dependences is free again.
    for (int i = 0; i < 256; ++i) {
      blocks[i] = (unsigned*)malloc(64 + i);
      for (int k = 0; k < (64 + i) / 4; ++k) blocks[i][k] = k;
    }
#pragma omp atomic write
    go = 1;
#ifndef FIXED
    y = 2;  // race
#endif
  }
#ifdef FIXED
  y = 2;
#endif
  for (int i = 0; i < 256; ++i) free(blocks[i]);
  printf("x %d y %d\n", x, y);
  return x == 2 ? 0 : 1;
}
