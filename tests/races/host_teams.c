/* A host teams construct: each team's initial thread writes its own
 * element (FIXED). In the racy program every team also writes one shared
 * variable. */
#include <omp.h>
#include <stdio.h>

static int per_team[2], last;

int main(void) {
#pragma omp teams num_teams(2)
  {
    int const team = omp_get_team_num();
    if (team < 2) per_team[team] = team + 1;
#ifndef FIXED
    last = 1;
#endif
  }
  printf("teams: %d %d\n", per_team[0], per_team[1]);
  return 0;
}
