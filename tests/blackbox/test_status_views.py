"""kelvctl status -l, -j and -m from the outside, against a stand-in daemon:
a Unix socket in the test's temp dir that answers the detailed status
request with a canned reply. The JSON view is read back with Python's json
module, the metrics view is checked by Prometheus's own promtool.
"""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from kelvtest import KELVCTL_USAGE, FakeDaemon, kelvctl_bin

OK, END = b"\x00", b"\x04"
OLDER = (b"kelvctl: this kelv has no detailed status; it is older than this "
         b"kelvctl\n")
UNRECOGNISED = b"kelvctl: unrecognised detailed status from kelv: "

# Names as the daemon holds them: raw bytes. A quote, a backslash, spaces,
# UTF-8, and a byte that is not UTF-8.
NAMES = [b"ntpd", b'we"ird\\ n\xc3\xa4me', b"bad\xff name",
         b"\xe2\x82\xac uro"]
SERVICES = [
    b"service running 1700000000 2 1 0 1699999000 signal:11 - - 915,916 " +
    NAMES[0],
    b"service queued 1700000100 4 3 1 1700000050 status:3 2 1700000400 - " +
    NAMES[1],
    b"service given-up 1700000200 5 5 5 1700000150 signal:9 - - - " +
    NAMES[2],
    b"service no-pid 1700000300 0 0 0 - - - - - " + NAMES[3],
]


def detail_text(services, pid=812, version=1):
    lines = [b"kelv-detail %d" % version, b"kelv_pid %d" % pid] + services
    lines.append(b"end %d" % len(services))
    return b"".join(line + b"\n" for line in lines)


def in_pieces(text):
    """A reply frame in several pieces: the status byte alone, the text cut
    at odd places, the end marker alone."""
    cuts = [0, 1, 7, len(text) // 2, len(text)]
    return [OK] + [text[a:b] for a, b in zip(cuts, cuts[1:])] + [END]


class StatusViewsTest(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kelvctl-views-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.socket_path = os.path.join(self.tmp, "kelv.sock")

    def serve(self, pieces):
        """A stand-in daemon at the test's socket answering with pieces, sent
        without a pause (None: closing without a byte)."""
        daemon = FakeDaemon(self.socket_path, lambda request: pieces,
                            pause=0)
        self.addCleanup(daemon.close)
        return daemon

    def kelvctl(self, *args, stdout=subprocess.PIPE):
        return subprocess.run(
            [kelvctl_bin(), "-s", self.socket_path] + list(args),
            stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE,
            timeout=60)

    def assert_clean(self, r):
        self.assertEqual((0, b""), (r.returncode, r.stderr), r.stdout)

    def test_json_round_trips_every_name(self):
        daemon = self.serve(in_pieces(detail_text(SERVICES)))
        r = self.kelvctl("status", "-j")
        self.assert_clean(r)
        self.assertEqual([b"detail:"], daemon.requests)
        doc = json.loads(r.stdout)  # bytes: must be valid UTF-8 as well
        self.assertEqual(812, doc["kelv_pid"])
        self.assertEqual([n.decode("utf-8", "replace") for n in NAMES],
                         [s["name"] for s in doc["services"]])
        self.assertEqual(
            ['we"ird\\ n\u00e4me', "bad\ufffd name", "\u20ac uro"],
            [s["name"] for s in doc["services"][1:]])
        self.assertEqual(
            {"name": "ntpd", "jail": None, "state": "running",
             "pids": [915, 916],
             "since": 1700000000, "exits": 2, "restarts": 1,
             "failed_restarts": 0,
             "last_exit": {"time": 1699999000, "signal": 11},
             "retries_left": None, "next_retry": None},
            doc["services"][0])
        queued = doc["services"][1]
        self.assertEqual(
            ("queued", [], {"time": 1700000050, "status": 3}, 2, 1700000400,
             1),
            (queued["state"], queued["pids"], queued["last_exit"],
             queued["retries_left"], queued["next_retry"],
             queued["failed_restarts"]))
        self.assertIsNone(doc["services"][3]["last_exit"])

    def test_long_reply_is_collected_whole(self):
        services = [b"service running 1 0 0 0 - - - - %d svc-%04d" % (i + 1, i)
                    for i in range(500)]
        self.serve(in_pieces(detail_text(services)))
        r = self.kelvctl("status", "-j")
        self.assert_clean(r)
        self.assertEqual(["svc-%04d" % i for i in range(500)],
                         [s["name"] for s in json.loads(r.stdout)["services"]])

    @unittest.skipUnless(shutil.which("promtool"),
                         "promtool not found (Debian package prometheus)")
    def test_metrics_pass_promtool(self):
        jailed = [b"service running 1700000000 1 1 0 1699999000 signal:11 - "
                  b"- 917 ntpd@web1",
                  b"service queued 1700000100 1 1 1 1700000050 status:3 5 "
                  b"1700000400 - ntpd@3"]
        cases = [("every kind", SERVICES),
                 ("none has exited", [SERVICES[3]]),
                 ("no services", []),
                 ("host and jails", SERVICES[:1] + jailed)]
        outputs = {}
        for what, services in cases:
            with self.subTest(what):
                daemon = self.serve(in_pieces(detail_text(services)))
                r = self.kelvctl("status", "-m")
                daemon.close()
                self.assert_clean(r)
                check = subprocess.run(["promtool", "check", "metrics"],
                                       input=r.stdout, capture_output=True,
                                       timeout=60)
                self.assertEqual((0, b"", b""),
                                 (check.returncode, check.stdout,
                                  check.stderr), r.stdout)
                self.assertIn(b"\nkelv_services %d\n" % len(services),
                              r.stdout)
                outputs[what] = r.stdout
        self.assertIn(
            b'\nkelv_service_up{service="ntpd@web1",jail="web1"} 1\n',
            outputs["host and jails"])
        every = outputs["every kind"]
        for series in (
                b'kelv_service_up{service="ntpd"} 1',
                b'kelv_service_state{service="we\\"ird\\\\ n\xc3\xa4me",'
                b'state="queued"} 1',
                b'kelv_service_up{service="bad\xef\xbf\xbd name"} 0',
                b'kelv_service_failed_restarts_total{service="bad\xef\xbf\xbd '
                b'name"} 5',
                b'kelv_service_last_exit_timestamp_seconds{service="ntpd"} '
                b'1699999000'):
            self.assertIn(b"\n" + series + b"\n", every)
        self.assertNotIn(b'kelv_service_last_exit_timestamp_seconds{'
                         b'service="\xe2\x82\xac uro"}', every)

    def test_table_rows_line_up(self):
        self.serve(in_pieces(detail_text(SERVICES)))
        r = self.kelvctl("status", "-l")
        self.assert_clean(r)
        lines = r.stdout.decode("utf-8", "replace").split("\n")
        self.assertEqual("The kelv pid is 812.", lines[0])
        self.assertEqual("", lines[-1])
        header, rows = lines[1], lines[2:-1]
        self.assertTrue(header.startswith("SERVICE "), header)
        # Raw name bytes, in the daemon's order.
        for raw, name in zip(r.stdout.split(b"\n")[2:-1], NAMES):
            self.assertTrue(raw.startswith(name + b" "), raw)
        self.assertEqual(len(NAMES), len(rows))
        columns = ["STATE", "PIDS", "RESTARTS", "LAST EXIT", "IN STATE"]
        starts = [header.index(c) for c in columns]
        expected = [
            ("running", "915,916", "1", r"signal 11 \(SIGSEGV\), .* ago"),
            ("queued", "-", r"3 \(1 failed\)", "exit 3, .* ago"),
            ("given-up", "-", r"5 \(5 failed\)",
             r"signal 9 \(SIGKILL\), .* ago"),
            ("no-pid", "-", "0", "-"),
        ]
        for row, want in zip(rows, expected):
            cells = [row[a:b].strip() for a, b in
                     zip(starts, starts[1:] + [len(row)])]
            for cell, pattern in zip(cells, want):
                self.assertRegex(cell, "^%s$" % pattern, row)
            self.assertRegex(cells[4], r"^\d+(s|m\d\ds|h\d\dm|d\d\dh)$", row)

    def test_older_daemon_closes_without_a_byte(self):
        daemon = self.serve(None)
        for option in ("-l", "-j", "-m"):
            with self.subTest(option):
                r = self.kelvctl("status", option)
                self.assertEqual((1, b"", OLDER),
                                 (r.returncode, r.stdout, r.stderr))
        self.assertEqual([b"detail:"] * 3, daemon.requests)

    def test_unrecognised_replies(self):
        text = detail_text(SERVICES)
        status_text = (b"The kelv pid is 42.\n"
                       b"process name                             pid\n")
        cases = [
            ("next version", [OK, detail_text(SERVICES, version=2), END],
             b"version 2, this kelvctl reads 1"),
            ("plain status", [OK, status_text, END], b"not a detailed status"),
            ("cut short", [OK, text[:-20]], b"cut short before the end marker"),
            ("unknown state", [OK, text.replace(b"no-pid", b"asleep"), END],
             b"line 6: unknown state"),
            ("NUL", [OK, text.replace(b"ntpd", b"nt\0pd"), END],
             b"a NUL byte in the text"),
        ]
        for what, pieces, why in cases:
            with self.subTest(what):
                daemon = self.serve(pieces)
                r = self.kelvctl("status", "-j")
                daemon.close()
                self.assertEqual((1, b"", UNRECOGNISED + why + b"\n"),
                                 (r.returncode, r.stdout, r.stderr))

    def test_refusal_is_written_as_received(self):
        self.serve([b"\x01", b"Not now.\n", END])
        r = self.kelvctl("status", "-m")
        self.assertEqual((1, b"Not now.\n" + END, b""),
                         (r.returncode, r.stdout, r.stderr))

    def test_other_words_stay_usage_errors(self):
        daemon = self.serve(in_pieces(detail_text(SERVICES)))
        for args in (["status", "-x"], ["status", "-l", "-j"],
                     ["status", "-l", "ntpd"], ["status", "l"],
                     ["status", "-lj"], ["shutdown", "-l"]):
            with self.subTest(args=args):
                r = self.kelvctl(*args)
                self.assertEqual((64, KELVCTL_USAGE, b""),
                                 (r.returncode, r.stdout, r.stderr))
        self.assertEqual([], daemon.requests)

    def test_failed_write_is_an_error(self):
        # A cron job that moves the file into place must not move a cut one.
        self.serve(in_pieces(detail_text(SERVICES)))
        with open("/dev/full", "wb") as full:
            r = self.kelvctl("status", "-m", stdout=full)
        self.assertEqual(1, r.returncode)
        self.assertEqual(b"kelvctl: standard output: No space left on device\n",
                         r.stderr)


if __name__ == "__main__":
    unittest.main()
