"""The detailed status with the real kelv: the "detail" request word on the
socket, and kelvctl's three views of it (JSON read back with Python's json
module, metrics checked by Prometheus's promtool) through a crash, a wait and
the retry queue, with a name that holds a quote, a backslash and non-ASCII
bytes.

The give-up after six retries and the re-arm take minutes; the unit tests
cover them on the virtual clock.
"""

import json
import os
import shutil
import signal
import subprocess
import time
import unittest

from kelvtest import KelvTestCase

ERR, NOTICE = 3, 5
SLEEPER = "ulimit -c 0; exec sleep 100000"
ODD = 'we"ird \\ café'  # valid UTF-8: comes out of the JSON exactly
ODD_BYTES = b"odd \xff\\\"name"  # not UTF-8


class DetailTest(KelvTestCase):

    def detail_lines(self):
        reply = self.request(b"detail:")
        self.assertTrue(reply.startswith(b"\x00"), reply)
        self.assertTrue(reply.endswith(b"\x04"), reply)
        return reply[1:-1].split(b"\n")

    def service_line(self, name):
        for line in self.detail_lines():
            fields = line.split(b" ", 11)
            if fields[0] == b"service" and fields[-1] == os.fsencode(name):
                return fields
        self.fail("no detail line for %r" % name)

    def json_view(self):
        r = self.run_kelvctl("status", "-j")
        self.assertEqual(0, r.returncode, r)
        return json.loads(r.stdout)

    def test_detail_request_lists_every_service(self):
        self.add_service("web", SLEEPER)
        self.add_service("off", SLEEPER, no_pid=True)
        proc = self.start_daemon("-v", config_lines=["web", "off"])
        self.wait_for_log("Monitoring processes...", timeout=30)
        lines = self.detail_lines()
        self.assertEqual(b"kelv-detail 1", lines[0])
        self.assertEqual(b"kelv_pid %d" % proc.pid, lines[1])
        self.assertEqual([b"end 2", b""], lines[-2:])
        now = time.time()
        web = self.service_line("web")
        self.assertEqual(b"running", web[1])
        self.assertLessEqual(abs(int(web[2]) - now), 30)
        self.assertEqual([b"0", b"0", b"0", b"-", b"-", b"-", b"-"], web[3:10])
        self.assertEqual(b"%d" % self.service_pid("web"), web[10])
        self.assertEqual(b"no-pid", self.service_line("off")[1])
        # The list order is the order of status: the latest added first.
        self.assertTrue(lines[2].endswith(b" off"), lines)

    # A crash restarted at once, a stop waited for, a crash that cannot be
    # restarted and is queued: what the JSON view says of each.
    def test_states_and_counters_in_the_json_view(self):
        self.add_service("web", SLEEPER)
        self.add_service("db", SLEEPER)
        self.add_service(ODD, SLEEPER)
        proc = self.start_daemon("-v", config_lines=["web", "db", ODD])
        self.wait_for_log("Monitoring processes...", timeout=30)
        self.set_knobs(ODD, restart_status=1)

        self.kill_service("web", signal.SIGSEGV)
        self.wait_for_log("web was restarted", NOTICE)
        self.kill_service("db", signal.SIGTERM)
        self.wait_for_log("db waiting for restart.", NOTICE)
        before = time.time()
        self.kill_service(ODD, signal.SIGABRT)
        self.wait_for_log("Service: %s was submitted to the restart queue. "
                          "First retry in 60 seconds." % ODD, NOTICE)

        doc = self.json_view()
        self.assertEqual(proc.pid, doc["kelv_pid"])
        by_name = {s["name"]: s for s in doc["services"]}
        self.assertEqual([ODD, "db", "web"], [s["name"] for s in
                                              doc["services"]])
        web, db, odd = by_name["web"], by_name["db"], by_name[ODD]
        self.assertEqual(("running", 1, 1, 0),
                         (web["state"], web["exits"], web["restarts"],
                          web["failed_restarts"]))
        self.assertEqual([self.service_pid("web")], web["pids"])
        self.assertEqual(signal.SIGSEGV, web["last_exit"]["signal"])
        self.assertEqual(("waiting", [], None),
                         (db["state"], db["pids"], db["retries_left"]))
        self.assertEqual(signal.SIGTERM, db["last_exit"]["signal"])
        self.assertEqual(("queued", 1, 1, 1, 5),
                         (odd["state"], odd["exits"], odd["restarts"],
                          odd["failed_restarts"], odd["retries_left"]))
        self.assertEqual([], odd["pids"])
        self.assertLessEqual(abs(odd["next_retry"] - (before + 60)), 10)
        self.assertLessEqual(abs(odd["last_exit"]["time"] - before), 10)
        self.assertLessEqual(abs(odd["since"] - before), 10)

        # The plain listing is as it always was: only live PIDs, no state.
        status = self.request(b"status:")
        self.assertIn(b"\nweb" + b" " * 38 + b"%d\n" %
                      self.service_pid("web"), status)
        self.assertNotIn(os.fsencode(ODD), status)

    def test_odd_names_in_all_three_views(self):
        names = [ODD, ODD_BYTES]
        for name in names:
            self.add_service(name, SLEEPER)
        self.start_daemon("-v", config_lines=names)
        self.wait_for_log("Monitoring processes...", timeout=30)

        doc = self.json_view()
        got = [s["name"] for s in doc["services"]]
        self.assertEqual(["odd \ufffd\\\"name", ODD], got)

        r = self.run_kelvctl("status", "-l")
        self.assertEqual(0, r.returncode, r)
        for name in names:
            self.assertIn(os.fsencode(name), r.stdout)
        self.assertEqual(2, r.stdout.count(b"running"), r.stdout)

        r = self.run_kelvctl("status", "-m")
        self.assertEqual(0, r.returncode, r)
        self.assertIn(b'kelv_service_up{service="we\\"ird \\\\ caf\xc3\xa9"} 1',
                      r.stdout)
        self.assertIn(b"kelv_services 2\n", r.stdout)
        promtool = shutil.which("promtool")
        if promtool is None:
            self.skipTest("promtool is not installed (Debian: prometheus)")
        check = subprocess.run([promtool, "check", "metrics"],
                               input=r.stdout, capture_output=True,
                               timeout=60)
        self.assertEqual(0, check.returncode, check)


if __name__ == "__main__":
    unittest.main()
