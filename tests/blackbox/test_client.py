"""kelvctl from the outside: its command line, its exchanges with a daemon and
the -w update of the configuration file.

Most cases talk to a scripted stand-in daemon (a Unix socket that records
each request and answers with given pieces); a few run against the real
kelv. The -w cases run kelvctl in a private mount namespace with a tmpfs over
/usr/local/etc, so the host's configuration file is never touched.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

from kelvtest import KELVCTL_USAGE, FakeDaemon, KelvTestCase, kelvctl_bin

OK, FAIL = b"\x00", b"\x01"
END = b"\x04"
STATUS_TEXT = (b"The kelv pid is 42.\n"
               b"process name                             pid\n" +
               b"-" * 50 + b"\n"
               b"ntpd                                     123\n")


def scripted_reply(refused=()):
    """Replies the way the daemon does, refusing the names in refused. Each
    frame comes in three pieces, as the daemon writes it."""
    def reply(request):
        word, _, name = request.decode().partition(":")
        if word in ("status", "shutdown"):
            return [OK, STATUS_TEXT, END]
        if name.encode() in refused or name in refused:
            return [FAIL, b"Removing service failed: Not found.\n", END]
        return [OK, b"Monitoring service.\n", END]
    return reply


class ClientTestCase(unittest.TestCase):

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="kelvctl-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.socket_path = os.path.join(self.tmp, "kelv.sock")

    def fake_daemon(self, reply=None, path=None, **kwargs):
        daemon = FakeDaemon(path or self.socket_path,
                            reply or scripted_reply(), **kwargs)
        self.addCleanup(daemon.close)
        return daemon

    def kelvctl(self, *args, socket_path=None):
        argv = [kelvctl_bin(), "-s", socket_path or self.socket_path]
        return subprocess.run(argv + list(args), stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)


class CommandLineTest(ClientTestCase):

    def test_usage_errors_and_version(self):
        unknown = b"kelvctl: unknown option: Status\n"
        version = b"kelvctl version: 1.1\n"
        cases = [
            ([], KELVCTL_USAGE, b""),
            (["status", "x"], KELVCTL_USAGE, b""),
            (["status", "-w"], KELVCTL_USAGE, b""),
            (["shutdown", "now"], KELVCTL_USAGE, b""),
            (["status", "-V"], KELVCTL_USAGE, b""),
            (["Status"], KELVCTL_USAGE, unknown),
            (["-V", "status"], b"", version),
            (["-w", "-V", "bogus"], b"", version),
        ]
        for args, out, err in cases:
            with self.subTest(args=args):
                r = self.kelvctl(*args)
                self.assertEqual(64, r.returncode)
                self.assertEqual(out, r.stdout)
                self.assertEqual(err, r.stderr)

    def test_unknown_option_gets_the_usage(self):
        r = self.kelvctl("-x", "status")
        self.assertEqual(64, r.returncode)
        self.assertEqual(KELVCTL_USAGE, r.stdout)
        self.assertIn(b"-- 'x'", r.stderr)  # getopt's own diagnostic

    def test_enable_without_names_sends_nothing(self):
        daemon = self.fake_daemon()
        r = self.kelvctl("enable")
        self.assertEqual((0, b"", b""), (r.returncode, r.stdout, r.stderr))
        r = self.kelvctl("-w", "disable")
        self.assertEqual((0, b""), (r.returncode, r.stdout))
        self.assertEqual(b"kelvctl: No service name given to update\n",
                         r.stderr)
        self.assertEqual([], daemon.requests)


class ExchangeTest(ClientTestCase):

    def test_refused_name_in_the_middle(self):
        daemon = self.fake_daemon(scripted_reply(refused=("b",)))
        r = self.kelvctl("enable", "a", "b", "c")
        self.assertEqual(1, r.returncode)
        self.assertEqual([b"enable:a", b"enable:b", b"enable:c"],
                         daemon.requests)
        self.assertEqual(b"Monitoring service.\n\x04"
                         b"Removing service failed: Not found.\n\x04"
                         b"Monitoring service.\n\x04", r.stdout)
        self.assertEqual(b"", r.stderr)

    def test_words_after_the_command_are_names(self):
        daemon = self.fake_daemon()
        r = self.kelvctl("disable", "-w", "-V", "a")
        self.assertEqual(0, r.returncode)
        self.assertEqual([b"disable:-w", b"disable:-V", b"disable:a"],
                         daemon.requests)

    def test_status_pieces_reach_stdout_with_the_end_marker(self):
        # The status byte comes alone, then the text, then the marker alone.
        daemon = self.fake_daemon(pause=0.1)
        r = self.kelvctl("status")
        self.assertEqual(0, r.returncode)
        self.assertEqual(STATUS_TEXT + END, r.stdout)
        self.assertEqual([b"status:"], daemon.requests)

    def test_replies_without_a_status_byte_count_as_failures(self):
        self.fake_daemon(lambda request: None)
        r = self.kelvctl("shutdown")
        self.assertEqual((1, b""), (r.returncode, r.stdout))
        r = self.kelvctl("enable", "a", "b", "c")
        self.assertEqual((3, b""), (r.returncode, r.stdout))

    def test_exit_status_keeps_the_low_8_bits_of_the_sum(self):
        self.fake_daemon(lambda request: [FAIL + b"no\n" + END])
        names = ["s%d" % i for i in range(257)]
        self.assertEqual(1, self.kelvctl("enable", *names).returncode)

    def test_daemon_gone_midway_ends_with_71_after_earlier_replies(self):
        self.fake_daemon(max_connections=1)
        r = self.kelvctl("enable", "a", "b")
        self.assertEqual(71, r.returncode)
        self.assertEqual(b"Monitoring service.\n\x04", r.stdout)
        self.assertTrue(r.stderr.startswith(b"kelvctl: connect: "), r.stderr)

    def test_no_daemon_and_empty_socket_path(self):
        for path, why in ((self.socket_path, b"No such file or directory"),
                          ("", b"Invalid argument")):
            with self.subTest(path=path):
                r = subprocess.run([kelvctl_bin(), "-s", path, "status"],
                                   capture_output=True, timeout=30)
                self.assertEqual(71, r.returncode)
                self.assertEqual(b"kelvctl: connect: " + why + b"\n",
                                 r.stderr)

    def test_socket_path_of_103_bytes_works_and_104_is_refused(self):
        base = os.path.join(self.tmp, "")
        fits = base + "s" * (103 - len(base))
        too_long = base + "t" * (104 - len(base))
        self.assertEqual((103, 104), (len(fits), len(too_long)))
        daemon = self.fake_daemon(path=fits)
        r = self.kelvctl("status", socket_path=fits)
        self.assertEqual((0, STATUS_TEXT + END), (r.returncode, r.stdout))
        # A socket that could be reached at 104 bytes must not be.
        unreached = self.fake_daemon(path=too_long)
        r = self.kelvctl("status", socket_path=too_long)
        self.assertEqual(78, r.returncode)
        self.assertTrue(r.stderr.startswith(b"kelvctl: socket path too long"),
                        r.stderr)
        self.assertEqual(([b"status:"], []),
                         (daemon.requests, unreached.requests))


def private_mounts_work():
    if os.geteuid() != 0 or not os.path.isdir("/usr/local/etc") or \
            shutil.which("unshare") is None:
        return False
    probe = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c",
         "mount -t tmpfs tmpfs /usr/local/etc"], capture_output=True)
    return probe.returncode == 0


PRIVATE_ETC_SCRIPT = r"""
mount -t tmpfs -o mode=0755$TMPFS_SIZE tmpfs /usr/local/etc || exit 99
cp -a "$BEFORE"/. /usr/local/etc/ || exit 99
kctl() { "$KELVCTL" -s "$SOCK" "$@"; }
%s
rc=$?
cp -a /usr/local/etc/. "$AFTER"/ || exit 99
exit $rc
"""


@unittest.skipUnless(private_mounts_work(),
                     "needs root and private mount namespaces")
class ConfigFileTest(ClientTestCase):
    """The -w update, each case on a fresh /usr/local/etc of its own."""

    def run_private(self, body, files=None, tmpfs_size=None):
        """Fills a private /usr/local/etc with files ({name: (bytes, mode)}),
        runs the shell body there (kctl runs kelvctl with the fake daemon's
        socket) and returns (CompletedProcess, {name: (bytes, mode)} of what
        the directory held afterwards)."""
        before = tempfile.mkdtemp(dir=self.tmp)
        after = tempfile.mkdtemp(dir=self.tmp)
        for name, (data, mode) in (files or {}).items():
            path = os.path.join(before, name)
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, mode)
        env = dict(os.environ, KELVCTL=kelvctl_bin(), SOCK=self.socket_path,
                   BEFORE=before, AFTER=after,
                   TMPFS_SIZE=",size=%s" % tmpfs_size if tmpfs_size else "")
        r = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             PRIVATE_ETC_SCRIPT % body], env=env, capture_output=True,
            timeout=120)
        self.assertNotEqual(99, r.returncode, r.stderr)
        result = {}
        for name in os.listdir(after):
            path = os.path.join(after, name)
            with open(path, "rb") as f:
                result[name] = (f.read(), os.stat(path).st_mode & 0o7777)
        return r, result

    def test_enable_appends_every_name_even_refused_and_repeated(self):
        self.fake_daemon(scripted_reply(refused=("ntpd",)))
        r, after = self.run_private("kctl -w enable sshd ntpd",
                                    {"kelv.conf": (b"#c\nntpd\n", 0o644)})
        self.assertEqual((1, b""), (r.returncode, r.stderr))
        self.assertEqual({"kelv.conf": (b"#c\nntpd\nsshd\nntpd\n", 0o644)},
                         after)

    def test_disable_drops_only_the_named_lines(self):
        # Refused by the daemon, the names still leave the file.
        self.fake_daemon(scripted_reply(refused=("foo", "bar")))
        before = b"# keep me\nfoo\nfoobar\nfoo.old\nbar\n#foo\nbaz\nfoo\n"
        r, after = self.run_private("kctl -w disable foo bar",
                                    {"kelv.conf": (before, 0o640)})
        self.assertEqual((2, b""), (r.returncode, r.stderr))
        self.assertEqual(
            {"kelv.conf": (b"# keep me\nfoobar\nfoo.old\n#foo\nbaz\n",
                           0o640)}, after)

    def test_w_after_the_command_word_is_a_name(self):
        daemon = self.fake_daemon()
        r, after = self.run_private("kctl enable -w a")
        self.assertEqual(0, r.returncode)
        self.assertEqual([b"enable:-w", b"enable:a"], daemon.requests)
        self.assertEqual({}, after)

    def test_missing_file(self):
        self.fake_daemon()
        r, after = self.run_private("kctl -w disable a")
        self.assertEqual(0, r.returncode)
        self.assertEqual(b"kelvctl: Unable to open configuration file\n",
                         r.stderr)
        self.assertEqual({}, after)
        r, after = self.run_private("kctl -w enable a")
        self.assertEqual((0, b""), (r.returncode, r.stderr))
        self.assertEqual(b"a\n", after["kelv.conf"][0])

    def test_unwritable_directory_leaves_the_file(self):
        self.fake_daemon()
        before = {"kelv.conf": (b"a\nb\n", 0o644)}
        r, after = self.run_private(
            "mount -o remount,ro /usr/local/etc && kctl -w disable a", before)
        self.assertEqual(0, r.returncode)
        self.assertEqual(b"kelvctl: Unable to create temporary file\n",
                         r.stderr)
        self.assertEqual(before, after)

    def test_full_file_system_leaves_the_file_and_no_temporary(self):
        # Three pages: the file takes two, its copy does not fit in the third.
        self.fake_daemon()
        data = b"a\n" + b"".join(b"svc%04d\n" % i for i in range(700))
        r, after = self.run_private("kctl -w disable a",
                                    {"kelv.conf": (data, 0o600)},
                                    tmpfs_size="12k")
        self.assertEqual(0, r.returncode)
        self.assertEqual(b"kelvctl: Unable to write configuration\n",
                         r.stderr)
        self.assertEqual({"kelv.conf": (data, 0o600)}, after)

    def test_clients_at_once_lose_no_update(self):
        self.fake_daemon(pause=0)
        n = 20
        old = b"".join(b"old%d\n" % i for i in range(n))
        body = "\n".join(
            ["kctl -w enable new%d >/dev/null &" % i for i in range(n)] +
            ["kctl -w disable old%d >/dev/null &" % i for i in range(n)] +
            ["wait"])
        r, after = self.run_private(body,
                                    {"kelv.conf": (b"#head\n" + old, 0o644)})
        self.assertEqual((0, b""), (r.returncode, r.stderr))
        lines = after["kelv.conf"][0].split(b"\n")
        self.assertEqual(b"#head", lines[0])
        self.assertEqual(b"", lines[-1])
        self.assertEqual(sorted(b"new%d" % i for i in range(n)),
                         sorted(lines[1:-1]))
        self.assertEqual(["kelv.conf"], list(after))


class RealDaemonTest(KelvTestCase):

    def test_status_enable_and_shutdown(self):
        self.add_service("a")
        self.add_service("c")
        self.add_service("b", enabled=False)
        proc = self.start_daemon()
        r = self.run_kelvctl("enable", "a", "b", "c")
        self.assertEqual(1, r.returncode, r)
        replies = r.stdout.split(END)
        self.assertEqual(4, len(replies), r.stdout)
        self.assertEqual([b"Monitoring service.\n", b"Monitoring service.\n"],
                         [replies[0], replies[2]])
        self.assertNotIn(b"Monitoring", replies[1])

        r = self.run_kelvctl("status")
        self.assertEqual(0, r.returncode)
        head = b"The kelv pid is %d.\n" % proc.pid
        self.assertTrue(r.stdout.startswith(head), r.stdout)
        self.assertTrue(r.stdout.endswith(b"\n" + END), r.stdout)
        names = [row.split()[0] for row in r.stdout[:-1].split(b"\n")[3:-1]]
        self.assertEqual([b"c", b"a"], names)

        r = self.run_kelvctl("shutdown")
        self.assertEqual((0, b"kelv shutting down.\n" + END),
                         (r.returncode, r.stdout))
        self.assertEqual(0, proc.wait(10))


if __name__ == "__main__":
    unittest.main()
