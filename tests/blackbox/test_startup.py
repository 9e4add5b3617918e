"""The daemon's start-up, options and shutdown, seen from outside; and a
self-test of the rc stand-in the other black-box tests rely on."""

import os
import select
import signal
import socket
import stat
import subprocess
import unittest

from kelvtest import KelvTestCase, process_alive, wait_gone, wait_until

USAGE = (b"usage: kelv\noptions:\n\t-V   Show version info.\n\t-d   Daemonize."
         b"\n\t-v   Verbosity, use multiple times.\n\t-p P Use pidfile P.\n"
         b"\t-s S Use socket S.\n\t-c C Use config file C.\n")
VERSION = b"kelv version 1.3\n"
TERMINATING_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGALRM,
                       signal.SIGTERM, signal.SIGXCPU, signal.SIGXFSZ,
                       signal.SIGVTALRM, signal.SIGUSR1, signal.SIGUSR2)


class OptionTest(KelvTestCase):

    def test_version_and_usage_exit_64_on_stderr(self):
        # (arguments, expected stderr check)
        cases = [
            (["-V"], lambda err: err == VERSION),
            # -V ends parsing at once: the bad option after it is not seen.
            (["-V", "-x"], lambda err: err == VERSION),
            (["-v", "-V", "-d"], lambda err: err == VERSION),
            (["-x"], lambda err: err.endswith(USAGE) and b"x" in
             err[:-len(USAGE)] and err.count(b"\n") == USAGE.count(b"\n") + 1),
            (["-p"], lambda err: err.endswith(USAGE) and b"p" in
             err[:-len(USAGE)] and err.count(b"\n") == USAGE.count(b"\n") + 1),
        ]
        for args, check in cases:
            with self.subTest(args=args):
                r = self.run_daemon(*args)
                self.assertEqual(r.returncode, 64, r)
                self.assertEqual(r.stdout, b"")
                self.assertTrue(check(r.stderr), r.stderr)
                self.assertFalse(os.path.exists(self.pidfile_path))

    def test_empty_path_argument_is_fatal(self):
        for option in ("-p", "-s", "-c"):
            with self.subTest(option=option):
                r = self.run_daemon(option, "")
                self.assertEqual(r.returncode, 1, r)
                self.assertTrue(r.stderr.startswith(b"kelv: asprintf"),
                                r.stderr)
                self.assertFalse(os.path.exists(self.pidfile_path))

    def test_last_path_option_wins_and_f_is_ignored(self):
        p1, p2 = (os.path.join(self.tmp, n) for n in ("p1.pid", "p2.pid"))
        s1, s2 = (os.path.join(self.tmp, n) for n in ("s1.sock", "s2.sock"))
        c1, c2 = (os.path.join(self.tmp, n) for n in ("c1.conf", "c2.conf"))
        proc = self.start_daemon("-f", "-p", p1, "-s", s1, "-c", c1, "-p", p2,
                                 "-s", s2, "-f", "-c", c2, ready="started")
        self.assertIsNone(proc.poll())
        wait_until(lambda: os.path.exists(s2), message="socket " + s2)
        self.assertEqual(self.read_pidfile(p2), proc.pid)
        for unused in (p1, s1, self.pidfile_path, self.socket_path):
            self.assertFalse(os.path.exists(unused), unused)
        err = self.daemon_output(proc)[1]
        self.assertIn(c2.encode(), err)
        self.assertNotIn(c1.encode(), err)
        self.assertEqual(self.stop_daemon(proc), 1)
        self.assertFalse(os.path.exists(p2))
        self.assertFalse(os.path.exists(s2))

    def test_log_mask_follows_v_count(self):
        # (number of -v, info messages visible)
        for count, info_shown in [(0, False), (1, True), (2, True), (3, True)]:
            with self.subTest(v=count):
                start = self.log_mark()
                proc = self.start_daemon(*["-v"] * count, ready="started")
                self.assertEqual(self.stop_daemon(proc), 1)
                lines = self.log_lines()[start:]
                self.assertIn((5, "Starting ..."), lines)
                self.assertEqual((6, "kelv shutdown requested.") in lines,
                                 info_shown, lines)
                if not info_shown:
                    self.assertEqual([l for l in lines if l[0] > 5], [])


class StartupFilesTest(KelvTestCase):

    def test_existing_pidfile_refuses_start_and_is_left_alone(self):
        with open(self.pidfile_path, "w") as f:
            f.write("99999\n")  # left behind by a process long gone
        with open(self.socket_path, "w") as f:
            f.write("not a socket")
        r = self.run_daemon()
        self.assertEqual(r.returncode, 1, r)
        self.assertEqual(
            r.stderr, b"kelv: A pidfile exists: %s, not starting.\n" %
            self.pidfile_path.encode())
        with open(self.pidfile_path) as f:
            self.assertEqual(f.read(), "99999\n")
        # Refused before the old socket is looked at.
        self.assertTrue(os.path.isfile(self.socket_path))
        self.assertEqual(self.log_lines(), [])

    def test_other_pidfile_path_ignores_existing_one(self):
        with open(self.pidfile_path, "w") as f:
            f.write("99999\n")
        other = os.path.join(self.tmp, "other.pid")
        proc = self.start_daemon("-p", other, ready="started")
        self.assertIsNone(proc.poll())
        self.assertEqual(self.read_pidfile(other), proc.pid)
        with open(self.pidfile_path) as f:
            self.assertEqual(f.read(), "99999\n")

    def test_stale_socket_or_file_at_socket_path_is_replaced(self):
        def make_file():
            with open(self.socket_path, "w") as f:
                f.write("stale")

        def make_socket():
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.bind(self.socket_path)
            s.close()  # bound, never unlinked: nobody listens

        for name, make in [("regular file", make_file),
                           ("stale socket", make_socket)]:
            with self.subTest(name):
                make()
                before = os.lstat(self.socket_path).st_ino
                proc = self.start_daemon(ready="started")
                self.assertIsNone(proc.poll(), self.daemon_output(proc))

                def fresh_socket():
                    try:
                        st = os.lstat(self.socket_path)
                    except FileNotFoundError:
                        return False
                    return stat.S_ISSOCK(st.st_mode) and st.st_ino != before

                wait_until(fresh_socket, message="a new socket")
                self.assertEqual(self.stop_daemon(proc), 1)
                self.assertFalse(os.path.lexists(self.socket_path))

    def test_undeletable_socket_path_is_fatal(self):
        os.mkdir(self.socket_path)  # unlink() refuses a directory
        r = self.run_daemon()
        self.assertEqual(r.returncode, 1, r)
        self.assertTrue(r.stderr.startswith(b"kelv: Deleting old socket.: "),
                        r.stderr)
        self.assertFalse(os.path.exists(self.pidfile_path))

    def test_missing_config_warns_and_logs_notice(self):
        # (config file present, warning and notice expected)
        for present in (False, True):
            with self.subTest(config_present=present):
                if present:
                    self.write_config([])
                start = self.log_mark()
                proc = self.start_daemon(ready="started")
                self.assertIsNone(proc.poll())
                err = self.daemon_output(proc)[1]
                warning = (b"kelv: Configuration file: %s, does not exist. "
                           b"Services need added manually.\n" %
                           self.config_path.encode())
                notice = (5, "Configuration file: %s not found, no services "
                          "will be added during start up." % self.config_path)
                lines = self.log_lines()[start:]
                if present:
                    self.assertEqual(err, b"")
                    self.assertNotIn(notice, lines)
                else:
                    self.assertEqual(err, warning)
                    self.assertIn(notice, lines)
                    self.assertLess(lines.index(notice),
                                    lines.index((5, "Starting ...")))
                self.assertEqual(self.stop_daemon(proc), 1)

    def test_foreground_pidfile_holds_own_pid(self):
        proc = self.start_daemon(ready="pidfile")
        self.assertEqual(self.read_pidfile(), proc.pid)


class DetachTest(KelvTestCase):

    def test_detached_child_owns_pidfile_and_stops_on_sigterm(self):
        proc = self.start_daemon("-d", ready="pidfile")
        self.assertEqual(proc.wait(10), 0)
        pid = self.read_pidfile()
        self.assertNotEqual(pid, proc.pid)
        self.assertTrue(process_alive(pid))
        self.assertEqual(os.getsid(pid), pid)  # its own session
        self.assertEqual(os.readlink("/proc/%d/cwd" % pid), "/")
        wait_until(lambda: os.path.exists(self.socket_path),
                   message="the socket")
        os.kill(pid, signal.SIGTERM)
        wait_gone(pid)
        self.assertFalse(os.path.exists(self.pidfile_path))
        self.assertFalse(os.path.lexists(self.socket_path))
        self.wait_for_log("Starting ...", 5)


class SignalTest(KelvTestCase):

    def test_terminating_signals_remove_files_and_exit_1(self):
        for sig in TERMINATING_SIGNALS:
            with self.subTest(signal=sig.name):
                start = self.log_mark()
                proc = self.start_daemon("-v")
                self.assertIsNone(proc.poll(), self.daemon_output(proc))
                self.assertTrue(os.path.exists(self.pidfile_path))
                self.assertEqual(self.stop_daemon(proc, sig), 1)
                self.assertFalse(os.path.exists(self.pidfile_path))
                self.assertFalse(os.path.lexists(self.socket_path))
                self.assertIsNotNone(
                    self.find_log("kelv shutdown requested.", 6, start))

    def test_sigpipe_is_logged_and_ignored(self):
        proc = self.start_daemon("-v")
        proc.send_signal(signal.SIGPIPE)
        self.wait_for_log("Received broken pipe.", 3)
        proc.send_signal(signal.SIGPIPE)
        wait_until(lambda: self.log_lines().count(
            (3, "Received broken pipe.")) == 2, message="the second SIGPIPE")
        self.assertIsNone(proc.poll())
        self.assertTrue(os.path.exists(self.pidfile_path))
        self.assertTrue(os.path.exists(self.socket_path))
        self.assertEqual(self.stop_daemon(proc), 1)


class RcStandInTest(KelvTestCase):
    """The rc stand-in keeps to what the daemon expects of `service`."""

    HOSTILE_NAMES = ["a b;touch X", "$(touch X)", "`touch X`", "q'\"x",
                     "cr\r", "new\nline", "caf\u00e9", b"\xff\xfe", "-n",
                     "x*", "back\\slash", "tab\there"]

    def status(self, name):
        r = self.run_service(name, "onestatus")
        return r.returncode, r.stdout

    def test_restart_starts_a_detached_service_and_replaces_it(self):
        self.add_service("svc")
        self.assertEqual(self.status("svc"), (1, b"svc is not running.\n"))
        r = self.run_service("svc", "restart")
        self.assertEqual((r.returncode, r.stdout), (0, b"Starting svc.\n"))
        pid = self.service_pid("svc")
        self.assertEqual(self.status("svc"),
                         (0, b"svc is running as pid %d.\n" % pid))
        # Until its exec the child still sheds what it inherited.
        wait_until(lambda: os.readlink("/proc/%d/exe" % pid).endswith(
            "/sleep"), message="the service's exec")
        self.assertEqual(os.getsid(pid), pid)
        for fd in (0, 1, 2):
            self.assertEqual(os.readlink("/proc/%d/fd/%d" % (pid, fd)),
                             "/dev/null")
        # No other descriptor stays open (the loader's own come and go).
        wait_until(lambda: sorted(os.listdir("/proc/%d/fd" % pid)) ==
                   ["0", "1", "2"], timeout=5, message="only fds 0-2")

        r = self.run_service("svc", "restart")
        self.assertEqual(r.stdout, b"Stopping svc.\nStarting svc.\n")
        self.assertFalse(process_alive(pid))
        self.assertNotEqual(self.service_pid("svc"), pid)

    def test_hostile_names_are_plain_names(self):
        for name in self.HOSTILE_NAMES:
            with self.subTest(name=name):
                self.clear_invocations()
                self.add_service(name)
                r = self.run_service(name, "restart", record=True)
                self.assertEqual(r.returncode, 0, r)
                pid = self.service_pid(name)
                self.assertIsNotNone(pid)
                b = name if isinstance(name, bytes) else os.fsencode(name)
                self.assertEqual(
                    self.run_service(name, "onestatus", record=True).stdout,
                    b + b" is running as pid %d.\n" % pid)
                self.run_service(name, "onestop", record=True)
                self.assertFalse(process_alive(pid))
                self.assertEqual(self.invocations(),
                                 [("restart", os.fsdecode(b)),
                                  ("onestatus", os.fsdecode(b)),
                                  ("onestop", os.fsdecode(b))])
        self.assertNotIn("X", os.listdir(self.tmp))

    def test_unknown_names_are_refused(self):
        for name in ["nope", "", ".", ".."]:
            with self.subTest(name=name):
                r = self.run_service(name, "restart")
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, b"")
                self.assertEqual(
                    r.stderr, name.encode() + b" does not exist in /etc/rc.d "
                    b"or the local startup directories (/usr/local/etc/rc.d),"
                    b" or is not executable.\n")

    def test_not_enabled_restart_declines(self):
        self.add_service("off", enabled=False)
        r = self.run_service("off", "restart")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(
            r.stdout, b"Cannot 'restart' off. Set off_enable to YES in "
            b"/etc/rc.conf or use 'onerestart' instead of 'restart'.\n")
        self.assertIsNone(self.service_pid("off"))
        self.assertEqual(self.run_service("off", "onerestart").returncode, 0)
        self.assertIsNotNone(self.service_pid("off"))

    def test_zombie_or_dead_pid_is_not_running(self):
        self.add_service("z")
        child = subprocess.Popen(["true"])
        wait_until(lambda: not process_alive(child.pid), message="a zombie")
        self.assertTrue(os.path.exists("/proc/%d" % child.pid))  # unreaped
        pidfile = os.path.join(self.rc_dir, "run", "z.pid")
        with open(pidfile, "w") as f:
            f.write("%d\n" % child.pid)
        self.assertEqual(self.status("z"), (1, b"z is not running.\n"))
        child.wait()
        self.assertEqual(self.status("z"), (1, b"z is not running.\n"))

    def test_knobs(self):
        self.add_service("k", status_extra="up 1 2 ", status_exit=3,
                         restart_status=2, restart_output="marker\n")
        self.assertEqual(self.status("k"), (3, b"up 1 2 k is not running.\n"))
        r = self.run_service("k", "restart")
        self.assertEqual((r.returncode, r.stdout),
                         (2, b"marker\nStarting k.\n"))
        self.assertIsNone(self.service_pid("k"))
        self.set_knobs("k", no_pid=True, status_extra=None, status_exit=None)
        self.assertEqual(self.status("k"), (0, b"k is running.\n"))
        # A short delay changes nothing of the answer.
        self.set_knobs("k", no_pid=None, status_delay="0.1\n")
        self.assertEqual(self.status("k"), (1, b"k is not running.\n"))

    def test_delays_sleep_in_the_commands_process_group(self):
        # The daemon ends a command that hangs through its process group: a
        # delay must sleep in a child there, and die with it.
        for knob, verb in (("status_delay", "onestatus"),
                           ("restart_delay", "restart")):
            with self.subTest(knob=knob):
                self.add_service("slow", **{knob: 100000})
                proc = self.popen_service("slow", verb,
                                          start_new_session=True)

                def sleeping():
                    pids = self.command_pids("slow", verb)
                    procs = self.sandbox_processes()
                    return [p for p in pids if p in procs and
                            procs[p][1] == [b"sleep", b"100000"]]
                sleep_pid = wait_until(sleeping, message="the delay")[0]
                self.assertEqual(os.getpgid(sleep_pid), proc.pid)
                self.assertEqual(self.command_pids("slow", verb),
                                 [proc.pid, sleep_pid])
                os.killpg(proc.pid, signal.SIGTERM)
                self.assertEqual(proc.wait(10), -signal.SIGTERM)
                wait_gone(sleep_pid)
                self.assertIsNone(self.service_pid("slow"))
                self.set_knobs("slow", **{knob: None})

    def test_keep_stdout_hands_the_callers_pipe_to_the_service(self):
        self.add_service("leaky", keep_stdout=True)
        for verb in ("restart", "onestart"):
            with self.subTest(verb=verb):
                self.stop_service("leaky")
                proc = self.popen_service("leaky", verb,
                                          stdout=subprocess.PIPE)
                self.assertEqual(proc.wait(10), 0)
                pid = self.service_pid("leaky")
                wait_until(lambda: os.readlink(
                    "/proc/%d/exe" % pid).endswith("/sleep"),
                    message="the service's exec")
                self.assertEqual(os.getsid(pid), pid)
                out = proc.stdout.fileno()
                self.assertEqual(
                    os.readlink("/proc/%d/fd/1" % pid),
                    "pipe:[%d]" % os.fstat(out).st_ino)
                for fd in (0, 2):
                    self.assertEqual(os.readlink("/proc/%d/fd/%d" %
                                                 (pid, fd)), "/dev/null")
                # The command is gone, yet its output does not end ...
                self.assertEqual(os.read(out, 4096), b"Starting leaky.\n")
                self.assertEqual(select.select([out], [], [], 0)[0], [])
                # ... until the service does.
                self.stop_service("leaky")
                self.assertEqual(os.read(out, 4096), b"")

    def test_service_that_exits_at_once(self):
        self.add_service("quick", command="exit 3")
        self.assertEqual(self.run_service("quick", "restart").returncode, 0)
        wait_until(lambda: self.status("quick")[0] == 1,
                   message="quick to be gone")


if __name__ == "__main__":
    unittest.main()
