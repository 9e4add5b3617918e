#!/usr/bin/env python3
"""Crash-loop benchmark: a service that crashes (SIGSEGV) 50 ms after every
start, watched by kelv for a fixed window (20 s). Reports the restarts kelv
ran and the CPU time spent, for kelv and optionally beside a second kelv
binary (--baseline-bin, e.g. one built without the crash throttle), as rows
of a markdown table.

The service runs under the rc(8) stand-in platform/linux/rc/service, whose
`command` file holds its shell command line. Each kelv runs under a
subreaper of its own (the tests' reaper), so the orphaned service processes
land on it; when kelv has ended, the reaper's resource usage covers kelv,
every command it ran and every service process. kelv's own share (its
threads and the `service` commands it reaped) is read from /proc before it
is stopped.

    bench/crash_loop.py [--seconds S] [--baseline-bin PATH]

Environment: KELV_BIN; KELV_REAPER (default: tests/reaper beside KELV_BIN's
build); KELV_BENCH_HELPERS for logstamp.so (optional: without it kelv's log
goes to syslog and only the `service` calls are counted).
"""

import argparse
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
RC_SERVICE = os.path.join(REPO, "platform", "linux", "rc", "service")
CRASHER = "ulimit -c 0; sleep 0.05; kill -SEGV $$"
CLK_TCK = os.sysconf("SC_CLK_TCK")


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for %s" % what)
        time.sleep(0.01)


def proc_cpu_seconds(pid):
    """(own, reaped children) CPU seconds of a live process."""
    with open("/proc/%d/stat" % pid, "rb") as f:
        stat = f.read()
    fields = stat[stat.rfind(b")") + 2:].split()
    utime, stime, cutime, cstime = (int(v) for v in fields[11:15])
    return (utime + stime) / CLK_TCK, (cutime + cstime) / CLK_TCK


def run_one(kelv, reaper, seconds):
    """Watches the crashing service for `seconds`; returns a dict."""
    tmp = tempfile.mkdtemp(prefix="kelv-crashloop-")
    try:
        rc_dir = os.path.join(tmp, "rc")
        svc = os.path.join(rc_dir, "services", "loop")
        os.makedirs(svc)
        os.makedirs(os.path.join(rc_dir, "run"))
        with open(os.path.join(svc, "command"), "w") as f:
            f.write(CRASHER)
        open(os.path.join(svc, "enabled"), "w").close()
        bin_dir = os.path.join(tmp, "bin")
        os.makedirs(bin_dir)
        os.symlink(RC_SERVICE, os.path.join(bin_dir, "service"))
        sock = os.path.join(tmp, "kelv.sock")
        pidfile = os.path.join(tmp, "kelv.pid")
        conf = os.path.join(tmp, "kelv.conf")
        open(conf, "w").close()
        log = os.path.join(tmp, "log")

        env = dict(os.environ)
        env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "/usr/bin:/bin")
        env["KELV_RC_DIR"] = rc_dir
        env.pop("LD_PRELOAD", None)
        command = [kelv, "-v", "-s", sock, "-p", pidfile, "-c", conf]
        helpers = os.environ.get("KELV_BENCH_HELPERS")
        logstamp = helpers and os.path.join(helpers, "logstamp.so")
        if logstamp and os.path.exists(logstamp):
            # Preloaded into kelv alone, not into the reaper: the shim takes
            # itself out of the environment of what it is loaded into.
            command = ["/usr/bin/env", "LD_PRELOAD=" + logstamp] + command
            env["KELV_LOG_CAPTURE"] = log

        proc = subprocess.Popen(
            [reaper] + command,
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            start_new_session=True)
        try:
            wait_until(lambda: os.path.exists(sock) and
                       os.path.exists(pidfile) and
                       os.path.getsize(pidfile) > 0, 10, "kelv to start")
            with open(pidfile) as f:
                kelv_pid = int(f.read())
            start = time.monotonic()
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
                s.connect(sock)
                s.sendall(b"enable:loop")
                reply = b""
                while not reply.endswith(b"\x04"):
                    piece = s.recv(4096)
                    if not piece:
                        break
                    reply += piece
            if not reply.startswith(b"\x00"):
                raise RuntimeError("enable:loop: %r" % reply)
            time.sleep(max(0.0, start + seconds - time.monotonic()))
            own, children = proc_cpu_seconds(kelv_pid)
            proc.send_signal(signal.SIGTERM)  # passed on to kelv
            _, _, usage = os.wait4(proc.pid, 0)
            proc.returncode = 0
        finally:
            if proc.returncode is None:
                proc.kill()
                proc.wait()

        with open(os.path.join(rc_dir, "invocations.log")) as f:
            calls = [line.split() for line in f]
        lines = 0
        if os.path.exists(log):
            with open(log, "rb") as f:
                lines = sum(1 for _ in f)
        # The first `service loop restart` is enable's start.
        return {
            "restarts": sum(1 for c in calls if c == ["restart", "loop"]) - 1,
            "calls": len(calls),
            "log_lines": lines,
            "kelv_cpu": own + children,
            "tree_cpu": usage.ru_utime + usage.ru_stime,
        }
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--baseline-bin",
                        help="a second kelv to measure the same way")
    parser.add_argument("--baseline-name", default="without the throttle")
    args = parser.parse_args()
    kelv = os.environ["KELV_BIN"]
    reaper = os.environ.get("KELV_REAPER") or os.path.join(
        os.path.dirname(kelv), "tests", "reaper")
    runs = [("kelv", kelv)]
    if args.baseline_bin:
        runs.append(("kelv " + args.baseline_name, args.baseline_bin))
    area = "Crash loop (SIGSEGV 50 ms after every start, %.0f s)" % \
        args.seconds
    rows = []
    for label, binary in runs:
        print("  crash loop: %s ..." % label, file=sys.stderr, flush=True)
        got = run_one(binary, reaper, args.seconds)
        log = "; %d log lines" % got["log_lines"] if got["log_lines"] else ""
        rows.append((area, "%s: restarts" % label,
                     "%d (%d `service` calls%s)" % (got["restarts"],
                                                   got["calls"], log)))
        rows.append((area, "%s: CPU time, kelv + the commands it ran" % label,
                     "%.0f ms" % (got["kelv_cpu"] * 1000)))
        rows.append((area, "%s: CPU time, with the service processes" % label,
                     "%.0f ms" % (got["tree_cpu"] * 1000)))
    print("| Area | Measure | Result | Target |")
    print("|---|---|---|---|")
    for area_, measure, result in rows:
        print("| %s | %s | %s |  |" % (area_, measure, result))


if __name__ == "__main__":
    main()
