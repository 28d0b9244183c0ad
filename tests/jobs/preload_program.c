/* A preloadable job program built on kespreload, as an administrator would
 * write one. argv: server port, mode.
 *   run      one run: prints "pid <pid> job <KESJOBNAME>", exits 7
 *   hold     as run, then waits to be stopped
 *   steps    script steps: prints "step <KESSTEP>" and a tail after a 0x04
 *            in the same write, ends the step with status KESSTATUS
 *   twice    registers its port a second time, then as run
 *   deaf     registers a port nobody listens on; preloaded (no KESJOBNAME)
 *            it waits to be ended, in a run it prints as run
 *   silent   never registers, waits to be ended
 *   exit     exits 3 at once
 * Without a server connection within 40 s it runs with its own environment. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tools/kespreload/kespreload.h"

static const char* Var(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int port = atoi(argv[1]);
  const char* mode = argv[2];
  if (strcmp(mode, "exit") == 0) return 3;
  if (strcmp(mode, "silent") == 0) {
    pause();
    return 0;
  }
  if (strcmp(mode, "deaf") == 0) {
    kespreload_register("localhost", port, "pc1", 1); /* port 1: nobody listens */
    if (!getenv("KESJOBNAME")) pause();               /* preloaded: wait for the run */
    printf("pid %d job %s\n", (int)getpid(), Var("KESJOBNAME"));
    return 7;
  }
  kespreload* kp = kespreload_open("localhost", port, "pc1");
  if (kp && strcmp(mode, "twice") == 0)
    kespreload_register("localhost", port, "pc1", kespreload_port(kp));
  if (strcmp(mode, "steps") == 0) {
    while (kespreload_next_step(kp, 40000) >= 0) {
      printf("step %s\004tail", Var("KESSTEP"));
      fprintf(stderr, "err %s", Var("KESSTEP"));
      kespreload_end_step(kp, atoi(Var("KESSTATUS")));
    }
    kespreload_close(kp);
    return 0;
  }
  kespreload_next_step(kp, 40000);
  printf("pid %d job %s\n", (int)getpid(), Var("KESJOBNAME"));
  fflush(stdout);
  if (strcmp(mode, "hold") == 0) pause();
  kespreload_close(kp);
  return 7;
}
