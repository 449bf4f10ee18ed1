/* Loads libvexa.so with dlopen and drives it through dlsym, twice, with a
 * dlclose in between: the extension must catch both loads and report the
 * conflict of each.
 *
 *   dlopen_host PATH-OF-LIBVEXA [LOADS]
 *
 * Each load runs one data sharing conflict: task A writes `value`, then
 * task B reads it while A is still alive.
 */
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

typedef void (*task_hook_t)(void);
typedef void (*memory_hook_t)(void const*, unsigned);

static task_hook_t enter_task, leave_task;
static memory_hook_t read_memory, write_memory;
static int value;
static pthread_barrier_t step;

static void* task_a(void* unused) {
  enter_task();
  write_memory(&value, sizeof value); /* @write-value */
  value = 1;
  pthread_barrier_wait(&step);
  pthread_barrier_wait(&step);
  leave_task();
  return unused;
}

static void* task_b(void* unused) {
  (void)unused;
  enter_task();
  pthread_barrier_wait(&step);
  read_memory(&value, sizeof value); /* @read-value */
  int seen = value;
  pthread_barrier_wait(&step);
  leave_task();
  return (void*)(long)seen;
}

static void* symbol(void* library, char const* name) {
  void* found = dlsym(library, name);
  if (found == NULL) {
    fprintf(stderr, "dlsym %s: %s\n", name, dlerror());
    exit(2);
  }
  return found;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: dlopen_host PATH-OF-LIBVEXA [LOADS]\n");
    return 64;
  }
  int const loads = argc > 2 ? atoi(argv[2]) : 1;
  pthread_barrier_init(&step, NULL, 2);
  for (int i = 0; i < loads; ++i) {
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
      fprintf(stderr, "dlopen: %s\n", dlerror());
      return 2;
    }
    enter_task = (task_hook_t)symbol(library, "_VEXA_enterTask");
    leave_task = (task_hook_t)symbol(library, "_VEXA_leaveTask");
    read_memory = (memory_hook_t)symbol(library, "_VEXA_readMemory");
    write_memory = (memory_hook_t)symbol(library, "_VEXA_writeMemory");
    pthread_t a, b;
    pthread_create(&a, NULL, task_a, NULL);
    pthread_create(&b, NULL, task_b, NULL);
    pthread_join(a, NULL);
    pthread_join(b, NULL);
    dlclose(library);
  }
  printf("loads: %d\n", loads);
  return 0;
}
