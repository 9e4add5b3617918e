/* service_fast: a compiled, minimal rc(8) `service` for the benchmarks, so
 * that the command's own cost is as small as it can be and the daemon's
 * overhead stands out.
 *
 *   service_fast NAME VERB        VERB: onestatus status restart onerestart
 *                                       start onestart stop onestop
 *   service_fast --start-many PREFIX FIRST COUNT
 *                                 starts PREFIX<FIRST> ... at once (setup)
 *   run                           (argv[0] named "run": a runsv service)
 *                                 stamps "NAME exec T" and becomes the sleeper
 *
 * Every name is a service and is enabled. A service is one detached sleeper
 * (own session, standard streams on /dev/null, no other descriptor, no core
 * dumps) whose PID is kept in $KELV_RC_DIR/run/NAME.pid.
 *
 * With $KELV_BENCH_STAMPS naming a file, each call appends one line
 *
 *     NAME VERB START_NS END_NS       (CLOCK_MONOTONIC, at main and at exit)
 *
 * and each started sleeper "NAME exec T_NS" just before its exec. Lines go
 * out in one write(2) on O_APPEND, so concurrent callers never interleave.
 *
 * $KELV_BENCH_SLEEP overrides the sleeper program (default /bin/sleep). */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

enum { path_bytes = 4096 };

static char rc_dir[path_bytes];
static int64_t started_ns;

static int64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void stamp(const char* line, size_t len) {
  const char* path = getenv("KELV_BENCH_STAMPS");
  if (path == NULL || *path == '\0') return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, line, len);
  (void)written;
  close(fd);
}

static void stamp_call(const char* name, const char* verb) {
  char line[path_bytes + 128];
  int len = snprintf(line, sizeof line, "%s %s %lld %lld\n", name, verb,
                     (long long)started_ns, (long long)now_ns());
  if (len > 0 && (size_t)len < sizeof line) stamp(line, (size_t)len);
}

static void pidfile_path(const char* name, char* buf, size_t size) {
  snprintf(buf, size, "%s/run/%s.pid", rc_dir, name);
}

/* Whether pid is a live process: present and not a zombie. */
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

/* The service's live PID, or 0. */
static pid_t running_pid(const char* name) {
  char path[path_bytes + 64];
  pidfile_path(name, path, sizeof path);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[32];
  ssize_t got = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (got <= 0) return 0;
  buf[got] = '\0';
  long pid = strtol(buf, NULL, 10);
  if (pid < 1 || !alive((pid_t)pid)) return 0;
  return (pid_t)pid;
}

static void become_sleeper(const char* name) {
  const char* sleeper = getenv("KELV_BENCH_SLEEP");
  if (sleeper == NULL || *sleeper == '\0') sleeper = "/bin/sleep";
  char line[path_bytes + 64];
  int len =
      snprintf(line, sizeof line, "%s exec %lld\n", name, (long long)now_ns());
  if (len > 0 && (size_t)len < sizeof line) stamp(line, (size_t)len);
  execl(sleeper, "sleep", "100000", (char*)NULL);
  _exit(127);
}

/* Forks the detached sleeper and records its PID. Returns 0 or -1. */
static int start_detached(const char* name) {
  char path[path_bytes + 64];
  pidfile_path(name, path, sizeof path);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    for (int sig = 1; sig < 32; ++sig) signal(sig, SIG_DFL);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    if (chdir("/") != 0) _exit(127);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) _exit(127);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    close_range(3, ~0U, 0);
    become_sleeper(name);
  }
  char buf[32];
  int len = snprintf(buf, sizeof buf, "%d\n", (int)pid);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  ssize_t written = write(fd, buf, (size_t)len);
  close(fd);
  return written == len ? 0 : -1;
}

/* Ends the service's session: SIGTERM, SIGKILL after about 3 s. */
static void stop_running(const char* name, pid_t pid) {
  if (kill(-pid, SIGTERM) != 0) kill(pid, SIGTERM);
  struct timespec pause = {0, 1000000};
  for (int tries = 0; alive(pid); ++tries) {
    if (tries == 3000) {
      if (kill(-pid, SIGKILL) != 0) kill(pid, SIGKILL);
    }
    nanosleep(&pause, NULL);
  }
  char path[path_bytes + 64];
  pidfile_path(name, path, sizeof path);
  unlink(path);
}

static int start_many(const char* prefix, long first, long count) {
  char name[path_bytes];
  for (long i = first; i < first + count; ++i) {
    snprintf(name, sizeof name, "%s%ld", prefix, i);
    if (running_pid(name) == 0 && start_detached(name) != 0) {
      fprintf(stderr, "service_fast: cannot start %s: %s\n", name,
              strerror(errno));
      return 1;
    }
  }
  return 0;
}

static int run_verb(const char* name, const char* verb) {
  const char* base = verb;
  if (strncmp(base, "one", 3) == 0) base += 3;
  pid_t pid = running_pid(name);
  if (strcmp(base, "status") == 0) {
    if (pid != 0) {
      printf("%s is running as pid %d.\n", name, (int)pid);
      return 0;
    }
    printf("%s is not running.\n", name);
    return 1;
  }
  if (strcmp(base, "restart") == 0 || strcmp(base, "start") == 0) {
    if (pid != 0) {
      if (strcmp(base, "start") == 0) {
        fprintf(stderr, "%s already running? (pid=%d).\n", name, (int)pid);
        return 1;
      }
      printf("Stopping %s.\n", name);
      stop_running(name, pid);
    }
    if (start_detached(name) != 0) return 1;
    printf("Starting %s.\n", name);
    return 0;
  }
  if (strcmp(base, "stop") == 0) {
    if (pid == 0) {
      fprintf(stderr, "%s not running?\n", name);
      return 1;
    }
    printf("Stopping %s.\n", name);
    stop_running(name, pid);
    return 0;
  }
  fprintf(stderr, "%s: unknown directive %s.\n", name, verb);
  return 1;
}

int main(int argc, char** argv) {
  started_ns = now_ns();
  const char* self = strrchr(argv[0], '/');
  self = self != NULL ? self + 1 : argv[0];
  if (strcmp(self, "run") == 0) {
    /* runsv runs ./run in the service directory, named after the service. */
    char cwd[path_bytes];
    const char* name = "run";
    if (getcwd(cwd, sizeof cwd) != NULL) {
      const char* slash = strrchr(cwd, '/');
      name = slash != NULL ? slash + 1 : cwd;
    }
    become_sleeper(name);
  }

  const char* dir = getenv("KELV_RC_DIR");
  if (dir == NULL || *dir == '\0' || strlen(dir) >= sizeof rc_dir) {
    fprintf(stderr, "service: KELV_RC_DIR is not set\n");
    return 1;
  }
  strcpy(rc_dir, dir);

  if (argc == 5 && strcmp(argv[1], "--start-many") == 0) {
    return start_many(argv[2], strtol(argv[3], NULL, 10),
                      strtol(argv[4], NULL, 10));
  }
  if (argc != 3) {
    fprintf(stderr, "usage: service NAME VERB\n");
    return 1;
  }
  const char* name = argv[1];
  if (*name == '\0' || strchr(name, '/') != NULL || name[0] == '.') {
    fprintf(stderr, "%s does not exist.\n", name);
    return 1;
  }
  int status = run_verb(name, argv[2]);
  fflush(stdout);
  stamp_call(name, argv[2]);
  return status;
}
