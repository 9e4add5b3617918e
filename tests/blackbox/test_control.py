"""The daemon's side of the control protocol, over a raw socket: the reply
bytes of every request form, what each command does to the watched services
and the retry queue, and the socket's set-up.
"""

import os
import signal
import socket
import stat
import unittest

from kelvtest import KelvTestCase, wait_until

ERR, NOTICE, INFO = 3, 5, 6

# No core files from the services we kill with SIGSEGV.
SLEEPER = "ulimit -c 0; exec sleep 100000"


def frame(status, text):
    return bytes([status]) + text + b"\x04"


def listing(daemon_pid, rows=()):
    text = b"The kelv pid is %d.\n" % daemon_pid
    text += b"%-40s %s\n" % (b"process name", b"pid") + b"-" * 50 + b"\n"
    for name, pid in rows:
        text += b"%-40s %d\n" % (name, pid)
    return frame(0, text)


class ControlTestCase(KelvTestCase):

    def exchange(self, data, timeout=15.0, path=None):
        """Sends data, ends our side of the stream and returns every byte the
        daemon writes before it closes the connection."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(path or self.socket_path)
            if data:
                s.sendall(data)
            s.shutdown(socket.SHUT_WR)
            reply = b""
            while True:
                try:
                    piece = s.recv(65536)
                except ConnectionResetError:
                    # The daemon closed with bytes it never read (a request
                    # over the cut): the stream ends all the same.
                    return reply
                if not piece:
                    return reply
                reply += piece

    def new_log(self, mark):
        return self.log_lines()[mark:]


class RequestFormsTest(ControlTestCase):

    def test_each_request_form_gets_its_exact_reply(self):
        self.add_service("ntpd", SLEEPER)
        ntpd = self.start_service("ntpd")
        daemon = self.start_daemon("-v")
        self.wait_for_log("Monitoring processes...", INFO)
        status = listing(daemon.pid, [(b"ntpd", ntpd)])
        added = (INFO, "ntpd has been added.")
        # request, reply bytes, new log lines, rc(8) calls
        cases = [
            (b"enable:ntpd", frame(0, b"Monitoring service.\n"), [added],
             [("onestatus", "ntpd"), ("onestatus", "ntpd")]),
            (b"enable::ntpd", frame(1, b"Service already registered.\n"),
             [], []),
            (b":enable:ntpd", frame(1, b"Service already registered.\n"),
             [], []),
            (b"enable:ntpd:x", frame(1, b"Service already registered.\n"),
             [], []),
            (b"enable:", frame(1, b"No service name given.\n"), [], []),
            (b"disable", frame(1, b"No service name given.\n"), [], []),
            (b"status", status, [], []),
            (b"status:", status, [], []),
            (b"status:now:x", status, [], []),
            (b"Enable:ntpd", b"", [], []),
            (b"restart:ntpd", b"", [], []),
            (b":", b"", [], []),
            (b"::", b"", [], []),
            (b"", b"", [], []),
        ]
        for request, reply, logged, calls in cases:
            with self.subTest(request=request):
                self.clear_invocations()
                mark = self.log_mark()
                self.assertEqual(self.exchange(request), reply)
                self.assertEqual(self.new_log(mark), logged)
                self.assertEqual(self.invocations(), calls)

        mark = self.log_mark()
        self.assertEqual(self.exchange(b"shutdown:now"),
                         frame(0, b"kelv shutting down.\n"))
        self.assertEqual(daemon.wait(10), 0)
        self.assertIn((INFO, "kelv shutdown requested."), self.new_log(mark))
        self.assertFalse(os.path.exists(self.socket_path))
        self.assertFalse(os.path.exists(self.pidfile_path))

    def test_request_is_cut_at_2047_bytes(self):
        daemon = self.start_daemon()
        name = b"a" * (2047 - len(b"enable:"))
        reply = self.exchange(b"enable:" + name + b"bcd")
        self.assertEqual(reply, frame(1, b"Could not start service.\n"))
        self.assertIn(("onestatus", name.decode()), self.invocations())
        self.assertEqual(self.exchange(b"status"), listing(daemon.pid))


class EnableDisableTest(ControlTestCase):

    def test_running_service_without_pid_is_watched_without_row(self):
        self.add_service("nopid", SLEEPER, no_pid=True)
        daemon = self.start_daemon()
        self.assertEqual(self.exchange(b"enable:nopid"),
                         frame(0, b"Monitoring service.\n"))
        self.assertEqual(self.exchange(b"status"), listing(daemon.pid))
        # Watched all the same: a second enable is refused.
        self.assertEqual(self.exchange(b"enable:nopid"),
                         frame(1, b"Service already registered.\n"))

    def test_service_that_will_not_start_leaves_list_unchanged(self):
        self.add_service("ntpd", SLEEPER)
        self.add_service("broken", SLEEPER, restart_status=1)
        ntpd = self.start_service("ntpd")
        daemon = self.start_daemon("-v", config_lines=["ntpd"])
        self.wait_for_log("Monitoring processes...", INFO)
        before = listing(daemon.pid, [(b"ntpd", ntpd)])
        self.assertEqual(self.exchange(b"status"), before)
        mark = self.log_mark()
        self.assertEqual(self.exchange(b"enable:broken"),
                         frame(1, b"Could not start service.\n"))
        self.assertIn(("restart", "broken"), self.invocations())
        self.assertEqual(self.exchange(b"status"), before)
        self.assertIsNone(self.find_log("broken has been added.", start=mark))
        # Not registered: disabling it finds nothing.
        self.assertEqual(self.exchange(b"disable:broken"),
                         frame(1, b"Removing service failed: Not found.\n"))

    def test_enable_adds_at_the_head_and_disable_removes(self):
        for name in ("one", "two"):
            self.add_service(name, SLEEPER)
        pids = {name: self.start_service(name) for name in ("one", "two")}
        daemon = self.start_daemon("-v")
        for name in ("one", "two"):
            self.assertEqual(self.exchange(b"enable:" + name.encode()),
                             frame(0, b"Monitoring service.\n"))
        self.assertEqual(self.exchange(b"status"),
                         listing(daemon.pid, [(b"two", pids["two"]),
                                              (b"one", pids["one"])]))
        mark = self.log_mark()
        self.assertEqual(self.exchange(b"disable:two"),
                         frame(0, b"Service removed.\n"))
        self.assertEqual(self.new_log(mark), [(INFO, "two has been removed.")])
        self.assertEqual(self.exchange(b"status"),
                         listing(daemon.pid, [(b"one", pids["one"])]))
        self.assertEqual(self.exchange(b"disable:two"),
                         frame(1, b"Removing service failed: Not found.\n"))

    def test_disable_of_queued_service_drops_its_retry(self):
        self.add_service("crashy", SLEEPER)
        self.start_service("crashy")
        self.set_knobs("crashy", restart_status=1)
        daemon = self.start_daemon("-v")
        self.assertEqual(self.exchange(b"enable:crashy"),
                         frame(0, b"Monitoring service.\n"))
        queued = ("Service: crashy was submitted to the restart queue. "
                  "First retry in 60 seconds.")
        self.kill_service("crashy", signal.SIGSEGV)
        self.wait_for_log(queued, NOTICE)

        mark = self.log_mark()
        self.assertEqual(self.exchange(b"disable:crashy"),
                         frame(0, b"Service removed.\n"))
        self.assertEqual(self.new_log(mark),
                         [(INFO, "crashy has been removed.")])
        self.assertEqual(self.exchange(b"status"), listing(daemon.pid))

        # Watched again and crashed again: a retry entry left behind would
        # turn this into "already has a pending retry waiting".
        self.set_knobs("crashy", restart_status=None)
        self.start_service("crashy")
        self.set_knobs("crashy", restart_status=1)
        self.assertEqual(self.exchange(b"enable:crashy"),
                         frame(0, b"Monitoring service.\n"))
        mark = self.log_mark()
        self.kill_service("crashy", signal.SIGSEGV)
        self.wait_for_log(queued, NOTICE, start=mark)
        self.assertIsNone(self.find_log(
            "crashy already has a pending retry waiting.", start=mark))

    def test_request_during_startup_pass_is_served_after_it(self):
        self.add_service("slow", SLEEPER, restart_delay=2)
        daemon = self.start_daemon("-v", config_lines=["slow"])
        # The pass holds the lock while the restart sleeps.
        wait_until(lambda: ("restart", "slow") in self.invocations(), 15,
                   message="the start-up pass to start slow")
        reply = self.exchange(b"status", timeout=30)
        pid = self.service_pid("slow")
        self.assertIsNotNone(pid)
        self.assertEqual(reply, listing(daemon.pid, [(b"slow", pid)]))


class SocketTest(ControlTestCase):

    def test_socket_file_has_mode_0700(self):
        self.start_daemon()
        mode = os.stat(self.socket_path).st_mode
        self.assertTrue(stat.S_ISSOCK(mode))
        self.assertEqual(stat.S_IMODE(mode), 0o700)

    def deep_path(self, length):
        """A socket path of exactly length bytes inside the temp dir."""
        name = "s.sock"
        pad = length - len(self.tmp) - 2 - len(name)
        self.assertGreater(pad, 0)
        directory = os.path.join(self.tmp, "d" * pad)
        os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, name)
        self.assertEqual(len(path), length)
        return path

    def test_socket_path_of_103_bytes_is_served(self):
        path = self.deep_path(103)
        daemon = self.start_daemon("-s", path, ready=None)
        wait_until(lambda: os.path.exists(path), 10, message="socket")
        self.assertEqual(self.exchange(b"status", path=path),
                         listing(daemon.pid))

    def test_socket_path_of_104_bytes_is_refused(self):
        path = self.deep_path(104)
        daemon = self.start_daemon("-s", path, ready="started")
        self.assertEqual(daemon.wait(10), 1)
        self.assertIn((ERR, "Socket path too long."), self.log_lines())
        self.assertFalse(os.path.exists(path))

    def test_silent_client_is_cut_off_and_others_served(self):
        daemon = self.start_daemon()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as silent:
            silent.settimeout(30)
            silent.connect(self.socket_path)
            # Waits behind the silent client for the daemon's bound only.
            self.assertEqual(self.exchange(b"status", timeout=30),
                             listing(daemon.pid))
            self.assertEqual(silent.recv(16), b"")
        errors = [text for pri, text in self.log_lines()
                  if pri == ERR and text.startswith("receiving")]
        self.assertEqual(errors, ["receiving from client failed: "
                                  "Resource temporarily unavailable"])


if __name__ == "__main__":
    unittest.main()
