/* Loads libvexa.so with dlopen, lets a thread use the hooks, and unloads the
   library while that thread still lives, ten times. Each load must start
   clean and each dlclose must really unload (the unload stop then comes at
   dlclose, and the next dlopen raises the load stop again). The thread
   ends only after the unload: it must not call into the unmapped library.
   Lines go to stderr, in order with the library's own. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

typedef void (*task_hook_t)(void);
typedef void (*memory_hook_t)(void const*, unsigned);
typedef void (*function_hook_t)(void const*, void const*);

static struct {
  task_hook_t enter_task;
  memory_hook_t write_memory;
  function_hook_t enter_function;
  uint32_t* config;
  uint32_t* guard;
  uint64_t* filter_space;
} lib;

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int stage;
static uint32_t word;

static void set_stage(int s) {
  pthread_mutex_lock(&mutex);
  stage = s;
  pthread_cond_broadcast(&changed);
  pthread_mutex_unlock(&mutex);
}

static void wait_stage(int s) {
  pthread_mutex_lock(&mutex);
  while (stage != s) pthread_cond_wait(&changed, &mutex);
  pthread_mutex_unlock(&mutex);
}

/* Enters a task it never leaves, so the load holds a live task, a thread
   arena, a log and an open activation when it is unloaded. */
static void* user(void* arg) {
  (void)arg;
  lib.enter_task(); /* also serves the pending allocation */
  lib.write_memory(&word, 4);
  lib.enter_function((void const*)&user, &arg);
  set_stage(1);
  wait_stage(2);
  return NULL;
}

int main(void) {
  for (int cycle = 0; cycle < 10; ++cycle) {
    fprintf(stderr, "cycle %d\n", cycle);
    void* h = dlopen(VEXA_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (h == NULL) {
      fprintf(stderr, "dlopen: %s\n", dlerror());
      return 1;
    }
    lib.enter_task = (task_hook_t)dlsym(h, "_VEXA_enterTask");
    lib.write_memory = (memory_hook_t)dlsym(h, "_VEXA_writeMemory");
    lib.enter_function = (function_hook_t)dlsym(h, "_VEXA_enterFunction");
    lib.config = (uint32_t*)dlsym(h, "__vexa_config");
    lib.guard = (uint32_t*)dlsym(h, "__VEXA_isGuardedCall");
    lib.filter_space = (uint64_t*)dlsym(h, "__vexa_filter_space");
    fprintf(stderr, "block %u %u %u %u, guard %u, filter space %s\n", lib.config[0], lib.config[1], lib.config[2],
            lib.config[3], *lib.guard, *lib.filter_space == 0 ? "none" : "some");

    lib.config[2] = 3; /* both detectors */
    *lib.guard = 7;
    lib.config[3] = 2;
    lib.config[1] = 0x80000000u; /* allocate a filter buffer */
    stage = 0;
    pthread_t t;
    pthread_create(&t, NULL, user, NULL);
    wait_stage(1);
    fprintf(stderr, "closing\n");
    dlclose(h);
    fprintf(stderr, "closed\n");
    set_stage(2);
    pthread_join(t, NULL);
  }
  return 0;
}
