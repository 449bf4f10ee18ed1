/* Threads grow buffers of their own with realloc and fill them: memory a
 * block leaves behind when it moves is reused by the other threads' blocks,
 * which are new objects, not shared ones. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

static void* grow(void* unused) {
  (void)unused;
  long sum = 0;
  for (int round = 0; round < 20; ++round) {
    int* buffer = NULL;
    for (int n = 1; n <= 512; n *= 2) {
      buffer = (int*)realloc(buffer, n * sizeof *buffer);
      for (int i = 0; i < n; ++i) buffer[i] = i;
      sum += buffer[n - 1];
    }
    free(buffer);
  }
  return (void*)sum;
}

int main(void) {
  pthread_t t[4];
  for (int i = 0; i < 4; ++i) pthread_create(&t[i], NULL, grow, NULL);
  for (int i = 0; i < 4; ++i) pthread_join(t[i], NULL);
  puts("done");
  return 0;
}
