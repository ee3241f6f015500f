/* The traffic-log session on Linux, for the Windows lane to compare with.
 * Usage: ktcomm_log_session LOG MODE PORT, with KTCOMM_COM<PORT> naming a
 * device that echoes. Exits 0, or the step that failed. */
#include <stdio.h>
#include <stdlib.h>

#include "log_session.h"

int main(int argc, char **argv) {
  int failed;
  if (argc != 4) {
    fprintf(stderr, "usage: %s LOG MODE PORT\n", argv[0]);
    return 2;
  }
  failed = RunLogSession(argv[1], argv[2], atoi(argv[3]));
  if (failed != 0) fprintf(stderr, "log session failed at step %d\n", failed);
  return failed;
}
