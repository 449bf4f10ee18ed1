// The race of omp_kernels.cc in a file of its own.
long other_total;

void other_file_race(int n) {
#pragma omp parallel for
  for (int i = 0; i < n; ++i)
    other_total += i; /* @other-total */
}
