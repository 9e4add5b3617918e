"""Hostile service names, through the control socket and through the
configuration file: nothing in a name is ever executed, no name that rc(8)'s
`service` would read as an option or a path, and none that holds a control
byte, ever reaches it, and the daemon stays up and answers.

Each test runs with its temp dir as the working directory (the daemon
inherits it), so a name that a shell would run leaves its marker file there.
"""

import os
import unittest

from kelvtest import KelvTestCase

ERR = 3
OK, FAIL, END = b"\x00", b"\x01", b"\x04"
MARK = b"MARK"

# Names that a shell would run, split or redirect. They hold no "/", so they
# pass the daemon's own checks and reach `service`, as one argument each.
SHELL_NAMES = (
    b"x; touch MARK",
    b"$(touch MARK)",
    b"`touch MARK`",
    b"x | touch MARK",
    b"x && touch MARK",
    b"x & touch MARK",
    b"x > MARK",
    b"'; touch MARK; '",
    b"two words",
    b" lead and trail ",
    b"caf\xc3\xa9-\xff\xfe\x80\"q\\",
)
# Names that hold a control byte: they would break the configuration file,
# the listings and the reply's end marker, so they are refused before
# anything runs. The refusal shows each such byte as \ooo.
CONTROL_NAMES = {
    b"x\ntouch MARK": "x\\012touch MARK",
    b"tab\there": "tab\\011here",
    b"cr\r": "cr\\015",
    b"\x7f\x80\xff": "\\177\x80\xff",
    b"eot\x04": "eot\\004",
    b"caf\xc3\xa9-\x01": "caf\xc3\xa9-\\001",
}
# Names that `service` would read as an option or as a path: refused before
# anything runs.
OPTION_NAMES = (b"-R", b"-e", b"--help", b"-")
PATH_NAMES = (b"../x", b"/bin/sh", b"x/../../y", b"./x", b"/")
LONG_NAME = b"n" * 2000


def refusal(name, what):
    return "Refusing service name %s: it would be read as %s." % (
        os.fsdecode(name), what)


def control_refusal(shown):
    return "Refusing service name %s: it holds a control character." % \
        os.fsdecode(shown.encode("latin-1"))


class HostileNamesTest(KelvTestCase):

    def setUp(self):
        super().setUp()
        cwd = os.getcwd()
        os.chdir(self.tmp)
        self.addCleanup(os.chdir, cwd)

    # -- checks --------------------------------------------------------------

    def assert_nothing_ran(self):
        for where in (self.tmp, self.rc_dir, os.path.join(self.rc_dir, "run"),
                      "/"):
            self.assertFalse(
                os.path.exists(os.path.join(os.fsencode(where), MARK)),
                "a name was run by a shell: %s" % where)

    def assert_only_plain_names_reached_service(self):
        for verb, name in self.invocations():
            self.assertFalse(name.startswith("-"), (verb, name))
            self.assertNotIn("/", name, (verb, name))

    def assert_serving(self, proc):
        self.assertIsNone(proc.poll(), "the daemon died")
        reply = self.request(b"status:")
        self.assertTrue(reply.startswith(OK + b"The kelv pid is %d.\n" %
                                         proc.pid), reply)
        self.assertTrue(reply.endswith(END), reply)
        return reply

    def assert_no_rows(self, status_reply):
        self.assertTrue(status_reply.endswith(b"-" * 50 + b"\n" + END),
                        status_reply)

    # -- through the socket --------------------------------------------------

    def test_shell_names_are_plain_names_over_the_socket(self):
        # As services that exist, they are watched under their exact names.
        for name in SHELL_NAMES:
            self.add_service(name)
        proc = self.start_daemon()
        for name in SHELL_NAMES:
            with self.subTest(name=name):
                reply = self.request(b"enable:" + name)
                self.assertEqual(OK + b"Monitoring service.\n" + END, reply)
                self.assertIsNotNone(self.service_pid(name))
        self.assert_nothing_ran()
        self.assert_only_plain_names_reached_service()
        asked = {os.fsencode(name) for verb, name in self.invocations()}
        self.assertEqual(set(SHELL_NAMES), asked)

        status = self.assert_serving(proc)
        for name in SHELL_NAMES:
            self.assertIn(b"\n" + name.ljust(40) + b" %d\n" %
                          self.service_pid(name), status)
        for name in SHELL_NAMES:
            with self.subTest(name=name):
                self.assertEqual(OK + b"Service removed.\n" + END,
                                 self.request(b"disable:" + name))
        self.assert_nothing_ran()
        self.assert_serving(proc)

    def test_kelvctl_passes_shell_names_unchanged(self):
        name = b"$(touch MARK); `touch MARK` | touch MARK"
        self.add_service(name)
        self.start_daemon()
        r = self.run_kelvctl("enable", name)
        self.assertEqual((0, b"Monitoring service.\n" + END),
                         (r.returncode, r.stdout), r)
        r = self.run_kelvctl("status")
        self.assertIn(name, r.stdout)
        self.assertEqual(0, self.run_kelvctl("disable", name).returncode)
        self.assert_nothing_ran()
        self.assertEqual({os.fsdecode(name)},
                         {name for verb, name in self.invocations()})

    def test_option_and_path_names_never_reach_service(self):
        proc = self.start_daemon()
        for name in OPTION_NAMES + PATH_NAMES:
            with self.subTest(name=name):
                start = self.log_mark()
                self.assertEqual(FAIL + b"Could not start service.\n" + END,
                                 self.request(b"enable:" + name))
                what = "an option" if name in OPTION_NAMES else "a path"
                self.assertIsNotNone(
                    self.find_log(refusal(name, what), ERR, start),
                    self.log_lines()[start:])
                self.assertEqual(
                    FAIL + b"Removing service failed: Not found.\n" + END,
                    self.request(b"disable:" + name))
        # kelvctl takes a "-R" after the command word as a name, not an
        # option of its own, and the daemon refuses it all the same.
        r = self.run_kelvctl("enable", "-R", "/bin/sh")
        self.assertEqual(2, r.returncode, r)
        self.assertEqual([], self.invocations())
        self.assert_nothing_ran()
        self.assert_no_rows(self.assert_serving(proc))

    def test_long_and_odd_names_get_a_reply_and_leave_the_daemon_up(self):
        proc = self.start_daemon()
        cases = [
            LONG_NAME,
            # The request fills the daemon's 2047 bytes exactly.
            b"m" * (2040 - 13) + b"$(touch MARK)",
        ]
        for name in cases:
            with self.subTest(name=name[:20]):
                self.clear_invocations()
                self.assertEqual(FAIL + b"Could not start service.\n" + END,
                                 self.request(b"enable:" + name))
                self.assertEqual({("onestatus", os.fsdecode(name)),
                                  ("restart", os.fsdecode(name))},
                                 set(self.invocations()))
        self.assert_nothing_ran()
        self.assert_serving(proc)

    def test_control_bytes_never_reach_service(self):
        for name in CONTROL_NAMES:
            if b"\n" not in name:
                self.add_service(name)  # they would run, were they asked
        proc = self.start_daemon()
        for name, shown in CONTROL_NAMES.items():
            with self.subTest(name=name):
                start = self.log_mark()
                self.assertEqual(FAIL + b"Could not start service.\n" + END,
                                 self.request(b"enable:" + name))
                self.assertIsNotNone(
                    self.find_log(control_refusal(shown), ERR, start),
                    self.log_lines()[start:])
        self.assertEqual([], self.invocations())
        self.assert_nothing_ran()
        self.assert_no_rows(self.assert_serving(proc))

    # -- through the configuration file --------------------------------------

    def test_configuration_file_names(self):
        for name in SHELL_NAMES:
            self.add_service(name)
        control = [name for name in CONTROL_NAMES if b"\n" not in name]
        lines = list(SHELL_NAMES) + control
        lines += list(OPTION_NAMES + PATH_NAMES) + [LONG_NAME]
        proc = self.start_daemon("-v", config_lines=lines)
        self.wait_for_log("Monitoring processes...", timeout=60)

        self.assert_nothing_ran()
        self.assert_only_plain_names_reached_service()
        for name in OPTION_NAMES + PATH_NAMES:
            with self.subTest(name=name):
                what = "an option" if name in OPTION_NAMES else "a path"
                self.assertIsNotNone(self.find_log(refusal(name, what), ERR))
                self.assertIsNotNone(self.find_log(
                    "%s could not be started." % os.fsdecode(name), ERR))
        self.assertIsNotNone(self.find_log(
            "%s could not be started." % os.fsdecode(LONG_NAME), ERR))
        for name in control:
            with self.subTest(name=name):
                self.assertIsNotNone(
                    self.find_log(control_refusal(CONTROL_NAMES[name]), ERR))
                self.assertNotIn(os.fsdecode(name),
                                 [n for verb, n in self.invocations()])

        status = self.assert_serving(proc)
        for name in SHELL_NAMES:
            with self.subTest(name=name):
                pid = self.service_pid(name)
                self.assertIsNotNone(pid)
                self.assertIn(b"\n" + name.ljust(40) + b" %d\n" % pid,
                              status)
        for name in OPTION_NAMES + PATH_NAMES + (LONG_NAME,):
            self.assertNotIn(b"\n" + name + b" ", status)


if __name__ == "__main__":
    unittest.main()
