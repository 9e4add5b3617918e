"""rc(8) commands that hang or misbehave, with the real kelv and the rc
stand-in's delay knobs: every command has a time limit (10 s for onestatus,
120 s for a restart) after which its process group is ended and it counts as
failed; a command ends when its process exits, not when its output does; no
command holds up the handling of other services or the control socket; and
the daemon never waits for a command to shut down.

NeverEndingRestartTest waits out the full 120 s limit: this file takes over
two minutes by design.
"""

import os
import signal
import subprocess
import time
import unittest

from kelvtest import KelvTestCase, kelvctl_bin, wait_gone, wait_until

ERR, NOTICE, INFO = 3, 5, 6
END = b"\x04"

# No core files from the services we kill with SIGSEGV.
SLEEPER = "ulimit -c 0; exec sleep 100000"
# A delay long enough to stand for "never": what remains of it after a
# command is stopped is easy to find.
FOREVER = 100000


def stopped_line(name, verb, seconds):
    return "service %s %s did not finish within %d seconds; stopped it." % (
        name, verb, seconds)


def queued_line(name):
    return ("Service: %s was submitted to the restart queue. First retry in "
            "60 seconds." % name)


def row(name, pid):
    return b"%-40s %d\n" % (name.encode(), pid)


class SlowCommandTestCase(KelvTestCase):

    def watch(self, *names, commands=None):
        """Starts each service, then kelv watching them all; returns kelv."""
        for name in names:
            self.add_service(name, (commands or {}).get(name, SLEEPER))
            self.start_service(name)
        proc = self.start_daemon("-v", config_lines=list(names))
        self.wait_for_log("Monitoring processes...", INFO)
        return proc

    def wait_for_delay(self, name, verb, timeout=15):
        """Waits until `service NAME VERB` sleeps in its delay knob; returns
        the PIDs of the command and of its sleep."""
        def sleeping():
            pids = self.command_pids(name, verb)
            procs = self.sandbox_processes()
            if any(procs.get(p, (0, []))[1][:1] == [b"sleep"] for p in pids):
                return pids
            return None
        return wait_until(sleeping, timeout,
                          message="service %s %s to sleep" % (name, verb))

    def crash_into_slow_restart(self, name, delay):
        """Crashes a watched service whose restart then sleeps delay seconds;
        returns once the restart command sleeps, with its PIDs."""
        self.set_knobs(name, restart_delay=delay)
        mark = self.log_mark()
        self.kill_service(name, signal.SIGSEGV)
        self.wait_for_log("%s caught signal 11 and exited" % name, ERR,
                          start=mark)
        return self.wait_for_delay(name, "restart")

    def exit_after(self, proc, since, limit=30):
        """(exit status, seconds from since until kelv was gone)."""
        try:
            status = proc.wait(limit)
        except subprocess.TimeoutExpired:
            self.fail("kelv still runs %.0f s later" % (time.monotonic() -
                                                         since))
        return status, time.monotonic() - since

    def background_kelvctl(self, *args):
        """kelvctl ARGS started in the background; killed at clean-up."""
        proc = subprocess.Popen(
            [kelvctl_bin(), "-s", self.socket_path] + list(args),
            env=self.daemon_env(), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)

        def reap():
            if proc.poll() is None:
                proc.kill()
            proc.communicate(timeout=10)
        self.addCleanup(reap)
        return proc

    def timed_status(self):
        """(kelvctl status stdout, seconds it took)."""
        started = time.monotonic()
        r = self.run_kelvctl("status", timeout=60)
        elapsed = time.monotonic() - started
        self.assertEqual(0, r.returncode, r)
        return r.stdout, elapsed


class ShutdownDuringRestartTest(SlowCommandTestCase):
    """A restart that sleeps 20 s is under way when kelv is told to end."""

    def test_sigterm_ends_kelv_at_once(self):
        proc = self.watch("slow")
        self.crash_into_slow_restart("slow", 20)
        since = time.monotonic()
        proc.send_signal(signal.SIGTERM)
        status, took = self.exit_after(proc, since)
        self.assertLess(took, 1.0, "kelv waited for the restart")
        self.assertEqual(1, status)
        self.assertFalse(os.path.lexists(self.socket_path))
        self.assertFalse(os.path.exists(self.pidfile_path))

    def test_shutdown_request_is_answered_and_ends_kelv_at_once(self):
        proc = self.watch("slow")
        self.crash_into_slow_restart("slow", 20)
        asked = time.monotonic()
        r = self.run_kelvctl("shutdown", timeout=60)
        replied = time.monotonic()
        self.assertEqual((0, b"kelv shutting down.\n" + END),
                         (r.returncode, r.stdout), r)
        self.assertLess(replied - asked, 5.0, "the reply waited")
        status, took = self.exit_after(proc, replied)
        self.assertLess(took, 1.0, "kelv waited for the restart")
        self.assertEqual(0, status)
        self.assertFalse(os.path.lexists(self.socket_path))
        self.assertFalse(os.path.exists(self.pidfile_path))


class CommandEndTest(SlowCommandTestCase):

    def test_restart_ends_when_its_command_exits_not_its_output(self):
        # The new process keeps the restart's standard output open for as
        # long as it runs: reading to the end of it would never end.
        self.watch("leaky")
        old = self.service_pid("leaky")
        self.set_knobs("leaky", keep_stdout=True)
        mark = self.log_mark()
        self.kill_service("leaky", signal.SIGSEGV)
        i = self.wait_for_log("leaky caught signal 11 and exited", ERR,
                              start=mark)
        self.wait_for_log("leaky was restarted", NOTICE, start=i, timeout=15)
        new = self.service_pid("leaky")
        self.assertIsNotNone(new)
        self.assertNotEqual(old, new)
        self.assertTrue(os.readlink("/proc/%d/fd/1" % new).startswith("pipe:"),
                        "the new service does not hold the pipe")
        out, _ = self.timed_status()
        self.assertIn(row("leaky", new), out)
        self.assertNotIn(row("leaky", old), out)

    def test_failed_restart_leaves_no_row_for_the_dead_pid(self):
        self.watch("flaky")
        old = self.service_pid("flaky")
        self.set_knobs("flaky", restart_status=1)
        mark = self.log_mark()
        self.kill_service("flaky", signal.SIGSEGV)
        self.wait_for_log("Service: flaky could not be restarted. If any "
                          "retry attempts exist, a retry will be attempted.",
                          ERR, start=mark)
        out, _ = self.timed_status()
        self.assertNotIn(b" %d\n" % old, out)
        self.assertNotIn(b"\nflaky ", out)


class HungProbeTest(SlowCommandTestCase):

    def test_enable_waiting_on_a_hung_probe_holds_up_nothing_else(self):
        self.watch("b")
        old = self.service_pid("b")
        self.add_service("a", SLEEPER, status_delay=FOREVER)
        enable = self.background_kelvctl("enable", "a")
        self.wait_for_delay("a", "onestatus")

        mark = self.log_mark()
        self.kill_service("b", signal.SIGSEGV)
        # Normally well under a second; the probe's own limit is 10 s.
        self.wait_for_log("b was restarted", NOTICE, start=mark, timeout=5)
        new = self.service_pid("b")
        self.assertNotEqual(old, new)
        out, took = self.timed_status()
        self.assertLess(took, 1.0, "status waited")
        self.assertIn(row("b", new), out)
        # All of this while the enable still waited on its probe.
        if enable.poll() is not None:
            self.fail("the probe ended early: %r" % (enable.communicate(),))

    def test_hung_probe_is_stopped_after_10_seconds(self):
        self.start_daemon("-v")
        self.add_service("a", SLEEPER, status_delay=FOREVER)
        self.background_kelvctl("enable", "a")
        pids = self.wait_for_delay("a", "onestatus")
        since = time.monotonic()
        self.wait_for_log(stopped_line("a", "onestatus", 10), ERR,
                          timeout=40)
        self.assertGreater(time.monotonic() - since, 9.0,
                           "stopped before its time")
        for pid in pids:
            wait_gone(pid, 10)
        self.assertTrue(self.request(b"status:").startswith(
            b"\x00The kelv pid is "))


class NeverEndingRestartTest(SlowCommandTestCase):
    """SLOW: waits out the 120 s limit of a restart."""

    def test_restart_that_never_ends_is_stopped_after_120_seconds(self):
        # "other" sleeps a different length, so that no sleep of FOREVER
        # seconds is left once the hung command is gone.
        self.watch("hung", "other",
                   commands={"other": "ulimit -c 0; exec sleep 99999"})
        mark = self.log_mark()
        pids = self.crash_into_slow_restart("hung", FOREVER)
        since = time.monotonic()
        i = self.wait_for_log(stopped_line("hung", "restart", 120), ERR,
                              start=mark, timeout=150)
        self.assertGreater(time.monotonic() - since, 110.0,
                           "stopped before its time")
        self.wait_for_log(queued_line("hung"), NOTICE, start=i)
        for pid in pids:
            wait_gone(pid, 10)
        left = [pid for pid, (_, argv) in self.sandbox_processes().items()
                if argv == [b"sleep", b"%d" % FOREVER]]
        self.assertEqual([], left, "the hung command's sleep is left")

        # The daemon goes on handling exits.
        mark = self.log_mark()
        self.kill_service("other", signal.SIGSEGV)
        self.wait_for_log("other was restarted", NOTICE, start=mark)


class StopContinueTest(SlowCommandTestCase):

    def test_stop_and_continue_of_kelv_logs_no_error(self):
        proc = self.watch("svc")

        def state():
            with open("/proc/%d/stat" % proc.pid, "rb") as f:
                stat = f.read()
            return stat[stat.rfind(b")") + 2:][:1]

        mark = self.log_mark()
        os.kill(proc.pid, signal.SIGSTOP)
        wait_until(lambda: state() == b"T", message="kelv to stop")
        time.sleep(0.5)  # stopped for a while, as at a terminal
        os.kill(proc.pid, signal.SIGCONT)
        wait_until(lambda: state() != b"T", message="kelv to continue")

        out, _ = self.timed_status()
        self.assertIn(row("svc", self.service_pid("svc")), out)
        self.kill_service("svc", signal.SIGSEGV)
        self.wait_for_log("svc was restarted", NOTICE, start=mark)
        errors = [text for pri, text in self.log_lines()[mark:]
                  if pri <= ERR]
        self.assertEqual(["svc caught signal 11 and exited"], errors)


if __name__ == "__main__":
    unittest.main()
