#!/usr/bin/env python3
"""The kelv benchmark suite: runs every measurement side by side and prints
one markdown table. Run it through bench/run.sh, which builds what it needs
and starts it under the tests' subreaper (orphaned services are reaped the
moment they die, as by a real init).

Everything lives in one temp dir and is removed at the end:

    tmp/bin/service        -> service_fast, first on the daemon's PATH
    tmp/rc/run/NAME.pid    the sleepers' PIDs
    tmp/stamps             service_fast's CLOCK_MONOTONIC stamps
    tmp/logN               the daemon's log, stamped by logstamp.so
    tmp/kelv.sock, kelv.pid, kelv.conf

Timings come from CLOCK_MONOTONIC stamps taken where things happen (our
kill, service_fast's main and its sleeper's exec, the daemon's syslog call),
never from polling, so the harness's own pace does not show in them.

Environment: KELV_BIN, KELVCTL_BIN, KELV_BENCH_HELPERS (the dir holding
service_fast, cmd_timer and logstamp.so).
"""

import argparse
import datetime
import os
import platform
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
NS_PER_MS = 1_000_000

# A SIGSEGV death less than a second after kelv's own restart of the service
# counts towards its crash-loop throttle; no kill loop here comes that close.
RESTART_SPACING_NS = 1_200_000_000
# Services the restart loops kill in turn, so that the spacing above costs
# little waiting.
RESTART_NAMES = 40
# (label, program): peer supervisors, each run on one service directory.
PEERS = (("runsv (runit)", "runsv"), ("supervise (daemontools)", "supervise"),
         ("s6-supervise (s6)", "s6-supervise"))


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def percentile(values, p):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * p // 100))  # ceil
    return ordered[int(rank) - 1]


def spread(values_ns):
    """(p50, p90, p99, max) in ms."""
    return tuple(percentile(values_ns, p) / NS_PER_MS for p in (50, 90, 99,
                                                                  100))


def fmt_spread(values_ns):
    if not values_ns:
        return "no samples"
    p50, p90, p99, top = spread(values_ns)
    return "p50 %.2f · p90 %.2f · p99 %.2f · max %.2f ms (n=%d)" % (
        p50, p90, p99, top, len(values_ns))


def process_alive(pid):
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rfind(b")") + 2:][:1] != b"Z"


def wait_until(predicate, timeout, message, interval=0.002):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise RuntimeError("timed out after %.0f s waiting for %s" %
                               (timeout, message))
        time.sleep(interval)


class Tail:
    """Reads a growing file of lines; parse(line) -> record or None."""

    def __init__(self, path, parse):
        self.path, self.parse = path, parse
        self.offset, self.partial, self.records = 0, b"", []

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return self.records
        self.offset += len(data)
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        for line in lines:
            record = self.parse(line)
            if record is not None:
                self.records.append(record)
        return self.records


def parse_log(line):
    """logstamp line -> (ns, priority, text)."""
    parts = line.split(b"\t", 2)
    if len(parts) != 3:
        return None
    return int(parts[0]), int(parts[1]), os.fsdecode(parts[2])


def parse_stamp(line):
    """service_fast line -> (name, verb, start_ns, end_ns); exec: end=start."""
    words = line.split()
    if len(words) == 3:
        return os.fsdecode(words[0]), "exec", int(words[2]), int(words[2])
    if len(words) == 4:
        return (os.fsdecode(words[0]), os.fsdecode(words[1]), int(words[2]),
                int(words[3]))
    return None


class Daemon:
    def __init__(self, bench, proc, log_path):
        self.bench, self.proc = bench, proc
        self.log = Tail(log_path, parse_log)
        self.pid = proc.pid

    def find(self, text, since=0, start=0):
        """First log record from index start with this text at or after
        since (ns), with its index; or None."""
        records = self.log.poll()
        for i in range(start, len(records)):
            if records[i][2] == text and records[i][0] >= since:
                return i, records[i]
        return None

    def wait_log(self, text, timeout, since=0, start=0):
        def check():
            if self.proc.poll() is not None:
                raise RuntimeError("kelv ended (status %s) while waiting for "
                                   "%r" % (self.proc.returncode, text))
            return self.find(text, since, start)
        return wait_until(check, timeout, "log line %r" % text)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)

    # -- /proc -----------------------------------------------------------

    def memory_kib(self):
        values = {}
        with open("/proc/%d/smaps_rollup" % self.pid) as f:
            for line in f:
                key, _, rest = line.partition(":")
                if key in ("Rss", "Pss", "Private_Clean", "Private_Dirty"):
                    values[key] = int(rest.split()[0])
        return (values["Rss"], values["Pss"],
                values["Private_Clean"] + values["Private_Dirty"])

    def cpu_ns(self):
        """Time on a CPU of every live thread (schedstat), ns."""
        total = 0
        task_dir = "/proc/%d/task" % self.pid
        for tid in os.listdir(task_dir):
            try:
                with open("%s/%s/schedstat" % (task_dir, tid)) as f:
                    total += int(f.read().split()[0])
            except OSError:
                continue
        return total

    def io_calls(self):
        """read- and write-type system calls so far (/proc/PID/io)."""
        calls = 0
        with open("/proc/%d/io" % self.pid) as f:
            for line in f:
                if line.startswith(("syscr:", "syscw:")):
                    calls += int(line.split()[1])
        return calls

    def tasks(self):
        """{tid: (cpu ticks, context switches)} for every thread."""
        found = {}
        task_dir = "/proc/%d/task" % self.pid
        for tid in os.listdir(task_dir):
            try:
                with open("%s/%s/stat" % (task_dir, tid), "rb") as f:
                    stat = f.read()
                with open("%s/%s/status" % (task_dir, tid)) as f:
                    status = f.read()
            except OSError:
                continue
            fields = stat[stat.rfind(b")") + 2:].split()
            ticks = int(fields[11]) + int(fields[12])  # utime + stime
            switches = 0
            for line in status.splitlines():
                if line.startswith(("voluntary_ctxt_switches",
                                    "nonvoluntary_ctxt_switches")):
                    switches += int(line.split()[1])
            found[tid] = (ticks, switches)
        return found


class Bench:
    def __init__(self, args):
        self.args = args
        self.kelv = os.environ["KELV_BIN"]
        self.kelvctl = os.environ["KELVCTL_BIN"]
        helpers = os.environ["KELV_BENCH_HELPERS"]
        self.service_fast = os.path.join(helpers, "service_fast")
        self.cmd_timer = os.path.join(helpers, "cmd_timer")
        self.logstamp = os.path.join(helpers, "logstamp.so")
        self.tmp = tempfile.mkdtemp(prefix="kelv-bench-")
        self.rc_dir = os.path.join(self.tmp, "rc")
        self.bin_dir = os.path.join(self.tmp, "bin")
        os.makedirs(os.path.join(self.rc_dir, "run"))
        os.makedirs(self.bin_dir)
        os.symlink(self.service_fast, os.path.join(self.bin_dir, "service"))
        self.stamps_path = os.path.join(self.tmp, "stamps")
        self.stamps = Tail(self.stamps_path, parse_stamp)
        self.socket_path = os.path.join(self.tmp, "kelv.sock")
        self.pidfile_path = os.path.join(self.tmp, "kelv.pid")
        self.config_path = os.path.join(self.tmp, "kelv.conf")
        self.daemons = []
        self.rows = []
        self.targets = []
        self.peer_rows = []
        self.onestatus_alone = []

    # -- environment -----------------------------------------------------

    def env(self, preload=False):
        env = dict(os.environ)
        env["PATH"] = self.bin_dir + os.pathsep + env.get("PATH",
                                                           "/usr/bin:/bin")
        env["KELV_RC_DIR"] = self.rc_dir
        env["KELV_BENCH_STAMPS"] = self.stamps_path
        env.pop("LD_PRELOAD", None)
        if preload:
            env["LD_PRELOAD"] = self.logstamp
        return env

    def row(self, area, measure, result, target=""):
        self.rows.append((area, measure, result, target))
        print("  %s / %s: %s" % (area, measure, result), file=sys.stderr,
              flush=True)

    def target(self, what, result, met):
        self.targets.append((what, result, "yes" if met else "**no**"))

    # -- services and daemons --------------------------------------------

    def start_services(self, prefix, count):
        if count == 0:
            return
        subprocess.run([self.service_fast, "--start-many", prefix, "0",
                        str(count)], env=self.env(), check=True)

    def service_pid(self, name):
        try:
            with open(os.path.join(self.rc_dir, "run", name + ".pid")) as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return None

    def start_daemon(self, names, timeout):
        """Starts kelv -v over a config of names and waits for the end of
        its start-up pass. Returns (daemon, pass ns)."""
        for path in (self.socket_path, self.pidfile_path):
            if os.path.exists(path):
                os.unlink(path)
        with open(self.config_path, "w") as f:
            f.write("".join(name + "\n" for name in names))
        env = self.env(preload=True)
        log_path = os.path.join(self.tmp, "log%d" % len(self.daemons))
        env["KELV_LOG_CAPTURE"] = log_path
        proc = subprocess.Popen(
            [self.kelv, "-v", "-s", self.socket_path, "-p", self.pidfile_path,
             "-c", self.config_path], env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, start_new_session=True)
        daemon = Daemon(self, proc, log_path)
        self.daemons.append(daemon)
        _, started = daemon.wait_log("Starting ...", 10)
        _, ready = daemon.wait_log("Monitoring processes...", timeout)
        time.sleep(0.2)  # the pass is over; let the main thread reach kevent
        daemon.pass_cpu = daemon.cpu_ns()
        daemon.pass_window = (started[0], ready[0])
        if any(r[2].startswith("process-events connector unavailable")
               for r in daemon.log.records):
            raise RuntimeError("the process-events connector is unavailable "
                               "(run as root, outside a PID namespace)")
        return daemon, ready[0] - started[0]

    def time_command(self, argv, reps=1, crash_pidfile=None):
        """cmd_timer: [(ns, status)] for argv run reps times."""
        cmd = [self.cmd_timer]
        if crash_pidfile:
            cmd += ["-k", crash_pidfile]
        cmd += [str(reps)] + list(argv)
        out = subprocess.run(cmd, env=self.env(), capture_output=True,
                             check=True).stdout.decode()
        return [tuple(int(v) for v in line.split())
                for line in out.splitlines()]

    def mean_onestatus(self):
        """Mean cost of one `service NAME onestatus`, ns."""
        if not self.onestatus_alone:
            self.start_services("alone", 1)
            self.onestatus_alone = [ns for ns, _ in self.time_command(
                ["service", "alone0", "onestatus"], 50)]
        return sum(self.onestatus_alone) / len(self.onestatus_alone)

    def stamps_since(self, since, name=None, verb=None):
        return [s for s in self.stamps.poll() if s[2] >= since and
                (name is None or s[0] == name) and
                (verb is None or s[1] == verb)]

    # -- 1. the immediate restart path -----------------------------------

    def restart_loop(self, daemon, names, kills, paired=False):
        """Kills the processes of names in turn with SIGSEGV, kills times in
        all, each time waiting until the daemon watches the new one. A name
        is killed again only once its last restart is over a second old: a
        death sooner than that counts towards the crash-loop throttle, which
        would send the sixth in a row to the retry queue. Returns lists of ns
        by measure; with paired, also times the same restart and onestatus
        of the unwatched service alone0 after each kill."""
        alone_pidfile = os.path.join(self.rc_dir, "run", "alone0.pid")
        got = {k: [] for k in ("seen", "start", "probe", "share", "exec",
                               "watched", "own", "restart_alone",
                               "onestatus_alone")}
        restarted_at = {}
        cpu_ns = 0
        for i in range(kills):
            name = names[i % len(names)]
            last = restarted_at.get(name)
            if last is not None:
                wait = last + RESTART_SPACING_NS - now_ns()
                if wait > 0:
                    time.sleep(wait / 1e9)
            pid = self.service_pid(name)
            start_index = len(daemon.log.poll())
            cpu_before = daemon.cpu_ns()
            t_kill = now_ns()
            os.kill(pid, signal.SIGSEGV)
            _, (t_watched, _, _) = daemon.wait_log(name + " was restarted", 10,
                                                   t_kill, start_index)
            cpu_ns += daemon.cpu_ns() - cpu_before
            restarted_at[name] = t_watched
            _, (t_seen, _, _) = daemon.wait_log(
                "%s caught signal %d and exited" % (name, signal.SIGSEGV), 1,
                t_kill, start_index)
            restart = self.stamps_since(t_kill, name, "restart")[0]
            # The new instance may stamp its exec after the probe has seen it.
            execed = wait_until(
                lambda: self.stamps_since(t_kill, name, "exec"), 5,
                "%s's new instance" % name)[0]
            status = self.stamps_since(restart[3], name, "onestatus")[0]
            got["seen"].append(t_seen - t_kill)
            # kelv's own share: kill -> the restart command runs, and the
            # restart command's exit -> the PID probe runs (main's first
            # stamp; service_fast is static, so exec -> main is a few us).
            got["start"].append(restart[2] - t_kill)
            got["probe"].append(status[2] - restart[3])
            got["share"].append(got["start"][-1] + got["probe"][-1])
            got["exec"].append(execed[2] - t_kill)
            got["watched"].append(t_watched - t_kill)
            # What is left once both commands' own run (main to exit) is
            # taken out: detection, spawning, reading, registering, logging.
            got["own"].append((t_watched - t_kill) - (restart[3] - restart[2]) -
                              (status[3] - status[2]))
            if paired:
                # The same commands with nobody watching, paired in time.
                got["restart_alone"] += [ns for ns, _ in self.time_command(
                    ["service", "alone0", "restart"], 1, alone_pidfile)]
                got["onestatus_alone"] += [ns for ns, _ in self.time_command(
                    ["service", "alone0", "onestatus"], 1)]
        got["cpu"] = cpu_ns / kills
        return got

    def share_rows(self, area, got):
        self.row(area, "kill → `service NAME restart` runs (main)",
                 fmt_spread(got["start"]))
        self.row(area, "restart command's exit → PID probe runs (main)",
                 fmt_spread(got["probe"]))
        p50, _, p99, _ = spread(got["share"])
        met = p50 <= 0.5 and p99 <= 2
        self.row(area, "kelv's own share of the restart (sum of the two)",
                 fmt_spread(got["share"]), "p50 ≤ 0.5 ms, p99 ≤ 2 ms")
        self.target("kelv's own share of an immediate restart "
                    "(%s): p50 ≤ 0.5 ms, p99 ≤ 2 ms" % area.split(" (")[0],
                    "p50 %.2f ms, p99 %.2f ms" % (p50, p99), met)

    def bench_restart(self):
        kills = self.args.kills
        names = ["lat%d" % i for i in range(RESTART_NAMES)]
        self.start_services("lat", RESTART_NAMES)
        self.start_services("alone", 1)
        daemon, _ = self.start_daemon(names, 30)
        got = self.restart_loop(daemon, names, kills, paired=True)
        daemon.stop()
        self.kill_services("lat")
        self.onestatus_alone += got["onestatus_alone"]
        self.lat_to_exec = got["exec"]

        area = "Immediate restart (SIGSEGV, %d kills)" % kills
        self.row(area, "kill → exit logged (\"NAME caught signal 11 ...\")",
                 fmt_spread(got["seen"]))
        self.share_rows(area, got)
        self.row(area, "kill → new instance exec'd", fmt_spread(got["exec"]))
        self.row(area, "kill → new PID watched (\"NAME was restarted\")",
                 fmt_spread(got["watched"]))
        self.row(area, "`service NAME restart` alone (spawn → reaped; design)",
                 fmt_spread(got["restart_alone"]))
        self.row(area, "`service NAME onestatus` alone, the PID probe (spawn "
                 "→ reaped; design)", fmt_spread(got["onestatus_alone"]))
        self.row(area, "kill → watched minus both commands' main-to-exit "
                 "(their spawn, exec and exit stay in)", fmt_spread(got["own"]))
        self.row(area, "daemon CPU time per restart (all its threads)",
                 "%.3f ms" % (got["cpu"] / NS_PER_MS))

    def restart_among(self, daemon, count):
        """The immediate path again, with count other services watched."""
        kills = max(20, self.args.kills // 4)
        names = ["s%d_%d" % (count, i) for i in range(min(RESTART_NAMES,
                                                          count))]
        got = self.restart_loop(daemon, names, kills)
        area = "Immediate restart among %d watched (%d kills)" % (count, kills)
        self.share_rows(area, got)
        self.row(area, "kill → new PID watched", fmt_spread(got["watched"]))
        self.row(area, "daemon CPU time per restart (all its threads)",
                 "%.3f ms" % (got["cpu"] / NS_PER_MS))

    # -- 5. the peers ----------------------------------------------------

    def bench_peers(self):
        for label, program in PEERS:
            self.peer(label, program)
        kelv = spread(self.lat_to_exec)
        self.peer_rows.insert(0, ("kelv (`service_fast` as rc(8))",
                                  self.lat_to_exec, kelv))

    def peer(self, label, program):
        """kill -> new instance exec'd under one peer supervisor, which runs
        ./run (service_fast as "run": stamps, then execs the sleeper)."""
        found = shutil.which(program)
        if not found:
            self.peer_rows.append((label, None, None))
            return
        sv_dir = os.path.join(self.tmp, "sv", program)
        os.makedirs(sv_dir)
        os.symlink(self.service_fast, os.path.join(sv_dir, "run"))
        proc = subprocess.Popen([found, sv_dir], env=self.env(),
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL,
                                start_new_session=True)

        def child():
            """The supervisor's one child, the service, once it runs."""
            try:
                with open("/proc/%d/task/%d/children" % (proc.pid,
                                                         proc.pid)) as f:
                    pids = [int(p) for p in f.read().split()]
            except OSError:
                return None
            live = [p for p in pids if process_alive(p)]
            return live[0] if len(live) == 1 else None

        samples = []
        try:
            pid = wait_until(child, 10, "%s to start its service" % program)
            for _ in range(self.args.peer_kills):
                # Every instance runs for over a second: these supervisors
                # hold back a service that fails faster.
                time.sleep(RESTART_SPACING_NS / 1e9)
                t_kill = now_ns()
                os.kill(pid, signal.SIGSEGV)
                stamp = wait_until(
                    lambda: self.stamps_since(t_kill, program, "exec"), 10,
                    "%s to restart its service" % program)[0]
                samples.append(stamp[2] - t_kill)
                old = pid
                pid = wait_until(lambda: (p := child()) and p != old and p, 10,
                                 "%s's new child" % program)
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(5)
            if process_alive(pid):
                os.kill(pid, signal.SIGKILL)
        self.peer_rows.append((label, samples, spread(samples)))

    # -- 2, 3, 4: daemons with many services ------------------------------

    def idle_cost(self, daemon, count):
        """Context switches, time on a CPU (schedstat, ns) and read/write
        calls (/proc/PID/io) over the window: a thread that never ran made
        no system call. strace would end the epoll wait it attaches to."""
        window = self.args.idle_seconds
        time.sleep(1)  # let the last start-up work settle
        before = daemon.tasks()
        cpu0, io0 = daemon.cpu_ns(), daemon.io_calls()
        time.sleep(window)
        after = daemon.tasks()
        cpu, io = daemon.cpu_ns() - cpu0, daemon.io_calls() - io0
        switches = 0
        for tid, (_, s1) in after.items():
            switches += s1 - before.get(tid, (0, 0))[1]
        area = "Idle, %d services (%d s window)" % (count, window)
        self.row(area, "wake-ups (context switches, all threads)",
                 "%d (%d threads)" % (switches, len(after)), "0")
        self.row(area, "time on a CPU (schedstat, all threads); read/write "
                 "calls (/proc/PID/io)", "%d ns; %d" % (cpu, io), "0")
        if count == 1000:
            self.target("Idle with 1,000 services: 0 wake-ups, 0 system "
                        "calls in %d s" % window,
                        "%d context switches, %d ns on a CPU" % (switches,
                                                                 cpu),
                        switches == 0 and cpu == 0)

    def status_round_trip(self, count):
        reps = self.args.status_reps
        out = subprocess.run([self.kelvctl, "-s", self.socket_path, "status"],
                             env=self.env(), capture_output=True, check=True)
        listed = out.stdout.count(b"\n") - 3  # pid line, heading, rule
        if listed != count:
            raise RuntimeError("status listed %d services, not %d" %
                               (listed, count))
        samples = [ns for ns, status in self.time_command(
            [self.kelvctl, "-s", self.socket_path, "status"], reps)]
        raw = self.socket_round_trips(b"status", reps)
        detail = self.socket_round_trips(b"detail:", reps)
        area = "Control, %d services" % count
        big = count >= 10000
        self.row(area, "`kelvctl status` round trip (spawn → reaped)",
                 fmt_spread(samples), "≤ 20 ms at 10,000" if big else "")
        self.row(area, "`status` on the socket alone (connect → 0x04)",
                 fmt_spread(raw), "≤ 10 ms at 10,000" if big else "")
        self.row(area, "`detail` listing on the socket (connect → 0x04)",
                 fmt_spread(detail) if detail else "not answered",
                 "≤ 20 ms at 10,000" if big else "")
        if big:
            for what, values, limit in (
                    ("`status` on the socket", raw, 10),
                    ("`kelvctl status`", samples, 20),
                    ("`detail` on the socket", detail, 20)):
                p50 = percentile(values, 50) / NS_PER_MS if values else 0
                self.target("%s at %d services ≤ %d ms" % (what, count, limit),
                            "p50 %.1f ms" % p50, values and p50 <= limit)

    def socket_round_trips(self, request, reps):
        """ns from connect to the end marker, reps times; [] if the daemon
        closes without one (a request word it does not know)."""
        samples = []
        for _ in range(reps):
            t0 = now_ns()
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.connect(self.socket_path)
                s.sendall(request)
                while True:
                    piece = s.recv(1 << 20)
                    if not piece:
                        return []
                    if piece.endswith(b"\x04"):
                        break
            samples.append(now_ns() - t0)
        return samples

    def enable_disable(self, daemon):
        count = self.args.enable_count
        names = ["en%d" % i for i in range(count)]
        self.start_services("en", count)
        area = "Control: enable/disable %d services" % count
        for verb in ("enable", "disable"):
            t0 = now_ns()
            cpu0 = daemon.cpu_ns()
            result = self.time_command([self.kelvctl, "-s", self.socket_path,
                                        verb] + names)
            cpu = daemon.cpu_ns() - cpu0
            elapsed, status = result[0]
            if status != 0:
                raise RuntimeError("kelvctl %s failed: %d" % (verb, status))
            commands = len([s for s in self.stamps_since(t0)
                            if s[0].startswith("en") and s[1] != "exec"])
            self.row(area, "`kelvctl %s` of %d names (one connection each)" %
                     (verb, count),
                     "%.0f /s (%.2f ms each; %d `service` calls; daemon CPU "
                     "%.3f ms each)" % (
                         count * 1e9 / elapsed, elapsed / count / NS_PER_MS,
                         commands, cpu / count / NS_PER_MS))

    def startup_row(self, daemon, count, baseline_cpu):
        """baseline_cpu: what a daemon with an empty list had spent by the
        end of its (empty) pass: start-up itself."""
        first, last = daemon.pass_window
        pass_ns = last - first
        commands = [s for s in self.stamps_since(first)
                    if s[1] != "exec" and s[3] <= last]
        mean_status = self.mean_onestatus()
        cpu = daemon.pass_cpu - baseline_cpu
        self.row("Start-up pass, %d names" % count,
                 "pass time (\"Starting ...\" → \"Monitoring processes...\")",
                 "%.0f ms (%.2f ms a name); %d `service` calls, ≈ %.0f ms "
                 "alone; daemon CPU %.0f ms (%.3f ms a name)" % (
                     pass_ns / NS_PER_MS, pass_ns / count / NS_PER_MS,
                     len(commands), len(commands) * mean_status / NS_PER_MS,
                     cpu / NS_PER_MS, cpu / count / NS_PER_MS))

    def bench_sizes(self):
        baseline = None
        for count in self.args.sizes:
            prefix = "s%d_" % count
            self.start_services(prefix, count)
            names = [prefix + str(i) for i in range(count)]
            daemon, _ = self.start_daemon(names, 60 + count * 0.05)
            time.sleep(0.5)
            rss, pss, private = daemon.memory_kib()
            if baseline is None:
                baseline = (rss, pss, private)
                baseline_cpu = daemon.pass_cpu if count == 0 else 0
            area = "Memory, %d services" % count
            limit = {1000: 2, 10000: 6}.get(count)
            target = "PSS ≤ %d MiB" % limit if limit else ""
            if limit:
                self.target("PSS at %d services ≤ %d MiB" % (count, limit),
                            "%.2f MiB (RSS %.2f MiB)" % (pss / 1024,
                                                         rss / 1024),
                            pss <= limit * 1024)
            per = ""
            if count and self.args.sizes[0] == 0:
                per = "; per service: RSS %.2f, private %.2f KiB" % (
                    (rss - baseline[0]) / count,
                    (private - baseline[2]) / count)
            self.row(area, "RSS / PSS / private (smaps_rollup)",
                     "%.2f / %.2f / %.2f MiB%s" % (
                         rss / 1024, pss / 1024, private / 1024, per), target)
            if count:
                self.startup_row(daemon, count, baseline_cpu)
            if count in (100, 1000) and not self.args.no_idle:
                self.idle_cost(daemon, count)
            if count in (10, 1000, 10000):
                self.status_round_trip(count)
            if count == 10:
                self.enable_disable(daemon)
            if count == 1000:
                self.restart_among(daemon, count)
                self.crash_all(daemon, names)
                self.exit_events(daemon, names)
            daemon.stop()
            self.kill_services(prefix)

    # -- 6. many exits at once -------------------------------------------

    def crash_all(self, daemon, names):
        """Every service killed once with SIGSEGV, all at once: the immediate
        path for each. Each must log "NAME was restarted"."""
        pids = [self.service_pid(name) for name in names]
        start_index = len(daemon.log.poll())
        cpu0 = daemon.cpu_ns()
        t0 = now_ns()
        for pid in pids:
            os.kill(pid, signal.SIGSEGV)
        t1 = now_ns()
        wanted = {name + " was restarted" for name in names}

        def restarted():
            return {r[2] for r in daemon.log.poll()[start_index:]
                    if r[2] in wanted}

        try:
            wait_until(lambda: len(restarted()) >= len(names),
                       60 + len(names) * 0.1, "every restart", 0.05)
        except RuntimeError:
            pass
        done = [r for r in daemon.log.records[start_index:] if r[2] in wanted]
        last = max((r[0] for r in done), default=t1)
        cpu = daemon.cpu_ns() - cpu0
        count = len({r[2] for r in done})
        running = sum(1 for name in names if (p := self.service_pid(name))
                      and process_alive(p))
        area = "%d services killed at once (SIGSEGV, immediate restart)" % (
            len(names))
        self.row(area, "restarted (\"NAME was restarted\") / lost",
                 "%d / %d" % (count, len(names) - count), "none lost")
        self.row(area, "first kill → last restart",
                 "%.0f ms (%.2f ms a service; kills took %.1f ms; daemon "
                 "CPU %.3f ms a service)" % (
                     (last - t0) / NS_PER_MS, (last - t0) / len(names) /
                     NS_PER_MS, (t1 - t0) / NS_PER_MS,
                     cpu / len(names) / NS_PER_MS))
        self.row(area, "services running afterwards", "%d of %d" % (
            running, len(names)))
        self.target("%d watched processes killed at once: every one "
                    "restarted" % len(names),
                    "%d of %d restarted, last after %.0f ms" % (
                        count, len(names), (last - t0) / NS_PER_MS),
                    count == len(names))

    def exit_events(self, daemon, names):
        pids = [self.service_pid(name) for name in names]
        start_index = len(daemon.log.poll())
        t0 = now_ns()
        for pid in pids:
            os.kill(pid, signal.SIGTERM)
        t1 = now_ns()
        wanted = {name + " waiting for restart." for name in names}

        def all_logged():
            seen = [r for r in daemon.log.poll()[start_index:]
                    if r[2] in wanted]
            return seen if len(seen) >= len(names) else None
        try:
            seen = wait_until(all_logged, 60, "every waiter", 0.05)
        except RuntimeError:
            seen = [r for r in daemon.log.poll()[start_index:]
                    if r[2] in wanted]
        logged = {r[2] for r in seen}
        last = max((r[0] for r in seen), default=t1)
        exits = {name + " caught signal %d and exited" % signal.SIGTERM
                 for name in names}
        first_exit = min((r[0] for r in daemon.log.records[start_index:]
                          if r[2] in exits), default=t1)
        # The waiters' first polls run `service NAME onestatus` under the
        # one lock, so the loop and the waiters take turns.
        waiter_polls = len([s for s in self.stamps_since(t0)
                            if s[1] == "onestatus" and s[3] <= last])
        area = "Exit events: %d services killed at once (SIGTERM)" % len(names)
        self.row(area, "events handled per second (first kill → last "
                 "\"waiting for restart.\")",
                 "%.0f /s (%.0f ms in all; kills took %.1f ms)" % (
                     len(logged) * 1e9 / (last - t0), (last - t0) / NS_PER_MS,
                     (t1 - t0) / NS_PER_MS))
        self.row(area, "first exit logged after the first kill; "
                 "`service NAME onestatus` runs by the waiters meanwhile",
                 "%.1f ms; %d runs" % ((first_exit - t0) / NS_PER_MS,
                                       waiter_polls))
        self.row(area, "lost exit events", "%d of %d" % (
            len(names) - len(logged), len(names)), "0")

    # -- clean-up ----------------------------------------------------------

    def kill_services(self, prefix=None):
        run_dir = os.path.join(self.rc_dir, "run")
        for entry in os.listdir(run_dir):
            if prefix and not entry.startswith(prefix):
                continue
            pid = self.service_pid(entry[:-len(".pid")])
            if pid and self.ours(pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            os.unlink(os.path.join(run_dir, entry))

    def ours(self, pid):
        marker = b"\0KELV_RC_DIR=" + os.fsencode(self.rc_dir) + b"\0"
        try:
            with open("/proc/%d/environ" % pid, "rb") as f:
                return marker in b"\0" + f.read() + b"\0"
        except OSError:
            return False

    def cleanup(self):
        for daemon in self.daemons:
            daemon.stop()
        self.kill_services()
        quiet = 0
        for _ in range(200):
            pids = [int(e) for e in os.listdir("/proc") if e.isdigit() and
                    int(e) != os.getpid() and self.ours(int(e))]
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            quiet = 0 if pids else quiet + 1
            if quiet == 3:
                break
            time.sleep(0.05)
        shutil.rmtree(self.tmp, ignore_errors=True)

    # -- report ------------------------------------------------------------

    def machine(self):
        cpu = "unknown"
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            mem_kib = int(f.readline().split()[1])
        return "nproc %d · %.1f GiB · Linux %s · CPU \"%s\"" % (
            os.cpu_count(), mem_kib / 1024 / 1024, platform.release(), cpu)

    def report(self, started, load_before):
        mode = "quick" if self.args.quick else "full"
        options = " ".join(sys.argv[1:])
        print("## Run of `bench/run.sh%s` (%s mode)" % (
            " " + options if options else "", mode))
        print()
        print("- Date: %s UTC; took %.0f s" % (
            datetime.datetime.now(datetime.timezone.utc).strftime(
                "%Y-%m-%d %H:%M"), time.monotonic() - started))
        print("- Machine: %s" % self.machine())
        print("- Load average (1 min) at the start / end: %.2f / %.2f" % (
            load_before, os.getloadavg()[0]))
        print()
        print("| Area | Measure | Result | Target |")
        print("|---|---|---|---|")
        for row in self.rows:
            print("| %s |" % " | ".join(c.replace("|", "\\|") for c in row))
        if self.peer_rows:
            print()
            print("### Peers: kill (SIGSEGV) → new process exec'd, same run")
            print()
            print("| Supervisor | p50 | p90 | p99 | max | n | "
                  "kelv ÷ peer at p50 |")
            print("|---|---|---|---|---|---|---|")
            kelv_p50 = self.peer_rows[0][2][0]
            for label, samples, sp in self.peer_rows:
                if sp is None:
                    print("| %s | not installed (`bench/run.sh --peers` "
                          "installs it) | | | | | |" % label)
                    continue
                print("| %s | %.2f ms | %.2f ms | %.2f ms | %.2f ms | %d | "
                      "×%.2f |" % (label, *sp, len(samples), kelv_p50 / sp[0]))
            print()
            print("s6-supervise holds every restart back by about a second "
                  "(its own pacing, seen after SIGSEGV and SIGTERM alike, "
                  "however long the instance ran); runsv and supervise "
                  "restart at once.")
        if self.targets:
            print()
            print("### Targets")
            print()
            print("| Target | Result | Met? |")
            print("|---|---|---|")
            for row in self.targets:
                print("| %s |" % " | ".join(row))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="short windows and fewer repetitions")
    parser.add_argument("--idle-seconds", type=int)
    parser.add_argument("--no-idle", action="store_true",
                        help="skip the idle windows")
    parser.add_argument("--kills", type=int)
    parser.add_argument("--sizes", type=lambda s: [int(v) for v in
                                                   s.split(",")],
                        default=[0, 10, 100, 1000, 10000])
    parser.add_argument("--sections", type=lambda s: s.split(","),
                        default=["restart", "sizes"],
                        help="any of restart,peers,sizes (default: "
                        "restart,sizes; --peers adds peers)")
    parser.add_argument("--peers", action="store_true",
                        help="also measure runsv, supervise and s6-supervise")
    args = parser.parse_args()
    if args.peers and "peers" not in args.sections:
        args.sections.append("peers")
    quick = args.quick
    args.idle_seconds = args.idle_seconds or (10 if quick else 60)
    args.kills = args.kills or (100 if quick else 200)
    args.peer_kills = 10 if quick else 50
    args.status_reps = 20 if quick else 100
    args.enable_count = 100 if quick else 500
    if os.geteuid() != 0:
        sys.exit("kelvbench: run as root: the immediate path needs the "
                 "process-events connector")

    bench = Bench(args)
    started = time.monotonic()
    load_before = os.getloadavg()[0]
    try:
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, lambda *_: sys.exit(130))
        if "restart" in args.sections or "peers" in args.sections:
            bench.bench_restart()
        if "peers" in args.sections:
            bench.bench_peers()
        if "sizes" in args.sections:
            bench.bench_sizes()
    finally:
        bench.cleanup()
    bench.report(started, load_before)


if __name__ == "__main__":
    main()
