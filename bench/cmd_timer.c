/* cmd_timer: times a command the way the daemon runs one.
 *
 *   cmd_timer [-k PIDFILE] REPS PROGRAM [ARG ...]
 *
 * Each repetition spawns PROGRAM (found on PATH) with its standard output on
 * a pipe, reads the output to its end and waits for it: the cost the daemon
 * pays for one `service` call. Prints one line "NANOSECONDS STATUS" per
 * repetition (CLOCK_MONOTONIC, wait status).
 *
 * -k PIDFILE: before each repetition, untimed, kill the process named in
 * PIDFILE with SIGSEGV and wait until it is gone or a zombie, so a restart
 * is timed on a service that has just crashed. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int alive(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[512];
  ssize_t got = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (got <= 0) return 0;
  buf[got] = '\0';
  const char* p = strrchr(buf, ')');
  return p != NULL && p[1] == ' ' && p[2] != 'Z';
}

static void crash_service(const char* pidfile) {
  FILE* f = fopen(pidfile, "re");
  if (f == NULL) return;
  int pid = 0;
  int got = fscanf(f, "%d", &pid);
  fclose(f);
  if (got != 1 || pid < 1) return;
  if (kill(pid, SIGSEGV) != 0) return;
  struct timespec pause = {0, 200000};
  while (alive(pid)) nanosleep(&pause, NULL);
}

/* Returns the wait status, or -1. */
static int run_once(char** argv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  pid_t pid;
  int error = posix_spawnp(&pid, argv[0], &actions, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    errno = error;
    return -1;
  }
  char buf[65536];
  while (read(fds[0], buf, sizeof buf) > 0) {
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

int main(int argc, char** argv) {
  const char* pidfile = NULL;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "-k") == 0) {
    pidfile = argv[2];
    first = 3;
  }
  if (argc - first < 2) {
    fprintf(stderr, "usage: cmd_timer [-k PIDFILE] REPS PROGRAM [ARG ...]\n");
    return 64;
  }
  long reps = strtol(argv[first], NULL, 10);
  for (long i = 0; i < reps; ++i) {
    if (pidfile != NULL) crash_service(pidfile);
    int64_t start = now_ns();
    int status = run_once(argv + first + 1);
    int64_t elapsed = now_ns() - start;
    if (status == -1) {
      fprintf(stderr, "cmd_timer: %s: %s\n", argv[first + 1], strerror(errno));
      return 71;
    }
    printf("%lld %d\n", (long long)elapsed, status);
  }
  return 0;
}
