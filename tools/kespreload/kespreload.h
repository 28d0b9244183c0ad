/* kespreload: the program side of a preloaded Kestrun job.
 *
 * A job whose `preload` names a program has that program started by the
 * server while the user still fills in the job's dialog. The program then:
 *
 *   1. kespreload_open(): listens on a loopback port and registers it with
 *      the server (REGISTER_WAITING_FOR_CALLBACK, under its own process id
 *      and its parent's, so a program started through a wrapper is found);
 *   2. kespreload_next_step(): waits for the server's connection for a run or
 *      a script step and reads the environment message; every KES variable of
 *      that run is put into the program's environment (getenv). Only the
 *      server that started the program (one of its ancestors) is listened
 *      to: other local processes that connect to the port are closed unread,
 *      and names that do not start with KES are ignored;
 *   3. does the work, writing to standard output and error;
 *   4. for a script step (capture mode): kespreload_end_step() ends the
 *      step's output with a 0x04 byte on both streams and sends the step's
 *      status; then back to 2. For the job's run: simply exit; the exit code
 *      is the run's.
 *
 * Everything here is plain C; link with -lkespreload (static) and the C++
 * runtime. Not thread-safe: one kespreload per program, used by one thread. */
#ifndef KESPRELOAD_H
#define KESPRELOAD_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kespreload kespreload;

/* Opens the callback port and registers it with the server at
 * server_host:server_port for client `client_name`. NULL on failure (the
 * program may then carry on as an ordinary job). */
kespreload* kespreload_open(const char* server_host, int server_port, const char* client_name);

/* Registers `callback_port` with the server without listening on it (for
 * programs that manage their own socket). 0 on success, -1 on failure. */
int kespreload_register(const char* server_host, int server_port, const char* client_name,
                        int callback_port);

/* The callback port `kp` listens on. */
int kespreload_port(const kespreload* kp);

/* Waits at most `timeout_ms` (negative: no limit) for the server's connection
 * (connections from processes that are not ancestors of this one are closed
 * and waited past) and reads the environment message into the environment,
 * KES names only. Returns the number of variables set, or -1 on time-out or
 * failure. */
int kespreload_next_step(kespreload* kp, int timeout_ms);

/* Ends a script step: flushes stdout and stderr, writes 0x04 on both, sends
 * the status record with `status` (-128..127) and closes the connection.
 * 0 on success, -1 when the server's connection is gone. */
int kespreload_end_step(kespreload* kp, int status);

/* Closes everything. NULL is allowed. */
void kespreload_close(kespreload* kp);

#ifdef __cplusplus
}
#endif

#endif
