// reaper CMD ARGS...: runs CMD as a child subreaper and reaps every orphan
// that lands on it the moment it dies, as a real init does. The black-box
// tests run under it because PID 1 on the build machines reaps only every
// second or two, and until then a dead service is a zombie that kill(pid, 0)
// and getsid() still find.
//
// Exits with CMD's exit status, or 128 + the signal that ended it. SIGINT,
// SIGTERM and SIGHUP are passed on to CMD. CMD starts with default signal
// dispositions and an empty signal mask. Descendants still running when CMD
// ends are left alone.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>

namespace {

volatile sig_atomic_t child_pid = 0;

void forward_signal(int sig) {
  if (child_pid > 0) kill(child_pid, sig);
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: reaper command [argument ...]\n");
    return 64;
  }
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    fprintf(stderr, "reaper: prctl(PR_SET_CHILD_SUBREAPER): %s\n",
            strerror(errno));
    return 71;
  }

  struct sigaction action = {};
  action.sa_handler = forward_signal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "reaper: fork: %s\n", strerror(errno));
    return 71;
  }
  if (pid == 0) {
    // Start CMD with every signal at its default and none blocked, whatever
    // we inherited: an ignored SIGINT would pass down to every service.
    for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(argv[1], argv + 1);
    fprintf(stderr, "reaper: %s: %s\n", argv[1], strerror(errno));
    _exit(127);
  }
  child_pid = pid;

  // Reap whatever dies, orphans included, until the command itself is done.
  for (;;) {
    int status = 0;
    pid_t done = waitpid(-1, &status, 0);
    if (done < 0) {
      if (errno == EINTR) continue;  // a forwarded signal
      fprintf(stderr, "reaper: waitpid: %s\n", strerror(errno));
      return 71;
    }
    if (done == pid) return exit_code(status);
  }
}
