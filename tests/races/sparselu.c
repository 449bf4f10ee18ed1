/* Sparse LU factorisation by blocks, with tasks ordered by dependences on
 * the blocks, at several numbers of blocks (3 to 9): every task that reads
 * a block depends on it, so nothing races at any size. Without FIXED the
 * update of an inner block does not depend on the row block it reads,
 * which the forward step writes: that races. */
#include <stdio.h>
#include <stdlib.h>

#define BS 4

static void lu0(float* diag) {
  for (int k = 0; k < BS; ++k)
    for (int i = k + 1; i < BS; ++i) {
      diag[i * BS + k] /= diag[k * BS + k];
      for (int j = k + 1; j < BS; ++j) diag[i * BS + j] -= diag[i * BS + k] * diag[k * BS + j];
    }
}

static void fwd(float const* diag, float* row) {
  for (int k = 0; k < BS; ++k)
    for (int i = k + 1; i < BS; ++i)
      for (int j = 0; j < BS; ++j) row[i * BS + j] -= diag[i * BS + k] * row[k * BS + j];  // race
}

static void bdiv(float const* diag, float* col) {
  for (int i = 0; i < BS; ++i)
    for (int k = 0; k < BS; ++k) {
      col[i * BS + k] /= diag[k * BS + k];
      for (int j = k + 1; j < BS; ++j) col[i * BS + j] -= col[i * BS + k] * diag[k * BS + j];
    }
}

static void bmod(float const* col, float const* row, float* inner) {
  for (int i = 0; i < BS; ++i)
    for (int j = 0; j < BS; ++j)
      for (int k = 0; k < BS; ++k) inner[i * BS + j] -= col[i * BS + k] * row[k * BS + j];  // race
}

static float* block(void) {
  float* b = (float*)malloc(BS * BS * sizeof *b);
  for (int i = 0; i < BS * BS; ++i) b[i] = (float)(i % 7 + 1) + (i % (BS + 1) == 0 ? 20.0f : 0.0f);
  return b;
}

// The number of blocks, fill-in included.
static int factorise(int nb) {
  float* a[9][9] = {{0}};
  for (int i = 0; i < nb; ++i)
    for (int j = 0; j < nb; ++j)
      if (i == j || (i + 2 * j) % 3 == 0) a[i][j] = block();
#pragma omp parallel
#pragma omp single
  {
    for (int kk = 0; kk < nb; ++kk) {
      float* diag = a[kk][kk];
#pragma omp task depend(inout : diag[0])
      lu0(diag);
      for (int jj = kk + 1; jj < nb; ++jj) {
        float* row = a[kk][jj];
        if (row == NULL) continue;
#pragma omp task depend(in : diag[0]) depend(inout : row[0])
        fwd(diag, row);
      }
      for (int ii = kk + 1; ii < nb; ++ii) {
        float* col = a[ii][kk];
        if (col == NULL) continue;
#pragma omp task depend(in : diag[0]) depend(inout : col[0])
        bdiv(diag, col);
      }
      for (int ii = kk + 1; ii < nb; ++ii) {
        float* col = a[ii][kk];
        if (col == NULL) continue;
        for (int jj = kk + 1; jj < nb; ++jj) {
          float* row = a[kk][jj];
          if (row == NULL) continue;
          if (a[ii][jj] == NULL) a[ii][jj] = block();
          float* inner = a[ii][jj];
#ifdef FIXED
#pragma omp task depend(in : col[0], row[0]) depend(inout : inner[0])
#else
#pragma omp task depend(in : col[0]) depend(inout : inner[0])
#endif
          bmod(col, row, inner);
        }
      }
    }
  }
  int blocks = 0;
  for (int i = 0; i < nb; ++i)
    for (int j = 0; j < nb; ++j)
      if (a[i][j] != NULL) {
        ++blocks;
        free(a[i][j]);
      }
  return blocks;
}

int main(void) {
  int blocks = 0;
  for (int nb = 3; nb <= 9; ++nb) blocks += factorise(nb);
  printf("blocks %d\n", blocks);
  return 0;
}
