/* Counts the nodes of a binary tree of tasks. Each node starts a task for
 * each subtree and adds up their counts, but it reads the counts before
 * the taskwait that waits for them: the children write what the parent
 * reads while both are alive. Built with -DFIXED, the parent waits first,
 * and vexa reports nothing. */
#include <stdio.h>

static long count_nodes(int depth) {
  if (depth == 0) return 1;
  long left, right;
#pragma omp task shared(left)
  left = count_nodes(depth - 1);
#pragma omp task shared(right)
  right = count_nodes(depth - 1);
#ifdef FIXED
#pragma omp taskwait
#endif
  long nodes = left + right + 1;
#ifndef FIXED
#pragma omp taskwait
#endif
  return nodes;
}

int main(void) {
  long nodes = 0;
#pragma omp parallel num_threads(2)
#pragma omp single
  nodes = count_nodes(4);
  printf("nodes: %ld\n", nodes);
  return 0;
}
