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
 *   report F after its callback, writes "job <KESJOBNAME> preload <LD_PRELOAD>"
 *            to file F and exits 0
 *   intrude P connects to callback port P as another local user would, sends
 *            KESJOBNAME=intruder, and exits 0 once the connection is closed
 * Without a server connection within 40 s it runs with its own environment. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/kespreload/kespreload.h"

static const char* Var(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

static int Intrude(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in to = {0};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons((uint16_t)port);
  if (s < 0 || connect(s, (struct sockaddr*)&to, sizeof to) != 0) return 2;
  const char item[] = "KESJOBNAME=intruder";
  uint32_t length = sizeof item - 1, end = 0;
  char message[64];
  memcpy(message, &length, 4);
  memcpy(message + 4, item, length);
  memcpy(message + 4 + length, &end, 4);
  if (send(s, message, 8 + length, MSG_NOSIGNAL) != (ssize_t)(8 + length)) return 2;
  char c;
  while (read(s, &c, 1) > 0) {
  }
  close(s);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int port = atoi(argv[1]);
  const char* mode = argv[2];
  if (strcmp(mode, "exit") == 0) return 3;
  if (strcmp(mode, "intrude") == 0 && argc > 3) return Intrude(atoi(argv[3]));
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
  if (strcmp(mode, "report") == 0 && argc > 3) {
    kespreload_next_step(kp, 40000);
    char part[4096];
    snprintf(part, sizeof part, "%s.part", argv[3]);
    FILE* f = fopen(part, "w");
    if (f == NULL) return 2;
    fprintf(f, "job %s preload %s\n", Var("KESJOBNAME"), Var("LD_PRELOAD"));
    fclose(f);
    rename(part, argv[3]); /* whole or not at all */
    kespreload_close(kp);
    return 0;
  }
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
