// An OpenMP program in the shape of a proxy application, built with
// vexa-c++ -fopenmp: C++ functions whose loops the compiler outlines, an
// intrinsic inlined from a compiler header, several races on one line, a
// helper that counts its calls (a reentrant call that touches static
// storage), and a race in another file (omp_other.cc). Reports happen
// while the region's other threads run.
#include <emmintrin.h>

#include <cstdio>
#include <cstdlib>

struct Domain {
  double x[64];
  int hits[4];
  long total;
};

static int calls;

double scale(double v) {
  calls++; /* @count-calls */
  return v * 2;
}

static int first_bytes(unsigned char const* p) {
  __m128i v = _mm_loadu_si128((__m128i const*)p); /* @load-bytes */
  return _mm_cvtsi128_si32(v);
}

void CalcKinematicsForElems(Domain& d, double dt, int n) { /* @kinematics */
#pragma omp parallel for
  for (int i = 0; i < n; ++i) {
    d.x[i % 64] = scale(d.x[i % 64]) * dt;
    d.hits[i % 4] += d.hits[(i + 1) % 4]; /* @hits */
  }
} /* @kinematics-end */

unsigned char bytes[16];

void Vectors(Domain& d, int n) {
#pragma omp parallel for
  for (int i = 0; i < n; ++i) {
    bytes[i % 16] = (unsigned char)i; /* @store-byte */
    d.total += first_bytes(bytes); /* @call-first-bytes */
  }
}

void other_file_race(int n);

int main(int argc, char** argv) {
  static Domain d;
  int rounds = argc > 1 ? std::atoi(argv[1]) : 1;
  for (int r = 0; r < rounds; ++r) {
    CalcKinematicsForElems(d, 0.5, 256);
    Vectors(d, 64);
    other_file_race(64);
  }
  std::printf("rounds: %d\n", rounds);
  return 0;
}
