"""Services in jails, NAME@JAIL, with the real kelv and kelvctl and the rc
stand-in's jails: what reaches `service` is exactly `-j JAIL NAME VERB`, the
same NAME on the host and in a jail are different services, a jail that is
not running is an ordinary failure, and a hostile jail part never reaches
`service` at all.

The retry queue's minutes are covered on the virtual clock by the unit
tests; here nothing waits longer than a restart.
"""

import json
import os
import signal
import subprocess
import unittest

from kelvtest import KelvTestCase, kelvctl_bin, wait_until
from test_client import PRIVATE_ETC_SCRIPT, private_mounts_work

ERR, NOTICE, INFO = 3, 5, 6
OK, FAIL, END = b"\x00", b"\x01", b"\x04"

# No core files from the services we kill with SIGSEGV.
SLEEPER = "ulimit -c 0; exec sleep 100000"


class JailTestCase(KelvTestCase):

    def watch(self, *names):
        """Starts the named services and a daemon that watches them from its
        configuration file; the invocations log starts empty afterwards."""
        for name in names:
            self.add_service(name, SLEEPER)
            self.start_service(name)
        proc = self.start_daemon("-v", "-v", config_lines=list(names))
        self.wait_for_log("Monitoring processes...", INFO)
        self.clear_invocations()
        return proc

    def crash(self, name, sig=signal.SIGSEGV):
        """Kills the service's process with a signal that kelv answers with a
        restart at once; returns the log index of the exit."""
        start = self.log_mark()
        self.kill_service(name, sig)
        return self.wait_for_log("%s caught signal %d and exited" %
                                 (name, sig), ERR, start=start)

    def assert_jailed_calls(self, jail, service):
        """Every call reached `service` as exactly -j JAIL NAME VERB."""
        calls = self.service_calls()
        self.assertTrue(calls)
        for call in calls:
            self.assertEqual(4, len(call), call)
            self.assertEqual([b"-j", jail, service], call[:3], call)


class JailedServiceTest(JailTestCase):

    def test_a_crash_is_restarted_through_service_j(self):
        proc = self.watch("nginx@web1")
        old = self.service_pid("nginx@web1")
        i = self.crash("nginx@web1")
        self.wait_for_log("nginx@web1 was restarted", NOTICE, start=i)
        new = self.service_pid("nginx@web1")
        self.assertIsNotNone(new)
        self.assertNotEqual(old, new)
        self.assertIn([b"-j", b"web1", b"nginx", b"restart"],
                      self.service_calls())
        self.assert_jailed_calls(b"web1", b"nginx")
        # Nothing of the host's sandbox was touched.
        self.assertEqual([], os.listdir(os.path.join(self.rc_dir, "run")))

        # Listed under the full name; the views tell the jail.
        status = self.request(b"status:")
        self.assertIn(b"\n%-40s %d\n" % (b"nginx@web1", new), status)
        r = self.run_kelvctl("status", "-j")
        self.assertEqual(0, r.returncode, r)
        (service,) = json.loads(r.stdout)["services"]
        self.assertEqual(("nginx@web1", "web1", [new]),
                         (service["name"], service["jail"], service["pids"]))
        r = self.run_kelvctl("status", "-m")
        self.assertIn(
            b'\nkelv_service_up{service="nginx@web1",jail="web1"} 1\n',
            r.stdout)
        self.assertIsNone(proc.poll())

    def test_the_same_name_on_the_host_and_in_jails_is_kept_apart(self):
        names = ("nginx", "nginx@web1", "nginx@web2")
        for name in names:
            self.add_service(name, SLEEPER)
        proc = self.start_daemon("-v", "-v")
        r = self.run_kelvctl("enable", *names)
        self.assertEqual((0, (b"Monitoring service.\n" + END) * 3),
                         (r.returncode, r.stdout), r)
        pids = {name: self.service_pid(name) for name in names}
        self.assertEqual(3, len(set(pids.values())), pids)
        self.assertNotIn(None, pids.values())

        # A crash of one restarts that one alone, in its own sandbox.
        for victim in ("nginx@web1", "nginx"):
            with self.subTest(victim=victim):
                self.clear_invocations()
                i = self.crash(victim)
                self.wait_for_log("%s was restarted" % victim, NOTICE, start=i)
                for name in names:
                    now = self.service_pid(name)
                    if name == victim:
                        self.assertNotEqual(pids[name], now)
                        pids[name] = now
                    else:
                        self.assertEqual(pids[name], now, name)
                restarts = [c for c in self.service_calls()
                            if c[-1] == b"restart"]
                self.assertEqual([self.service_argv(victim, "restart")],
                                 restarts)

        status = self.request(b"status:")
        for name in names:
            self.assertIn(b"\n%-40s %d\n" % (name.encode(), pids[name]),
                          status)
        # Disabling one leaves the others watched.
        self.assertEqual(OK + b"Service removed.\n" + END,
                         self.request(b"disable:nginx@web1"))
        status = self.request(b"status:")
        self.assertNotIn(b"nginx@web1", status)
        self.assertIn(b"\nnginx@web2 ", status)
        self.assertIn(b"\nnginx ", status)
        self.assertIsNone(proc.poll())


class AbsentJailTest(JailTestCase):

    def test_enable_in_an_absent_jail_fails_cleanly(self):
        self.add_service("nginx@web9", SLEEPER)
        self.set_jail("web9", running=False)
        self.set_jail("nowhere", running=False)
        proc = self.start_daemon("-v", "-v")
        for name, jail in (("nginx@web9", b"web9"),
                           ("nginx@nowhere", b"nowhere")):
            with self.subTest(name=name):
                self.clear_invocations()
                r = self.run_kelvctl("enable", name)
                self.assertEqual((1, b"Could not start service.\n" + END),
                                 (r.returncode, r.stdout), r)
                self.assert_jailed_calls(jail, b"nginx")
        # Not registered: once the jail is back, enable simply works.
        self.assertNotIn(b"nginx@web9", self.request(b"status:"))
        self.set_jail("web9")
        r = self.run_kelvctl("enable", "nginx@web9")
        self.assertEqual((0, b"Monitoring service.\n" + END),
                         (r.returncode, r.stdout), r)
        self.assertIsNotNone(self.service_pid("nginx@web9"))
        self.assertIsNone(proc.poll())

    def test_a_watched_service_whose_jail_disappears_is_queued(self):
        proc = self.watch("nginx@web1", "nginx")
        host_pid = self.service_pid("nginx")
        self.set_jail("web1", running=False)
        i = self.crash("nginx@web1")
        self.wait_for_log(
            "Service: nginx@web1 could not be restarted. If any retry "
            "attempts exist, a retry will be attempted.", ERR, start=i)
        self.wait_for_log(
            "Service: nginx@web1 was submitted to the restart queue. First "
            "retry in 60 seconds.", NOTICE, start=i)
        self.assertEqual([[b"-j", b"web1", b"nginx", b"restart"]],
                         self.service_calls())
        r = self.run_kelvctl("status", "-j")
        states = {s["name"]: (s["state"], s["jail"])
                  for s in json.loads(r.stdout)["services"]}
        self.assertEqual({"nginx@web1": ("queued", "web1"),
                          "nginx": ("running", None)}, states)
        self.assertEqual(host_pid, self.service_pid("nginx"))
        self.assertIsNone(proc.poll())


class HostileJailTest(JailTestCase):

    # Jail parts that `service` would read as an option or a path, that hold
    # a control byte, or that are empty, and the refusal of each.
    HOSTILE = {
        b"nginx@-R": "its jail would be read as an option",
        b"nginx@--help": "its jail would be read as an option",
        b"nginx@-": "its jail would be read as an option",
        b"nginx@x/y": "it would be read as a path",
        b"nginx@../web1": "it would be read as a path",
        b"nginx@": 'it names no jail after the "@"',
        b"@web1": 'it names no service before the "@"',
        b"@": 'it names no service before the "@"',
        b"-R@web1": "it would be read as an option",
        b"nginx@we\x01b1": "it holds a control character",
        b"nginx@web1\r": "it holds a control character",
    }

    def refusal(self, name):
        shown = name.replace(b"\x01", b"\\001").replace(b"\r", b"\\015")
        return "Refusing service name %s: %s." % (os.fsdecode(shown),
                                                   self.HOSTILE[name])

    def test_hostile_jail_parts_never_reach_service(self):
        self.add_service("nginx@web1", SLEEPER)
        self.add_service("nginx", SLEEPER)
        names = list(self.HOSTILE)
        # Through the configuration file...
        proc = self.start_daemon("-v", "-v", config_lines=names)
        self.wait_for_log("Monitoring processes...", INFO)
        for name in names:
            self.assertIsNotNone(self.find_log(self.refusal(name), ERR),
                                 name)
        # ... and through the control socket.
        start = self.log_mark()
        for name in names:
            with self.subTest(name=name):
                reply = self.request(b"enable:" + name)
                self.assertEqual(FAIL + b"Could not start service.\n" + END,
                                 reply)
                self.assertIsNotNone(
                    self.find_log(self.refusal(name), ERR, start=start))
        self.assertEqual([], self.service_calls())
        self.assertIsNone(self.service_pid("nginx@web1"))
        self.assertIsNone(self.service_pid("nginx"))
        self.assertTrue(self.request(b"status:").endswith(
            b"-" * 50 + b"\n" + END))
        self.assertIsNone(proc.poll())


@unittest.skipUnless(private_mounts_work(),
                     "needs root and private mount namespaces")
class JailConfigFileTest(JailTestCase):
    """kelvctl -w on a private /usr/local/etc of its own."""

    def test_w_writes_and_removes_jailed_lines(self):
        self.add_service("nginx@web1", SLEEPER)
        self.add_service("ntpd@web2", SLEEPER)
        self.start_daemon()
        before = os.path.join(self.tmp, "before")
        after = os.path.join(self.tmp, "after")
        os.makedirs(before)
        os.makedirs(after)
        with open(os.path.join(before, "kelv.conf"), "wb") as f:
            f.write(b"nginx\n")
        body = ("kctl -w enable nginx@web1 ntpd@web2 >/dev/null && "
                "cp /usr/local/etc/kelv.conf \"$AFTER/enabled\" && "
                "kctl -w disable nginx@web1 >/dev/null")
        env = dict(os.environ, KELVCTL=kelvctl_bin(), SOCK=self.socket_path,
                   BEFORE=before, AFTER=after, TMPFS_SIZE="")
        r = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             PRIVATE_ETC_SCRIPT % body], env=env, capture_output=True,
            timeout=120)
        self.assertEqual(0, r.returncode, r)

        def read(name):
            with open(os.path.join(after, name), "rb") as f:
                return f.read()
        self.assertEqual(b"nginx\nnginx@web1\nntpd@web2\n", read("enabled"))
        # Only the whole line of the jailed name goes; the host's stays.
        self.assertEqual(b"nginx\nntpd@web2\n", read("kelv.conf"))
        wait_until(lambda: self.service_pid("ntpd@web2"),
                   message="ntpd@web2 to run")
        self.assertEqual(OK + b"Service removed.\n" + END,
                         self.request(b"disable:ntpd@web2"))


if __name__ == "__main__":
    unittest.main()
