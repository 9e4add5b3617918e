"""The bound on crash loops, with the real kelv: a service that crashes right
after every start is restarted at once five times and then handed to the
retry queue; one that crashes after a longer run is restarted at once every
time. The count, its resets and the queue's own restarts are covered by the
unit tests on the virtual clock.
"""

import json
import signal
import time
import unittest

from kelvtest import KelvTestCase

ERR, NOTICE, INFO = 3, 5, 6
SLEEPER = "ulimit -c 0; exec sleep 100000"
# Crashes 50 ms after every start, as a service that cannot come up.
CRASHER = "ulimit -c 0; sleep 0.05; kill -SEGV $$"
WINDOW_SECONDS = 20
RUN_SECONDS = 1.5
CRASHES = 30


class CrashThrottleTest(KelvTestCase):

    def service_view(self, name):
        r = self.run_kelvctl("status", "-j")
        self.assertEqual(0, r.returncode, r)
        for service in json.loads(r.stdout)["services"]:
            if service["name"] == name:
                return service
        self.fail("%s is not listed: %r" % (name, r.stdout))

    def texts(self, start=0):
        return [text for _, text in self.log_lines()[start:]]

    def test_crash_loop_goes_to_the_retry_queue_after_five_restarts(self):
        self.add_service("loop", CRASHER)
        self.start_daemon("-v")
        started = time.monotonic()
        r = self.run_kelvctl("enable", "loop")
        self.assertEqual(0, r.returncode, r)
        i = self.wait_for_log("loop crashed 6 times within a second of its "
                              "restart; it goes to the retry queue.", ERR,
                              timeout=WINDOW_SECONDS)
        self.wait_for_log("Service: loop was submitted to the restart queue. "
                          "First retry in 60 seconds.", NOTICE, start=i)
        queued = self.service_view("loop")
        self.assertEqual(("queued", 6, 5, 0, 5, []),
                         (queued["state"], queued["exits"],
                          queued["restarts"], queued["failed_restarts"],
                          queued["retries_left"], queued["pids"]))
        r = self.run_kelvctl("status", "-l")
        self.assertEqual(0, r.returncode, r)
        self.assertRegex(r.stdout, rb"(?m)^loop +queued\b")

        # Nothing more happens within the window: the retry is a minute off.
        time.sleep(max(0.0, started + WINDOW_SECONDS - time.monotonic()))
        texts = self.texts()
        self.assertEqual(6, texts.count("loop caught signal 11 and exited"))
        self.assertEqual(5, texts.count("loop was restarted"))
        self.assertEqual(1, len([t for t in texts if "crashed" in t]), texts)
        # The start by enable, then the five restarts.
        self.assertEqual(6, self.invocations().count(("restart", "loop")))
        self.assertEqual("queued", self.service_view("loop")["state"])

    def test_crashes_after_a_longer_run_are_all_restarted_at_once(self):
        self.add_service("steady", SLEEPER)
        self.start_service("steady")
        self.start_daemon("-v", config_lines=["steady"])
        self.wait_for_log("Monitoring processes...", INFO)
        for n in range(CRASHES):
            # The line comes after the restart has completed.
            time.sleep(RUN_SECONDS)
            mark = self.log_mark()
            self.kill_service("steady", signal.SIGSEGV)
            self.wait_for_log("steady was restarted", NOTICE, start=mark)
        texts = self.texts()
        self.assertEqual(CRASHES, texts.count("steady was restarted"))
        self.assertEqual([], [t for t in texts if "crashed" in t or
                              "restart queue" in t])
        view = self.service_view("steady")
        self.assertEqual(("running", CRASHES, CRASHES),
                         (view["state"], view["exits"], view["restarts"]))


if __name__ == "__main__":
    unittest.main()
