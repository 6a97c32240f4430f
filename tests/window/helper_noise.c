/* Preloaded into the portable installer's window helper, as a library that writes to standard
   input at its start: a record whose texts would take 4 GiB, ahead of the helper's first
   message. Nothing in any other program. */
#define _GNU_SOURCE
#include <errno.h>
#include <string.h>
#include <unistd.h>

__attribute__((constructor)) static void writeNoise(void) {
  if (strcmp(program_invocation_short_name, "installer-window") != 0) return;
  char noise[32];
  memset(noise, 0xff, sizeof noise);
  noise[0] = 1;
  (void)!write(STDIN_FILENO, noise, sizeof noise);
}
