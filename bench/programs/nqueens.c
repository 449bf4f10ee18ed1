/* N-queens, counting all solutions, with one task per valid placement.
 *
 *   nqueens N
 *
 * A parent copies its board into each child: it builds the child's board
 * in its own frame and hands it over as a firstprivate value, which task
 * creation copies. Each child writes its counts into its own slot of the
 * parent's arrays, which the parent reads after the taskwait. Prints the
 * number of solutions and the number of tasks. */
#include <stdio.h>
#include <stdlib.h>

enum { max_n = 16 };

typedef struct {
  int n;
  signed char queen[max_n]; /* column of the queen in each placed row */
} board_t;

static int safe(board_t const* b, int row, int col) {
  for (int r = 0; r < row; r++) {
    int c = b->queen[r];
    if (c == col || c - col == r - row || c - col == row - r) return 0;
  }
  return 1;
}

static void solve(board_t const* b, int row, long* solutions, long* tasks) {
  long sub_solutions[max_n], sub_tasks[max_n];
  int spawned[max_n];
  if (row == b->n) {
    *solutions = 1;
    *tasks = 0;
    return;
  }
  for (int col = 0; col < b->n; col++) {
    spawned[col] = safe(b, row, col);
    if (!spawned[col]) continue;
    board_t child = *b;
    child.queen[row] = (signed char)col;
#pragma omp task firstprivate(child, col) shared(sub_solutions, sub_tasks)
    solve(&child, row + 1, &sub_solutions[col], &sub_tasks[col]);
  }
#pragma omp taskwait
  long s = 0, t = 0;
  for (int col = 0; col < b->n; col++) {
    if (!spawned[col]) continue;
    s += sub_solutions[col];
    t += sub_tasks[col] + 1;
  }
  *solutions = s;
  *tasks = t;
}

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 8;
  if (n < 1 || n > max_n) {
    fprintf(stderr, "nqueens: N must be between 1 and %d\n", max_n);
    return 2;
  }
  board_t board = {n, {0}};
  long solutions = 0, tasks = 0;
#pragma omp parallel
#pragma omp single
  solve(&board, 0, &solutions, &tasks);
  printf("checksum %ld work %ld\n", solutions, tasks);
  return 0;
}
