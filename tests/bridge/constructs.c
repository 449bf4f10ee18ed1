/* OpenMP constructs that order their tasks: worksharing in consecutive
 * parallel regions, dependences, a taskwait on a dependence, a taskyield,
 * undeferred and final tasks, a taskgroup and tasks with firstprivate
 * arguments. No two tasks alive at the same time touch the same data, so
 * vexa must report nothing, and every task must be entered and left in
 * order (no library error). */
#include <stdio.h>
#ifdef __cplusplus
#include <string>
#endif

enum { size = 64 };
static int first[size], second[size], parts[8];
static int x, y, z, w;

int main(void) {
#pragma omp parallel for num_threads(2)
  for (int i = 0; i < size; ++i) first[i] = i;

  /* A later region: the first region's tasks are over. */
#pragma omp parallel for num_threads(2)
  for (int i = 0; i < size; ++i) second[size - 1 - i] = first[size - 1 - i] * 2;

  long sum = 0;
#pragma omp parallel num_threads(2)
#pragma omp single
  {
#pragma omp task depend(out : x)
    x = 1;
#pragma omp task depend(in : x) depend(out : y)
    y = x + 1;
#pragma omp taskwait depend(in : y)
    sum += y;
#pragma omp taskyield
    int three = 3;
#pragma omp task if (0) firstprivate(three)
    z = three;
    sum += z;
#pragma omp task final(1)
    w = 4;
#pragma omp taskwait
    sum += w;
#pragma omp taskgroup
    {
      for (int i = 0; i < 8; ++i) {
#pragma omp task firstprivate(i)
        parts[i] = second[i * 8] + i;
      }
    }
    for (int i = 0; i < 8; ++i) sum += parts[i];
#ifdef __cplusplus
    /* A firstprivate object with a copy constructor: GCC copies it with a
     * function of its own. */
    std::string label = "parts";
    long length;
#pragma omp task firstprivate(label) shared(length)
    length = (long)label.size();
#pragma omp taskwait
    sum += length;
#endif
  }
  printf("sum: %ld\n", sum);
  return 0;
}
