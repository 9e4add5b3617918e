"""The daemon's and the client's files under stress: the pidfile when two
daemons start at once, the configuration file when kelvctl -w is killed in
the middle of a rewrite, and the control socket as seen by another user.
"""

import errno
import json
import os
import shutil
import signal
import socket
import stat
import subprocess
import sys
import time
import unittest

from kelvtest import KelvTestCase, kelvctl_bin, wait_until

OK, END = b"\x00", b"\x04"
NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
PLAIN_ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL": "C"}


def is_root():
    return os.geteuid() == 0


def private_mounts_work():
    if not is_root() or not os.path.isdir("/usr/local/etc") or \
            shutil.which("unshare") is None:
        return False
    probe = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c",
         "mount -t tmpfs tmpfs /usr/local/etc"], capture_output=True)
    return probe.returncode == 0


def nobody_works():
    if not is_root() or shutil.which("setpriv") is None:
        return False
    return subprocess.run(NOBODY + ["true"], env=PLAIN_ENV,
                          capture_output=True).returncode == 0


class PidfileTest(KelvTestCase):

    def test_two_daemons_at_once_exactly_one_runs(self):
        for attempt in range(10):
            with self.subTest(attempt=attempt):
                # Back to back, on the same pidfile and the same socket.
                first = self.start_daemon(ready=None)
                second = self.start_daemon(ready=None)
                procs = (first, second)
                wait_until(lambda: any(p.poll() is not None for p in procs),
                           15, message="one of two daemons to give up")
                time.sleep(0.2)  # the winner must not follow it
                ended = [p for p in procs if p.poll() is not None]
                self.assertEqual(1, len(ended), "both ended, or neither")
                loser = ended[0]
                winner = second if loser is first else first
                self.assertEqual(1, loser.returncode)
                err = self.daemon_output(loser)[1]
                self.assertTrue(b"A pidfile exists" in err or
                                b"pidfile_open" in err, err)
                wait_until(lambda: self.read_pidfile() == winner.pid, 10,
                           message="the pidfile to name the winner")
                # The loser took nothing from the winner: its socket is
                # still there and serves.
                wait_until(lambda: os.path.exists(self.socket_path), 10,
                           message="the winner's socket")
                reply = self.request(b"status:")
                self.assertTrue(reply.startswith(
                    OK + b"The kelv pid is %d.\n" % winner.pid), reply)
                self.assertEqual(1, self.stop_daemon(winner))
                self.assertFalse(os.path.exists(self.pidfile_path))


# Runs inside a private mount namespace: a tmpfs over /usr/local/etc, a large
# configuration file, then rounds of kelvctl -w (mostly disable, which
# rewrites the file; some enable, which appends) each killed with SIGKILL
# after a random pause. Prints what it found as JSON.
KILL_ROUNDS_SCRIPT = r"""
import json, os, random, subprocess, sys, time
kelvctl, sock, rounds, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), \
    int(sys.argv[4])
etc = "/usr/local/etc"
path = etc + "/kelv.conf"
subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", etc],
               check=True)
with open(path, "wb") as f:
    f.write(b"# services\n" + b"".join(b"svc%05d\n" % i
                                         for i in range(20000)))

def read():
    with open(path, "rb") as f:
        return f.read()

def kelvctl_run(args, pause=None):
    start = time.monotonic()
    p = subprocess.Popen([kelvctl, "-s", sock, "-w"] + args,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if pause is not None:
        time.sleep(pause)
        p.kill()
    p.wait()
    return time.monotonic() - start, p.returncode

# How long one rewrite takes when left alone: the kills spread over that.
full = max(kelvctl_run(["disable", "svc%05d" % i])[0] for i in range(3))
rng = random.Random(seed)
found = {"old": 0, "new": 0, "other": [], "killed": 0, "full_seconds": full}
for r in range(rounds):
    old = read()
    names = old.split(b"\n")[1:-1]
    if r % 5 == 4:
        name = b"new%05d" % r
        args = ["enable", name]
        new = old + name + b"\n"
    else:
        name = rng.choice(names)
        args = ["disable", name]
        new = old.replace(b"\n" + name + b"\n", b"\n", 1)
    _, code = kelvctl_run(args, rng.uniform(0, full * 1.2))
    found["killed"] += code == -9
    now = read()
    if now == old:
        found["old"] += 1
    elif now == new:
        found["new"] += 1
    else:
        found["other"].append([r, len(old), len(new), len(now)])
found["left"] = sorted(n for n in os.listdir(etc) if n != "kelv.conf")
print(json.dumps(found))
"""


@unittest.skipUnless(private_mounts_work(),
                     "needs root and private mount namespaces")
class AtomicRewriteTest(KelvTestCase):

    def test_killed_kelvctl_leaves_old_or_new_file(self):
        self.start_daemon()
        rounds = 150
        r = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", sys.executable,
             "-c", KILL_ROUNDS_SCRIPT, kelvctl_bin(), self.socket_path,
             str(rounds), "7"],
            capture_output=True, timeout=300)
        self.assertEqual(0, r.returncode, r.stderr)
        found = json.loads(r.stdout)
        print("\nkill -9 during kelvctl -w: %d rounds, %d killed, %d left "
              "the old file, %d the new one, one run %.1f ms; left beside "
              "it: %s" % (rounds, found["killed"], found["old"], found["new"],
                          found["full_seconds"] * 1000, found["left"]),
              file=sys.stderr)
        self.assertEqual([], found["other"], "a half-written file")
        self.assertEqual(rounds, found["old"] + found["new"])
        # A kill between the temporary file's creation and its rename can
        # leave it behind; nothing else may appear.
        for name in found["left"]:
            self.assertRegex(name, r"^\.kelv\.conf\.[A-Za-z0-9]{6}$")


@unittest.skipUnless(nobody_works(), "needs root and setpriv")
class SocketOwnerTest(KelvTestCase):

    def setUp(self):
        super().setUp()
        # Only the socket's own mode may stand in nobody's way, not the
        # temp dir's.
        os.chmod(self.tmp, 0o755)
        self.kelvctl = os.path.join(self.tmp, "kelvctl")
        shutil.copy(kelvctl_bin(), self.kelvctl)
        os.chmod(self.kelvctl, 0o755)

    def connect_as_nobody(self, path):
        """The errno of connect(path) as nobody, 0 when it got through."""
        code = ("import socket, sys\n"
                "s = socket.socket(socket.AF_UNIX)\n"
                "try:\n"
                "    s.connect(sys.argv[1])\n"
                "except OSError as e:\n"
                "    print(e.errno)\n"
                "else:\n"
                "    print(0)\n")
        r = subprocess.run(NOBODY + [sys.executable, "-c", code, path],
                           env=PLAIN_ENV, capture_output=True, timeout=30)
        self.assertEqual(0, r.returncode, r.stderr)
        return int(r.stdout)

    def test_socket_refuses_other_users(self):
        # The setup is sound: a socket of mode 0777 beside it lets nobody in.
        open_path = os.path.join(self.tmp, "open.sock")
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(open_path)
            os.chmod(open_path, 0o777)
            listener.listen(1)
            self.assertEqual(0, self.connect_as_nobody(open_path))

        proc = self.start_daemon("-v")
        self.wait_for_log("Monitoring processes...")
        mark = self.log_mark()
        mode = os.stat(self.socket_path).st_mode
        self.assertEqual(0o700, stat.S_IMODE(mode))
        self.assertEqual(errno.EACCES,
                         self.connect_as_nobody(self.socket_path))
        for args in (["status"], ["shutdown"], ["enable", "x"]):
            with self.subTest(args=args):
                r = subprocess.run(NOBODY + [self.kelvctl, "-s",
                                             self.socket_path] + args,
                                   env=PLAIN_ENV, capture_output=True,
                                   timeout=30)
                self.assertEqual(71, r.returncode, r)
                self.assertEqual(b"kelvctl: connect: Permission denied\n",
                                 r.stderr)
        # Nothing reached the daemon, which still serves its owner.
        self.assertEqual([], self.log_lines()[mark:])
        self.assertIsNone(proc.poll())
        self.assertTrue(self.request(b"status:").startswith(OK))

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_socket_is_closed_to_others_while_its_mode_is_set(self):
        # With umask 0 the socket is born with mode 0777; the daemon must not
        # listen before its mode is 0700. strace holds the chmod for a while
        # so that nobody can try it in between.
        env = self.daemon_env()
        argv = ["strace", "-f", "-qq", "-o", "/dev/null",
                "-e", "trace=chmod,fchmodat",
                "-e", "inject=chmod,fchmodat:delay_enter=1500000"] + \
            self.daemon_args()
        old_umask = os.umask(0)
        try:
            proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL,
                                    start_new_session=True)
        finally:
            os.umask(old_umask)
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(),
                                 proc.wait(10)))
        wait_until(lambda: os.path.exists(self.socket_path), 30,
                   message="the socket file")
        self.assertIn(self.connect_as_nobody(self.socket_path),
                      (errno.EACCES, errno.ECONNREFUSED))
        wait_until(lambda: stat.S_IMODE(os.stat(self.socket_path).st_mode) ==
                   0o700, 30, message="mode 0700")
        self.assertEqual(errno.EACCES,
                         self.connect_as_nobody(self.socket_path))
        wait_until(lambda: self.request(b"status:").startswith(OK), 30,
                   message="the daemon to serve")


if __name__ == "__main__":
    unittest.main()
