"""The start-up pass over the configuration file and the handling of exits of
watched processes, with the real kelv, the rc stand-in and real processes.

The long paths (the waiter's 70 s, the retry queue's minutes) are covered on
the virtual clock by the unit tests; here nothing waits longer than a poll.
"""

import os
import signal
import time
import unittest

from kelvtest import KelvTestCase

ERR, NOTICE, INFO = 3, 5, 6

# No core files from the services we kill with SIGSEGV.
SLEEPER = "ulimit -c 0; exec sleep 100000"


class StartupPassTest(KelvTestCase):

    def test_listed_services_are_watched_started_or_refused(self):
        self.add_service("run", SLEEPER)
        self.add_service("down", SLEEPER)
        self.add_service("off", SLEEPER, enabled=False)
        self.add_service("crlf", SLEEPER)
        self.add_service("tb", SLEEPER)
        run_pid = self.start_service("run")
        config = b"#run\nrun\ndown\noff\n\ncrlf\r\ntb \n #x"
        self.start_daemon("-v", "-v", config_lines=config)
        done = self.wait_for_log("Monitoring processes...", INFO)
        expected = [
            (INFO, "run has been added."),
            (INFO, "run is being monitored."),
            (INFO, "down has been added."),
            (INFO, "down started from config file."),
            (ERR, "off could not be started. Set off_enable to YES in "
                  "/etc/rc.conf."),
            (ERR, " could not be built a structure for."),
            # A carriage return is a control byte: never handed to rc(8),
            # neither to probe it nor to start it.
            (ERR, "Refusing service name crlf\\015: it holds a control "
                  "character."),
            (ERR, "Refusing service name crlf\\015: it holds a control "
                  "character."),
            (ERR, "crlf\r could not be started."),
            (ERR, "tb  could not be started."),
            (ERR, " #x could not be started."),
        ]
        lines = self.log_lines()[:done]
        self.assertEqual([l for l in lines if l in expected], expected)
        # The service started from the file is picked up by its waiter.
        self.wait_for_log("Service: down was restarted, but not by me.", INFO)
        self.assertEqual(self.service_pid("run"), run_pid)
        self.assertIsNotNone(self.service_pid("down"))
        self.assertIsNone(self.service_pid("off"))

        calls = self.invocations()
        # Names reach rc(8) byte for byte; comments never do.
        for call in [("onestatus", "tb "), ("onestatus", ""),
                     ("onestatus", " #x"), ("restart", "off")]:
            self.assertIn(call, calls)
        self.assertFalse([c for c in calls if c[1].startswith("#")], calls)
        self.assertFalse([c for c in calls if c[1] == "crlf\r"], calls)
        self.assertNotIn(("restart", "run"), calls)
        self.assertNotIn(("restart", ""), calls)

        rows = self.request(b"status:").decode(errors="replace")
        self.assertIn("%-40s %d\n" % ("run", run_pid), rows)
        self.assertIn("%-40s %d\n" % ("down", self.service_pid("down")), rows)
        self.assertNotIn("off ", rows)

    def test_unopenable_file_still_ends_the_pass(self):
        plain = os.path.join(self.tmp, "plain")
        open(plain, "w").close()
        cases = [
            (os.path.join(self.tmp, "missing.conf"),
             "Opening configuration failed: No such file or directory"),
            (os.path.join(plain, "kelv.conf"),
             "Opening configuration failed: Not a directory"),
        ]
        for path, message in cases:
            with self.subTest(path=path):
                start = self.log_mark()
                proc = self.start_daemon("-v", "-v", "-c", path)
                i = self.wait_for_log(message, ERR, start=start)
                self.wait_for_log("Monitoring processes...", INFO, start=i)
                self.assertEqual(self.invocations(), [])
                self.assertEqual(self.stop_daemon(proc), 1)


class ExitHandlingTest(KelvTestCase):

    def start_watching(self, *names, **knobs):
        for name in names:
            self.add_service(name, knobs.pop(name, SLEEPER))
            self.start_service(name)
        self.start_daemon("-v", "-v", config_lines=list(names))
        self.wait_for_log("Monitoring processes...", INFO)
        self.clear_invocations()

    def test_other_signal_restarts_at_once_and_watches_the_new_pid(self):
        self.start_watching("crash")
        old = self.service_pid("crash")
        for sig in (signal.SIGSEGV, signal.SIGABRT):
            with self.subTest(sig=sig):
                start = self.log_mark()
                self.kill_service("crash", sig)
                i = self.wait_for_log("crash caught signal %d and exited" %
                                      sig, ERR, start=start)
                self.wait_for_log("crash was restarted", NOTICE, start=i)
                self.assertIsNone(self.find_log("crash waiting for restart.",
                                                start=start))
                new = self.service_pid("crash")
                self.assertIsNotNone(new)
                self.assertNotEqual(new, old)
                old = new
        self.assertEqual(self.invocations().count(("restart", "crash")), 2)

    def test_stop_signals_wait_for_an_outside_restart(self):
        # SIGINT is ignored by background jobs of a shell, so the stand-in's
        # services cannot be ended by it; SIGUSR1 checks the rule by name.
        names = ["term", "kill", "usr1"]
        self.start_watching(*names)
        for name, sig in zip(names, (signal.SIGTERM, signal.SIGKILL,
                                     signal.SIGUSR1)):
            with self.subTest(sig=sig):
                start = self.log_mark()
                self.kill_service(name, sig)
                i = self.wait_for_log("%s caught signal %d and exited" %
                                      (name, sig), ERR, start=start)
                self.wait_for_log("%s waiting for restart." % name, NOTICE,
                                  start=i)
        # No restart at once: the waiters only ask.
        time.sleep(0.5)
        self.assertFalse([c for c in self.invocations()
                          if c[0] == "restart"], self.invocations())

    def test_waiter_picks_up_a_service_restarted_by_another_hand(self):
        self.start_watching("ntpd")
        old = self.service_pid("ntpd")
        # Bring a new instance up first, then end the old one: the waiter's
        # first poll finds the new PID.
        os.unlink(os.path.join(self.rc_dir, "run", "ntpd.pid"))
        self.assertEqual(self.run_service("ntpd", "onestart").returncode, 0)
        new = self.service_pid("ntpd")
        self.assertNotEqual(new, old)
        start = self.log_mark()
        os.kill(old, signal.SIGTERM)
        i = self.wait_for_log("ntpd caught signal 15 and exited", ERR,
                              start=start)
        self.wait_for_log("ntpd waiting for restart.", NOTICE, start=i)
        self.wait_for_log("Service: ntpd was restarted, but not by me.", INFO,
                          start=i)
        self.assertNotIn(("restart", "ntpd"), self.invocations())
        # The new PID is watched: its crash is seen and restarted.
        start = self.log_mark()
        os.kill(new, signal.SIGSEGV)
        i = self.wait_for_log("ntpd caught signal 11 and exited", ERR,
                              start=start)
        self.wait_for_log("ntpd was restarted", NOTICE, start=i)

    def test_exit_statuses_are_errors_and_take_the_wait_path(self):
        triggers = {}
        commands = {}
        for name, code in (("zero", 0), ("three", 3)):
            trigger = os.path.join(self.tmp, name + ".go")
            triggers[name] = (trigger, code)
            commands[name] = ("while [ ! -e %s ]; do sleep 0.05; done; "
                              "exit %d" % (trigger, code))
        self.start_watching("zero", "three", **commands)
        for name, (trigger, code) in triggers.items():
            with self.subTest(name=name):
                start = self.log_mark()
                open(trigger, "w").close()
                i = self.wait_for_log("%s exited with status %d" %
                                      (name, code), ERR, start=start)
                self.wait_for_log("%s waiting for restart." % name, NOTICE,
                                  start=i)
                os.unlink(trigger)

    def test_failed_restart_falls_back_to_the_queue(self):
        self.start_watching("flaky")
        self.set_knobs("flaky", restart_status=1)
        start = self.log_mark()
        self.kill_service("flaky", signal.SIGSEGV)
        i = self.wait_for_log("flaky caught signal 11 and exited", ERR,
                              start=start)
        self.wait_for_log("Service: flaky was submitted to the restart "
                          "queue. First retry in 60 seconds.", NOTICE,
                          start=i)
        self.assertIsNone(self.find_log("flaky was restarted", start=start))
        self.assertIn(("restart", "flaky"), self.invocations())

    def test_exit_of_a_pid_no_service_holds_is_dropped(self):
        self.start_watching("gone", "marker")
        reply = self.request(b"disable:gone")
        self.assertTrue(reply.startswith(b"\x00"), reply)
        start = self.log_mark()
        self.kill_service("gone", signal.SIGSEGV)
        time.sleep(0.2)
        # Events are handled in order: once the later exit is logged, the
        # earlier one has been dealt with.
        self.kill_service("marker", signal.SIGTERM)
        self.wait_for_log("marker caught signal 15 and exited", ERR,
                          start=start)
        self.assertFalse([l for l in self.log_lines()[start:]
                          if "gone" in l[1]], self.log_lines()[start:])
        self.assertNotIn(("restart", "gone"), self.invocations())


if __name__ == "__main__":
    unittest.main()
