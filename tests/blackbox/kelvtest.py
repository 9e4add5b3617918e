"""Black-box test harness for kelv and kelvctl (Python 3 stdlib only).

Each test of a KelvTestCase gets a private temp dir that holds everything:

    tmp/kelv.sock  kelv.pid  kelv.conf   the daemon's socket, pidfile, config
    tmp/log        syslog capture, lines "PRIORITY<TAB>MESSAGE"
    tmp/bin/service                       the rc stand-in, first on PATH
    tmp/rc/services/NAME/                 sandbox services (see the stand-in)
    tmp/rc/run/NAME.pid                   their PIDs
    tmp/rc/jails/JAIL/services/NAME/      the service NAME@JAIL: NAME in the
    tmp/rc/jails/JAIL/run/NAME.pid        jail JAIL, a sandbox of its own
    tmp/rc/invocations.log                every `service` call the daemon made

The daemon never sees /var/run or /usr/local/etc: start_daemon() always
passes -s, -p and -c into the temp dir. tearDown() always kills every daemon
and service of the test (by pidfile and by a scan of /proc for processes that
carry the test's KELV_RC_DIR) and removes the temp dir.

Environment (set by ctest): KELV_BIN, KELVCTL_BIN, KELV_LOGCAP,
KELV_RC_SERVICE, KELV_SANITIZE.

Service names may be str or bytes everywhere; names read back (invocations())
are str decoded with os.fsdecode, so they compare equal to the str given. A
name NAME@JAIL (split at the last "@") is the service NAME in the jail JAIL
everywhere: add_service, run_service, service_pid ... act in the jail's
sandbox and call the stand-in as `service -j JAIL NAME VERB`.

API (stable; other test files depend on it):
    add_service(name, command="exec sleep 100000", enabled=True, **knobs)
    start_service(name) -> pid          stop_service(name)
    run_service(name, verb, record=False) -> CompletedProcess
    popen_service(name, verb, record=False, **popen_args) -> Popen
    service_pid(name) -> int | None     kill_service(name, sig) -> pid
    invocations() -> [(verb, name)]     clear_invocations()
                                        (a jailed call's name is NAME@JAIL)
    service_calls() -> [[word bytes]]   each call's arguments as `service`
                                        got them, e.g. [b"-j", b"web1",
                                        b"nginx", b"restart"]
    set_jail(jail, running=True)        a jail found, or absent (not running)
    command_pids(name, verb) -> [pid]   a running `service NAME VERB` and
                                        its children (a delay's sleep)
    sandbox_processes() -> {pid: (ppid, [argv bytes])}
    write_config(lines)
    start_daemon(*args, config_lines=None, ready="socket") -> Popen
    run_daemon(*args, config_lines=None, timeout=10) -> CompletedProcess
    stop_daemon(proc, sig=SIGTERM, timeout=10) -> exit status
    daemon_output(proc) -> (stdout bytes, stderr bytes)
    read_pidfile(path=None) -> int | None
    log_lines() -> [(priority, text)]   log_mark() -> int
    wait_for_log(text, priority=None, timeout=10, start=0) -> index
    find_log(text, priority=None, start=0) -> index | None
    request(data, timeout=10, path=None) -> bytes
    run_kelvctl(*args, socket=True, timeout=30) -> CompletedProcess
    wait_until(predicate, timeout=10, interval=0.02, message="")
    process_alive(pid) -> bool          wait_gone(pid, timeout=10)

Module level, for kelvctl against a scripted daemon (no KelvTestCase needed):
    KELVCTL_USAGE                       kelvctl's usage text (bytes)
    FakeDaemon(path, reply, max_connections=None, pause=0.02)
        .requests  .unlinked  .close()  a stand-in control socket, see below
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

END_MARKER = b"\x04"
DEFAULT_SERVICE_COMMAND = "exec sleep 100000"
KELVCTL_USAGE = (b"usage:  kelvctl enable <service> [service ...]\n"
                 b"        kelvctl disable <service> [service ...]\n"
                 b"        kelvctl shutdown\n"
                 b"        kelvctl status\n"
                 b"\n"
                 b"options:\n"
                 b"        -V   Print out version.\n"
                 b"        -s S Use socket S instead of the default.\n"
                 b"        -w   Write the status change to kelv.conf\n")
KNOBS = ("restart_status", "restart_delay", "restart_output", "keep_stdout",
         "no_pid", "status_delay", "status_extra", "status_exit")


def env_path(var, default=None):
    value = os.environ.get(var, default)
    if not value:
        raise RuntimeError(
            "%s is not set: run the black-box tests through ctest" % var)
    return value


def kelv_bin():
    return env_path("KELV_BIN")


def kelvctl_bin():
    return env_path("KELVCTL_BIN")


def rc_service_script():
    return env_path("KELV_RC_SERVICE",
                    os.path.join(REPO, "platform", "linux", "rc", "service"))


def _b(value):
    """str or bytes -> bytes (str through the file system encoding)."""
    return value if isinstance(value, bytes) else os.fsencode(value)


def split_name(name):
    """NAME@JAIL -> (NAME, JAIL) as bytes, split at the last "@"; a name
    without "@" -> (name, None)."""
    name = _b(name)
    service, at, jail = name.rpartition(b"@")
    return (service, jail) if at else (name, None)


def process_alive(pid):
    """True when pid names a process that is neither gone nor a zombie."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rfind(b")") + 2:][:1] != b"Z"


def wait_until(predicate, timeout=10.0, interval=0.02, message=""):
    """Polls predicate until it returns a true value, which is returned.
    Raises AssertionError after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1fs waiting for %s" %
                                 (timeout, message or predicate))
        time.sleep(interval)


def wait_gone(pid, timeout=10.0):
    wait_until(lambda: not process_alive(pid), timeout,
               message="process %d to end" % pid)


class FakeDaemon:
    """A stand-in daemon: a Unix socket bound at path, served by a thread.

    Each connection is read once (up to 2047 bytes, one request) and that
    request is appended to requests; the connection then gets the pieces
    reply(request) returns, each sent alone with pause seconds before every
    piece but the first (0: no pause, pieces may arrive together), or is
    closed without a byte when reply returns None. A reader that hangs up
    early ends the reply.

    With max_connections, the socket is closed and its path removed once
    that many connections came, before the last one is answered, so the
    next connect surely fails: a daemon that went away. unlinked tells
    whether the path is gone.

    close() stops the thread and removes the path, freeing it for another
    stand-in; it may be called more than once."""

    def __init__(self, path, reply, max_connections=None, pause=0.02):
        self.path = path
        self.reply = reply
        self.max_connections = max_connections
        self.pause = pause
        self.requests = []
        self.unlinked = False
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(path)
        self.sock.listen(64)
        self.sock.settimeout(0.05)
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with conn:
                conn.settimeout(10)
                data = conn.recv(2047)
                self.requests.append(data)
                last = self.max_connections is not None and \
                    len(self.requests) >= self.max_connections
                if last:
                    self._close_listener()
                for i, piece in enumerate(self.reply(data) or []):
                    if i and self.pause:
                        time.sleep(self.pause)
                    try:
                        conn.sendall(piece)
                    except OSError:
                        break
            if last:
                return

    def _close_listener(self):
        self.sock.close()
        if self.unlinked:
            return
        self.unlinked = True
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    def close(self):
        self.stopping = True
        self.thread.join(5)
        self._close_listener()


def _unquote_bash(line):
    """Splits one line written with bash's printf %q into its words (bytes)."""
    words, i, n = [], 0, len(line)
    simple = {ord("a"): 7, ord("b"): 8, ord("e"): 27, ord("E"): 27,
              ord("f"): 12, ord("n"): 10, ord("r"): 13, ord("t"): 9,
              ord("v"): 11}
    while i < n:
        while i < n and line[i] in b" \t":
            i += 1
        if i >= n:
            break
        word = bytearray()
        while i < n and line[i] not in b" \t":
            if line.startswith(b"$'", i):
                i += 2
                while i < n and line[i] != ord("'"):
                    if line[i] == ord("\\") and i + 1 < n:
                        c = line[i + 1]
                        if c in simple:
                            word.append(simple[c])
                            i += 2
                        elif c == ord("x"):
                            j = i + 2
                            while j < n and j < i + 4 and \
                                    chr(line[j]) in "0123456789abcdefABCDEF":
                                j += 1
                            word.append(int(line[i + 2:j], 16))
                            i = j
                        elif ord("0") <= c <= ord("7"):
                            j = i + 1
                            while j < n and j < i + 4 and \
                                    ord("0") <= line[j] <= ord("7"):
                                j += 1
                            word.append(int(line[i + 1:j], 8) & 0xff)
                            i = j
                        else:
                            word.append(c)
                            i += 2
                    else:
                        word.append(line[i])
                        i += 1
                i += 1
            elif line[i] == ord("'"):
                j = line.index(b"'", i + 1)
                word += line[i + 1:j]
                i = j + 1
            elif line[i] == ord("\\") and i + 1 < n:
                word.append(line[i + 1])
                i += 2
            else:
                word.append(line[i])
                i += 1
        words.append(bytes(word))
    return words


class KelvTestCase(unittest.TestCase):
    """Base class: a sandbox per test, torn down whatever happens."""

    def setUp(self):
        super().setUp()
        self._setup_ticks = int(time.clock_gettime(time.CLOCK_BOOTTIME) *
                                os.sysconf("SC_CLK_TCK"))
        self.tmp = tempfile.mkdtemp(prefix="kelv-")
        self.addCleanup(self._cleanup)
        self.rc_dir = os.path.join(self.tmp, "rc")
        self.bin_dir = os.path.join(self.tmp, "bin")
        for d in (self.bin_dir, os.path.join(self.rc_dir, "services"),
                  os.path.join(self.rc_dir, "run")):
            os.makedirs(d)
        os.symlink(rc_service_script(), os.path.join(self.bin_dir, "service"))
        self.socket_path = os.path.join(self.tmp, "kelv.sock")
        self.pidfile_path = os.path.join(self.tmp, "kelv.pid")
        self.config_path = os.path.join(self.tmp, "kelv.conf")
        self.log_path = os.path.join(self.tmp, "log")
        self.invocations_path = os.path.join(self.rc_dir, "invocations.log")
        self._daemons = []
        self._outputs = 0

    # -- environment ---------------------------------------------------------

    def daemon_env(self, **extra):
        """The environment the daemon (and the stand-in under it) runs in."""
        env = dict(os.environ)
        env["PATH"] = self.bin_dir + os.pathsep + env.get("PATH",
                                                           "/usr/bin:/bin")
        env["KELV_RC_DIR"] = self.rc_dir
        env["KELV_LOG_CAPTURE"] = self.log_path
        logcap = env_path("KELV_LOGCAP")
        env["LD_PRELOAD"] = (logcap + " " + env["LD_PRELOAD"]
                             if env.get("LD_PRELOAD") else logcap)
        if os.environ.get("KELV_SANITIZE"):
            # Our preload comes before the sanitizer runtime.
            opts = env.get("ASAN_OPTIONS", "")
            env["ASAN_OPTIONS"] = ((opts + ":") if opts else "") + \
                "verify_asan_link_order=0"
            # ThreadSanitizer sleeps a second at exit by default, which would
            # read as a daemon that takes its time to end.
            opts = env.get("TSAN_OPTIONS", "")
            env["TSAN_OPTIONS"] = ((opts + ":") if opts else "") + \
                "atexit_sleep_ms=0"
        env.update(extra)
        return env

    # -- sandbox services ----------------------------------------------------

    def sandbox_dir(self, name):
        """The stand-in's sandbox of the service: the host's, or its jail's."""
        jail = split_name(name)[1]
        if jail is None:
            return _b(self.rc_dir)
        return os.path.join(_b(self.rc_dir), b"jails", jail)

    def service_dir(self, name):
        return os.path.join(self.sandbox_dir(name), b"services",
                            split_name(name)[0])

    def set_jail(self, jail, running=True):
        """Makes the jail exist and run, or be absent: every command for its
        services then fails as for a jail that is not found. Its services'
        processes are left alone (kill them as a jail's end would)."""
        d = os.path.join(_b(self.rc_dir), b"jails", _b(jail))
        os.makedirs(os.path.join(d, b"services"), exist_ok=True)
        absent = os.path.join(d, b"absent")
        if running:
            if os.path.exists(absent):
                os.unlink(absent)
        else:
            open(absent, "wb").close()

    @staticmethod
    def service_argv(name, verb):
        """The words after `service` for NAME VERB, as kelv passes them."""
        service, jail = split_name(name)
        head = [] if jail is None else [b"-j", jail]
        return head + [service, _b(verb)]

    def add_service(self, name, command=DEFAULT_SERVICE_COMMAND, enabled=True,
                    **knobs):
        """Defines a sandbox service; NAME@JAIL defines NAME in the jail JAIL,
        which then exists and runs. Knobs (see the stand-in for the details):
            restart_status  restart exits with this status, starts nothing
            restart_delay   seconds restart sleeps first (large: it hangs)
            restart_output  text restart prints first
            keep_stdout     (True) what restart/start launches keeps the
                            command's standard output, so its reader sees no
                            end of file while the service runs
            no_pid          (True) onestatus: running, without a PID
            status_delay    seconds onestatus sleeps first (large: it hangs)
            status_extra    text onestatus prints first
            status_exit     exit status of onestatus
        The delays sleep in a child process, in the command's process group.
        A value of True makes an empty file, None removes the knob."""
        d = self.service_dir(name)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, b"command"), "wb") as f:
            f.write(_b(command))
        self.set_enabled(name, enabled)
        self.set_knobs(name, **knobs)

    def set_enabled(self, name, enabled=True):
        path = os.path.join(self.service_dir(name), b"enabled")
        if enabled:
            open(path, "wb").close()
        elif os.path.exists(path):
            os.unlink(path)

    def set_knobs(self, name, **knobs):
        for knob, value in knobs.items():
            if knob not in KNOBS:
                raise ValueError("unknown stand-in knob: %s" % knob)
            path = os.path.join(self.service_dir(name), _b(knob))
            if value is None:
                if os.path.exists(path):
                    os.unlink(path)
                continue
            with open(path, "wb") as f:
                if value is not True:
                    f.write(_b(str(value)) if isinstance(value, int)
                            else _b(value))

    def _service_env(self, record):
        env = self.daemon_env()
        env.pop("LD_PRELOAD", None)
        if not record:
            env["KELV_RC_NO_LOG"] = "1"
        return env

    def run_service(self, name, verb, record=False):
        """Runs the stand-in as `service NAME VERB` in the temp dir, recorded
        in the invocations log only when record is true. Returns the
        CompletedProcess (bytes output). Not for a keep_stdout service: its
        output would not end while the service runs."""
        return subprocess.run([rc_service_script()] +
                              self.service_argv(name, verb),
                              env=self._service_env(record), cwd=self.tmp,
                              stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=60)

    def popen_service(self, name, verb, record=False, **popen_args):
        """Starts `service NAME VERB` as run_service() runs it and returns the
        Popen; popen_args go to Popen. Waited for (killed first if still
        running) at clean-up."""
        proc = subprocess.Popen([rc_service_script()] +
                                self.service_argv(name, verb),
                                env=self._service_env(record), cwd=self.tmp,
                                stdin=subprocess.DEVNULL, **popen_args)
        self.addCleanup(self._reap, proc)
        return proc

    @staticmethod
    def _reap(proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait(10)
        for stream in (proc.stdout, proc.stderr):
            if stream:
                stream.close()

    def start_service(self, name):
        """(Re)starts a service through the stand-in; returns its PID."""
        r = self.run_service(name, "onerestart")
        self.assertEqual(r.returncode, 0, r)
        pid = self.service_pid(name)
        self.assertIsNotNone(pid, "service %r did not start" % (name,))
        return pid

    def stop_service(self, name):
        self.run_service(name, "onestop")

    def service_pid(self, name):
        """The live PID of a service (from its pidfile), or None."""
        path = os.path.join(self.sandbox_dir(name), b"run",
                            split_name(name)[0] + b".pid")
        try:
            with open(path, "rb") as f:
                pid = int(f.read().strip() or b"0")
        except (OSError, ValueError):
            return None
        return pid if pid > 0 and process_alive(pid) else None

    def kill_service(self, name, sig=signal.SIGTERM):
        """Sends sig to the service's process; returns its PID."""
        pid = self.service_pid(name)
        self.assertIsNotNone(pid, "service %r is not running" % (name,))
        os.kill(pid, sig)
        return pid

    def _logged_calls(self):
        """Each logged call as its words: VERB NAME [-j JAIL] [MORE...]."""
        try:
            with open(self.invocations_path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return []
        calls = []
        for line in data.split(b"\n"):
            if not line:
                continue
            words = _unquote_bash(line)
            while len(words) < 2:
                words.append(b"")
            calls.append(words)
        return calls

    def invocations(self):
        """Every `service` call made so far (run_service only with record), as
        [(verb, name)] with str values; a call in a jail has the name
        NAME@JAIL."""
        calls = []
        for words in self._logged_calls():
            name = words[1]
            if len(words) >= 4 and words[2] == b"-j":
                name += b"@" + words[3]
            calls.append((os.fsdecode(words[0]), os.fsdecode(name)))
        return calls

    def service_calls(self):
        """Every `service` call made so far, as the list of the words the
        stand-in was given (bytes), in their order on its command line."""
        calls = []
        for words in self._logged_calls():
            verb, name, rest = words[0], words[1], words[2:]
            head = []
            if len(rest) >= 2 and rest[0] == b"-j":
                head, rest = rest[:2], rest[2:]
            calls.append(head + [name, verb] + rest)
        return calls

    def clear_invocations(self):
        if os.path.exists(self.invocations_path):
            os.unlink(self.invocations_path)

    def sandbox_processes(self):
        """Every live process of this test (see _in_sandbox) as
        {pid: (ppid, argv)}, argv a list of bytes."""
        found = {}
        for pid in self._sandbox_pids():
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv = f.read().split(b"\0")[:-1]
                with open("/proc/%d/stat" % pid, "rb") as f:
                    stat = f.read()
            except OSError:
                continue  # gone while we looked
            found[pid] = (int(stat[stat.rfind(b")") + 2:].split()[1]), argv)
        return found

    def command_pids(self, name, verb):
        """The PIDs of the running stand-in commands `service NAME VERB` of
        this test (whoever started them) and of their children, such as the
        sleep of a delay knob; sorted, commands first."""
        procs = self.sandbox_processes()
        want = self.service_argv(name, verb)
        commands = sorted(
            pid for pid, (_, argv) in procs.items()
            if len(argv) == len(want) + 2 and
            os.path.basename(argv[1]) == b"service" and argv[2:] == want)
        children = sorted(pid for pid, (ppid, _) in procs.items()
                          if ppid in commands)
        return commands + children

    # -- the daemon ----------------------------------------------------------

    def write_config(self, lines, path=None):
        """Writes the configuration file: one line per name (str or bytes),
        each ended by "\\n". A bytes argument is written as it is."""
        data = lines if isinstance(lines, bytes) else \
            b"".join(_b(line) + b"\n" for line in lines)
        with open(path or self.config_path, "wb") as f:
            f.write(data)

    def daemon_args(self, *extra_args):
        return [kelv_bin(), "-s", self.socket_path, "-p", self.pidfile_path,
                "-c", self.config_path] + list(extra_args)

    def _output_files(self):
        self._outputs += 1
        return (os.path.join(self.tmp, "daemon%d.out" % self._outputs),
                os.path.join(self.tmp, "daemon%d.err" % self._outputs))

    def start_daemon(self, *extra_args, config_lines=None, ready="socket",
                     timeout=15):
        """Starts kelv -s SOCK -p PIDFILE -c CONF EXTRA_ARGS (a later option
        overrides these). config_lines, when given, is written first.

        ready: "socket" waits for the socket file (the control server is up;
        the start-up pass may still run: wait_for_log("Monitoring
        processes...") for that), "started" waits for "Starting ..." in the
        log, "pidfile" for a PID in the pidfile, None does not wait. Waiting
        ends early when the launched process exits, except with -d, whose
        launcher exits at once.

        Returns the Popen; its stdout and stderr go to files, read them with
        daemon_output()."""
        if config_lines is not None:
            self.write_config(config_lines)
        # Marked before the spawn: a quick "Starting ..." must not fall
        # before the mark.
        start = self.log_mark()
        out_path, err_path = self._output_files()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(self.daemon_args(*extra_args),
                                    env=self.daemon_env(),
                                    stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, start_new_session=True)
        proc.out_path, proc.err_path = out_path, err_path
        self._daemons.append(proc)
        detached = "-d" in extra_args

        def is_ready():
            if not detached and proc.poll() is not None:
                return True
            if ready == "socket":
                return os.path.exists(self.socket_path)
            if ready == "started":
                return self.find_log("Starting ...", 5, start) is not None
            if ready == "pidfile":
                return self.read_pidfile() is not None
            return True

        if ready:
            wait_until(is_ready, timeout, message="kelv to be ready (%s)" %
                       ready)
        return proc

    def run_daemon(self, *extra_args, config_lines=None, timeout=10):
        """Runs kelv with the sandbox options for a case that should end by
        itself (usage errors, refusals). Returns the CompletedProcess with
        bytes stdout and stderr."""
        if config_lines is not None:
            self.write_config(config_lines)
        try:
            return subprocess.run(self.daemon_args(*extra_args),
                                  env=self.daemon_env(),
                                  stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=timeout,
                                  start_new_session=True)
        except subprocess.TimeoutExpired as e:
            raise AssertionError("kelv %r did not exit: %r" % (extra_args, e))

    def daemon_output(self, proc):
        """(stdout, stderr) bytes written so far by a start_daemon() proc."""
        with open(proc.out_path, "rb") as out, open(proc.err_path, "rb") as err:
            return out.read(), err.read()

    def stop_daemon(self, proc, sig=signal.SIGTERM, timeout=10):
        """Sends sig to a foreground daemon and returns its exit status."""
        if proc.poll() is None:
            proc.send_signal(sig)
        return proc.wait(timeout)

    def read_pidfile(self, path=None):
        try:
            with open(path or self.pidfile_path, "rb") as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return None

    # -- the log -------------------------------------------------------------

    def log_lines(self):
        """Every captured syslog message as [(priority, text)]."""
        try:
            with open(self.log_path, "rb") as f:
                data = f.read()
        except FileNotFoundError:
            return []
        lines = []
        for raw in data.split(b"\n"):
            if b"\t" not in raw:
                continue
            pri, _, text = raw.partition(b"\t")
            text = (text.replace(b"\\\\", b"\0").replace(b"\\n", b"\n")
                    .replace(b"\\r", b"\r").replace(b"\0", b"\\"))
            lines.append((int(pri), os.fsdecode(text)))
        return lines

    def log_mark(self):
        """The number of log lines so far: a start for find/wait_for_log."""
        return len(self.log_lines())

    def find_log(self, text, priority=None, start=0):
        """Index of the first line from start whose text equals text (and
        whose priority equals priority, when given), or None."""
        for i, (pri, line) in enumerate(self.log_lines()[start:], start):
            if line == text and (priority is None or pri == priority):
                return i
        return None

    def wait_for_log(self, text, priority=None, timeout=10.0, start=0):
        """Polls the log for find_log(text, priority, start); returns its
        index. Fails the test with the log so far on timeout."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.find_log(text, priority, start)
            if found is not None:
                return found
            if time.monotonic() >= deadline:
                self.fail("log line %r (priority %s) not seen within %.1fs; "
                          "log: %r" % (text, priority, timeout,
                                       self.log_lines()))
            time.sleep(0.02)

    # -- the control socket --------------------------------------------------

    def request(self, data, timeout=10.0, path=None):
        """Sends data on a new connection to the daemon's socket and returns
        every byte received until a piece ends with 0x04 or the daemon
        closes the connection."""
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(path or self.socket_path)
            if data:
                s.sendall(data)
            reply = b""
            while True:
                piece = s.recv(65536)
                if not piece:
                    break
                reply += piece
                if piece.endswith(END_MARKER):
                    break
            return reply

    def run_kelvctl(self, *args, socket=True, timeout=30):
        """Runs kelvctl [-s SOCK] ARGS; returns the CompletedProcess (bytes)."""
        argv = [kelvctl_bin()] + (["-s", self.socket_path] if socket else [])
        argv += list(args)
        env = self.daemon_env()
        return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)

    # -- clean-up ------------------------------------------------------------

    def _in_sandbox(self, pid):
        """Whether a live process belongs to this test: it carries the test's
        KELV_RC_DIR (its daemons, also detached ones, and every service they
        or the test started), or, while an exec hides its environment, it is
        our child or an orphan landed on the reaper and started after setUp.
        An unrelated process that reuses a recorded PID is neither."""
        if not process_alive(pid):
            return False
        marker = b"\0KELV_RC_DIR=" + _b(self.rc_dir) + b"\0"
        try:
            with open("/proc/%d/environ" % pid, "rb") as f:
                environ = f.read()
            with open("/proc/%d/stat" % pid, "rb") as f:
                stat = f.read()
        except OSError:
            return False
        if environ:
            return marker in b"\0" + environ + b"\0"
        fields = stat[stat.rfind(b")") + 2:].split()
        return int(fields[1]) in (os.getpid(), os.getppid()) and \
            int(fields[19]) >= self._setup_ticks

    def _sandbox_pids(self):
        return [int(e) for e in os.listdir("/proc") if e.isdigit() and
                int(e) != os.getpid() and self._in_sandbox(int(e))]

    def _kill(self, *targets):
        for target in targets:
            try:
                os.kill(target, signal.SIGKILL)
            except OSError:
                pass

    def _cleanup(self):
        for proc in self._daemons:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(5)
        pid = self.read_pidfile()
        if pid and self._in_sandbox(pid):
            self._kill(pid)
        run_dirs = [os.path.join(self.rc_dir, "run")]
        jails = os.path.join(self.rc_dir, "jails")
        if os.path.isdir(jails):
            run_dirs += [os.path.join(jails, jail, "run")
                         for jail in os.listdir(jails)]
        for run_dir in run_dirs:
            if not os.path.isdir(run_dir):
                continue
            for entry in os.listdir(run_dir):
                pid = self.read_pidfile(os.path.join(run_dir, entry))
                if pid and self._in_sandbox(pid):
                    self._kill(-pid, pid)  # its session's group, or itself
        # Until a few scans in a row come up empty: a service may be between
        # fork and exec, or in an exec, at the moment of one scan.
        quiet = 0
        for _ in range(500):
            pids = self._sandbox_pids()
            self._kill(*pids)
            quiet = 0 if pids else quiet + 1
            if quiet == 3:
                break
            time.sleep(0.02)
        shutil.rmtree(self.tmp, ignore_errors=True)
