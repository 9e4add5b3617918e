"""etc/rc.d/kelv under a stub rc.subr(8) (stubs/): the stale-pidfile clean-up
before a start, what kelv is started with, and `status`.

The script is copied with /etc/rc.subr and /usr/local/sbin/ pointing at the
stubs. pgrep and logger are stubs first on PATH; the stub kelv refuses any
file at its pidfile path, as the daemon does.
  KELV_RC_SCRIPT  the script (default: etc/rc.d/kelv of this tree)
  KELV_POSIX_SH   the shell to run it with (default: sh)
"""

import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

HERE = pathlib.Path(__file__).resolve().parent
STUBS = HERE / "stubs"
SCRIPT = pathlib.Path(
    os.environ.get("KELV_RC_SCRIPT", HERE.parent.parent / "etc/rc.d/kelv"))
SH = os.environ.get("KELV_POSIX_SH", "sh")


class RcScriptTest(unittest.TestCase):

    def setUp(self):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="kelv-rcd."))
        self.addCleanup(shutil.rmtree, self.dir)
        text = SCRIPT.read_text()
        self.assertEqual(1, text.count(". /etc/rc.subr\n"))
        self.assertIn("/usr/local/sbin/", text)
        text = text.replace(". /etc/rc.subr\n", f". {STUBS}/rc.subr\n")
        text = text.replace("/usr/local/sbin/", f"{STUBS}/")
        self.script = self.dir / "kelv"
        self.script.write_text(text)
        self.pidfile = self.dir / "kelv.pid"
        self.config = self.dir / "kelv.conf"
        self.config.write_text("sshd\n")
        self.log = self.dir / "stub.log"
        self.rc_conf = self.dir / "rc.conf"
        self.rc_conf.write_text(f'kelv_enable="YES"\n'
                                f'kelv_pidfile="{self.pidfile}"\n'
                                f'kelv_config="{self.config}"\n')

    def run_script(self, arg):
        env = dict(os.environ, PATH=f"{STUBS}:{os.environ['PATH']}",
                   RC_CONF=str(self.rc_conf), KELV_STUB_LOG=str(self.log))
        return subprocess.run([SH, str(self.script), arg], env=env,
                              capture_output=True, text=True, timeout=30)

    def calls(self, program):
        if not self.log.exists():
            return []
        return [line.split(" ", 1)[1] for line in self.log.read_text().split("\n")
                if line.startswith(program + " ")]

    def spawn(self, argv, **env):
        """A process in a group of its own, ended with the test."""
        proc = subprocess.Popen(argv, env=dict(os.environ, **env),
                                start_new_session=True)

        def end():
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        self.addCleanup(end)
        return proc

    def wait_for_pid_in(self, path, pid):
        for _ in range(200):
            if path.exists() and path.read_text().strip() == str(pid):
                return
            time.sleep(0.05)
        self.fail(f"{path} never held {pid}")

    def hold_pidfile_with_kelv(self):
        """A running kelv (by name): holds the pidfile locked."""
        proc = self.spawn([str(STUBS / "kelv")], KELV_STUB_HOLD=str(self.pidfile))
        self.wait_for_pid_in(self.pidfile, proc.pid)
        return proc

    def dead_pid(self):
        proc = subprocess.Popen(["true"])
        proc.wait()
        return proc.pid

    def test_syntax(self):
        for shell in {SH, "sh"}:
            result = subprocess.run([shell, "-n", str(SCRIPT)],
                                    capture_output=True, text=True)
            self.assertEqual(0, result.returncode, f"{shell}: {result.stderr}")

    def test_start_over_each_pidfile(self):
        """The fixtures: no file, stale files, files held by live processes."""
        def no_file():
            return None

        def stale_dead_pid():
            self.pidfile.write_text(f"{self.dead_pid()}\n")

        def stale_empty():  # died between creating the file and writing it
            self.pidfile.write_text("")

        def stale_pid_reused():  # the PID now belongs to another process
            self.pidfile.write_text(f"{os.getpid()}\n")

        def held_by_other_process():  # rc.subr's name check misses it
            proc = self.spawn(["flock", "-x", str(self.pidfile), "sleep", "60"])
            for _ in range(200):
                if subprocess.run(["flock", "-n", str(self.pidfile), "true"]
                                  ).returncode != 0:
                    break
                time.sleep(0.05)
            self.pidfile.write_text(f"{proc.pid}\n")

        cases = [
            # fixture, starts kelv, removes and logs the file
            (no_file, True, False),
            (stale_dead_pid, True, True),
            (stale_empty, True, True),
            (stale_pid_reused, True, True),
            (held_by_other_process, False, False),
            (self.hold_pidfile_with_kelv, False, False),
        ]
        for fixture, starts, removes in cases:
            with self.subTest(fixture.__name__):
                self.log.unlink(missing_ok=True)
                self.pidfile.unlink(missing_ok=True)
                fixture()
                before = (self.pidfile.read_text()
                          if self.pidfile.exists() else None)
                result = self.run_script("start")
                out = result.stdout + result.stderr
                self.assertEqual(0 if starts else 1, result.returncode, out)
                expected = ([f"-d -p {self.pidfile} -c {self.config}"]
                            if starts else [])
                self.assertEqual(expected, self.calls("kelv"), out)
                logged = [c for c in self.calls("logger") if "stale" in c]
                if removes:
                    message = (f"removed stale pidfile {self.pidfile}: "
                               "no running process holds it")
                    self.assertEqual([f"-s -t kelv {message}"], logged)
                    self.assertIn(message, result.stderr)
                else:
                    self.assertEqual([], logged, out)
                if not starts:
                    self.assertEqual(before, self.pidfile.read_text(), out)
                    self.assertIn("running", out)

    def test_flags_config_and_required_file(self):
        with open(self.rc_conf, "a") as f:
            f.write('kelv_flags="-v -v"\n')
        result = self.run_script("start")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual([f"-v -v -d -p {self.pidfile} -c {self.config}"],
                         self.calls("kelv"))

        self.log.unlink()
        self.config.unlink()
        result = self.run_script("start")
        self.assertNotEqual(0, result.returncode)
        self.assertIn(f"{self.config} is not readable", result.stderr)
        self.assertEqual([], self.calls("kelv"))

    def test_disabled_by_default(self):
        self.rc_conf.write_text(f'kelv_pidfile="{self.pidfile}"\n'
                                f'kelv_config="{self.config}"\n')
        result = self.run_script("start")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertIn("Set kelv_enable to YES", result.stdout)
        self.assertEqual([], self.calls("kelv"))
        result = self.run_script("onestart")
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(1, len(self.calls("kelv")))

    def test_status(self):
        result = self.run_script("status")
        self.assertEqual((1, "kelv is not running.\n"),
                         (result.returncode, result.stdout))
        self.assertEqual([], self.calls("kelvctl"))

        proc = self.hold_pidfile_with_kelv()
        result = self.run_script("status")
        self.assertEqual(
            (0, f"kelv is running as pid {proc.pid}.\nsshd 1234\n"),
            (result.returncode, result.stdout), result.stderr)
        self.assertEqual(["status"], self.calls("kelvctl"))


if __name__ == "__main__":
    unittest.main()
