"""Soak under faults: dozens of services killed at random (SIGSEGV, SIGTERM,
SIGKILL, non-zero exits) while client threads enable, disable and list them
concurrently. Afterwards, and after a settle phase, the daemon must be alive
and quick to answer, watch exactly the enabled services at the PIDs rc(8)
reports, and hold no zombie, descriptor or thread it did not hold before.

An exit by a stop signal or with a status sends the daemon's restart waiter
polling for up to about 70 s; as an rc system would, the test brings such a
service back itself ("by another hand") and lets the waiter pick it up. An
enabled service is faulted only while the daemon watches it at its current
PID, so the settle phase converges within a waiter poll or two; it is bounded
at 90 s.

KELV_SOAK_SECONDS sets the length of the fault phase (default 60),
KELV_SOAK_SEED the seed of the faults and requests (printed on failure; the
timing still varies from run to run).
"""

import os
import random
import re
import select
import signal
import socket
import sys
import threading
import time
import traceback
import unittest

from kelvtest import KelvTestCase, process_alive, wait_until

ERR, NOTICE, INFO = 3, 5, 6

SERVICES = ["svc%02d" % i for i in range(30)]
CLIENT_THREADS = 4
FAULT_THREADS = 2
# A service that lives until a signal; SIGUSR2 makes it exit with a random
# non-zero status after a short random sleep. No core files from SIGSEGV.
SERVICE_COMMAND = (
    "ulimit -c 0\n"
    "trap 'sleep 0.$((RANDOM % 4)); exit $((RANDOM % 120 + 1))' USR2\n"
    "while :; do sleep 2 & wait $!; done\n")
FAULTS = (signal.SIGSEGV, signal.SIGTERM, signal.SIGKILL, signal.SIGUSR2)
# After a SIGSEGV the daemon restarts the service by itself: nobody else
# touches it for this long.
RESTART_QUIET_SECONDS = 3.0
# After an exit or a stop, half the time the service is left alone long
# enough for a waiter's poll (every 10 s) to find our restart by hand;
# otherwise an enable/disable may race the waiter.
WAITER_QUIET_SECONDS = 12.0
# A crash within a second of the daemon's own restart counts towards its
# crash throttle; the soak crashes only processes that have run longer. The
# restart completes a little after the process starts (the PID probe comes
# first, slower under the sanitizers), so the age has a wide margin.
CRASH_AFTER_SECONDS = 2.5
SETTLE_TIMEOUT = 90.0
# Messages that mean the daemon lost track of something.
BAD_LOG_PREFIXES = ("kevent:", "Registering kq event failed", "popen failed",
                    "Could not monitor service", "Could not get PIDS",
                    "could not be scheduled", "Received broken pipe.",
                    "asprintf", "send", "receiving from client failed")

ROW = re.compile(rb"^(\S+) +(-?\d+)$")
RUNNING = re.compile(rb"^(\S+) is running as pid (\d+)\.$")


def process_age(pid):
    """Seconds since pid started (its start time in /proc/PID/stat counts
    clock ticks since boot); 0 when it cannot be read."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            stat = f.read()
    except OSError:
        return 0.0
    started = int(stat[stat.rfind(b")") + 2:].split()[19])
    return time.clock_gettime(time.CLOCK_BOOTTIME) - \
        started / os.sysconf("SC_CLK_TCK")


def proc_status_field(pid, field):
    with open("/proc/%d/status" % pid, "rb") as f:
        for line in f:
            if line.startswith(field.encode() + b":"):
                return line.split()[1]
    raise KeyError(field)


def descriptors(pid):
    """(other descriptors, [PIDs named by pidfds]) of a process."""
    others, targets = 0, []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            if link != "anon_inode:[pidfd]":
                others += 1
                continue
            with open("/proc/%d/fdinfo/%s" % (pid, fd), "rb") as f:
                for line in f:
                    if line.startswith(b"Pid:"):
                        targets.append(int(line.split()[1]))
        except OSError:
            continue  # closed while we looked
    return others, sorted(targets)


def threads(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def zombie_children(pid):
    zombies = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(b")") + 2:].split()
        if fields[0] == b"Z" and int(fields[1]) == pid:
            zombies.append(int(entry))
    return zombies


class ServiceSlot:
    """The test's view of one service. `lock` is held by whoever acts on it
    (a fault or an enable/disable) so actors do not race each other; the
    daemon is never held back by it."""

    def __init__(self, name):
        self.name = name
        self.lock = threading.Lock()
        self.enabled = True
        self.quiet_until = 0.0


class SoakTest(KelvTestCase):

    def setUp(self):
        super().setUp()
        self.seed = int(os.environ.get("KELV_SOAK_SEED", "7171"))
        self.seconds = float(os.environ.get("KELV_SOAK_SECONDS", "60"))
        self.slots = {name: ServiceSlot(name) for name in SERVICES}
        self.stop = threading.Event()
        self.errors = []
        self.counts = {}
        self.counts_lock = threading.Lock()

    # -- helpers -------------------------------------------------------------

    def count(self, what):
        with self.counts_lock:
            self.counts[what] = self.counts.get(what, 0) + 1

    def exchange(self, data, timeout=60.0):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect(self.socket_path)
            s.sendall(data)
            reply = b""
            while True:
                piece = s.recv(65536)
                if not piece:
                    return reply
                reply += piece

    def status_rows(self, reply=None):
        """{name: [pid, ...]} from a status reply (fetched when not given);
        checks the frame on the way."""
        if reply is None:
            reply = self.exchange(b"status:")
        head = b"\x00The kelv pid is %d.\n" % self.daemon.pid
        head += b"%-40s %s\n" % (b"process name", b"pid") + b"-" * 50 + b"\n"
        if not (reply.startswith(head) and reply.endswith(b"\x04")):
            raise AssertionError("bad status reply %r" % reply)
        lines = reply[len(head):-1].split(b"\n")
        if lines.pop():
            raise AssertionError("unended status row in %r" % reply)
        rows = {}
        for line in lines:
            m = ROW.match(line)
            if not m or m.group(1).decode() not in self.slots:
                raise AssertionError("bad status row %r in %r" % (line, reply))
            rows.setdefault(m.group(1).decode(), []).append(int(m.group(2)))
        return rows

    def onestatus_pid(self, name):
        r = self.run_service(name, "onestatus")
        m = RUNNING.match(r.stdout.rstrip(b"\n"))
        return int(m.group(2)) if r.returncode == 0 and m else None

    def run_actor(self, body, rng):
        try:
            while not self.stop.is_set():
                body(rng)
        except BaseException:  # pylint: disable=broad-except
            self.errors.append(traceback.format_exc())
            self.stop.set()

    def take(self, rng):
        """A random slot, locked, that nobody acts on; or None."""
        slot = self.slots[rng.choice(SERVICES)]
        if not slot.lock.acquire(blocking=False):
            return None
        if time.monotonic() < slot.quiet_until:
            slot.lock.release()
            return None
        return slot

    # -- actors --------------------------------------------------------------

    def fault_step(self, rng):
        time.sleep(rng.uniform(0.05, 0.3))
        slot = self.take(rng)
        if slot is None:
            return
        try:
            pid = self.service_pid(slot.name)
            if slot.enabled and (pid is None or
                                 self.status_rows().get(slot.name) != [pid]):
                return  # not watched at its current PID yet
            process = self.open_service_process(pid) if pid else None
            if process is None:
                self.start_service_by_hand(slot.name)  # a dead unwatched one
                return
            try:
                sig = rng.choice(FAULTS)
                if sig == signal.SIGSEGV and slot.enabled and \
                        process_age(pid) < CRASH_AFTER_SECONDS:
                    return  # not yet up long enough for a plain crash
                signal.pidfd_send_signal(process, sig)
                self.count(signal.Signals(sig).name)
                if sig == signal.SIGSEGV:
                    # The daemon restarts a watched one at once; an unwatched
                    # one stays down until it is enabled again.
                    slot.quiet_until = time.monotonic() + \
                        RESTART_QUIET_SECONDS
                    return
                # Ended on purpose, or exited: rc(8) brings it back.
                ended, _, _ = select.select([process], [], [], 10)
                if not ended:
                    raise AssertionError("%s (%d) did not end on %s" %
                                         (slot.name, pid, sig))
            except ProcessLookupError:
                pass  # it had ended by itself
            finally:
                os.close(process)
            time.sleep(rng.uniform(0, 0.5))
            self.start_service_by_hand(slot.name)
            if slot.enabled and rng.random() < 0.5:
                slot.quiet_until = time.monotonic() + WAITER_QUIET_SECONDS
        finally:
            slot.lock.release()

    def open_service_process(self, pid):
        """A pidfd for pid while it is a service process of this test (a
        session leader that carries our KELV_RC_DIR), else None. PIDs come
        back quickly here (pid_max may be 32768) and a pidfile may name a
        PID that now belongs to anyone, even to a thread of the daemon."""
        try:
            process = os.pidfd_open(pid)
        except OSError:
            return None  # gone, or a thread rather than a process
        marker = b"\0KELV_RC_DIR=" + os.fsencode(self.rc_dir) + b"\0"
        try:
            with open("/proc/%d/stat" % pid, "rb") as f:
                stat = f.read()
            with open("/proc/%d/environ" % pid, "rb") as f:
                environ = b"\0" + f.read() + b"\0"
            fields = stat[stat.rfind(b")") + 2:].split()
            if int(fields[3]) == pid and marker in environ:
                return process  # checked while the pidfd held it
        except OSError:
            pass
        os.close(process)
        return None

    def start_service_by_hand(self, name):
        r = self.run_service(name, "onestart")
        if r.returncode != 0 and b"already running" not in r.stderr:
            raise AssertionError("onestart %s: %r" % (name, r))
        self.count("onestart")

    def client_step(self, rng):
        roll = rng.random()
        if roll < 0.4:
            self.status_rows()  # checks the frame and the rows
            self.count("status")
            return
        slot = self.take(rng)
        if slot is None:
            return
        try:
            enable = roll < 0.7
            word = "enable" if enable else "disable"
            if rng.random() < 0.15:
                r = self.run_kelvctl(word, slot.name, timeout=60)
                # kelvctl writes the text with its end marker.
                status, text = r.returncode, r.stdout.removesuffix(b"\x04")
            else:
                reply = self.exchange(b"%s:%s" % (word.encode(),
                                                  slot.name.encode()))
                if not reply.endswith(b"\x04"):
                    raise AssertionError("%s %s: %r" % (word, slot.name,
                                                        reply))
                status, text = reply[0], reply[1:-1]
            if enable:
                expected = (1, b"Service already registered.\n") \
                    if slot.enabled else (0, b"Monitoring service.\n")
            else:
                expected = (0, b"Service removed.\n") if slot.enabled \
                    else (1, b"Removing service failed: Not found.\n")
            if (status, text) != expected:
                raise AssertionError("%s %s (enabled: %s): %r" % (
                    word, slot.name, slot.enabled, (status, text)))
            slot.enabled = enable
            self.count(word)
        finally:
            slot.lock.release()

    # -- checks --------------------------------------------------------------

    def converged(self):
        """None when the daemon watches exactly the enabled services, each at
        the live PID rc(8) reports; otherwise what still differs."""
        rows = self.status_rows()
        for name, slot in self.slots.items():
            if not slot.enabled:
                if name in rows:
                    return "%s is disabled but listed: %r" % (name, rows)
                continue
            pid = self.onestatus_pid(name)
            if pid is None or not process_alive(pid):
                return "%s is not running" % name
            if rows.get(name) != [pid]:
                return "%s runs as %d, listed as %r" % (name, pid,
                                                        rows.get(name))
        return None

    def wait_converged(self, what):
        last = [None]

        def check():
            last[0] = self.converged()
            return last[0] is None
        try:
            wait_until(check, SETTLE_TIMEOUT, interval=1.0)
        except AssertionError:
            self.fail("%s: not settled after %.0fs: %s (seed %d)" %
                      (what, SETTLE_TIMEOUT, last[0], self.seed))

    def resources(self):
        pid = self.daemon.pid
        others, targets = descriptors(pid)
        return others, targets, threads(pid)

    # -- the test ------------------------------------------------------------

    def test_faults_and_concurrent_clients_leave_every_service_watched(self):
        for name in SERVICES:
            self.add_service(name, SERVICE_COMMAND)
            self.start_service(name)
        self.daemon = self.start_daemon("-v", config_lines=SERVICES)
        self.wait_for_log("Monitoring processes...", INFO, timeout=60)
        self.wait_converged("start-up")
        pid = self.daemon.pid
        base_others, base_targets, base_threads = self.resources()
        self.assertEqual(sorted(self.onestatus_pid(n) for n in SERVICES),
                         base_targets)
        rss_start = int(proc_status_field(pid, "VmRSS"))

        rng = random.Random(self.seed)
        actors = [threading.Thread(target=self.run_actor,
                                   args=(self.fault_step,
                                         random.Random(rng.random())))
                  for _ in range(FAULT_THREADS)]
        actors += [threading.Thread(target=self.run_actor,
                                    args=(self.client_step,
                                          random.Random(rng.random())))
                   for _ in range(CLIENT_THREADS)]
        for actor in actors:
            actor.start()
        rss_samples = []
        deadline = time.monotonic() + self.seconds
        while time.monotonic() < deadline and not self.stop.is_set():
            time.sleep(1)
            self.assertIsNone(self.daemon.poll(), "kelv died")
            rss_samples.append(int(proc_status_field(pid, "VmRSS")))
        self.stop.set()
        for actor in actors:
            actor.join(120)
            self.assertFalse(actor.is_alive(), "an actor is stuck")
        self.assertEqual([], self.errors, "\n".join(self.errors) +
                         "seed %d, counts %r" % (self.seed, self.counts))
        self.assertIsNone(self.daemon.poll(), "kelv died")
        for what in ("SIGSEGV", "SIGTERM", "SIGKILL", "SIGUSR2", "enable",
                     "disable", "status"):
            self.assertGreater(self.counts.get(what, 0), 0,
                               "%s never happened: %r" % (what, self.counts))

        # Settle: the services still enabled are running and watched.
        self.wait_converged("after the faults")
        # Then everything back under watch, as at the start; the stopped
        # ones are started by the daemon.
        for slot in self.slots.values():
            if not slot.enabled:
                self.assertEqual(
                    self.exchange(b"enable:" + slot.name.encode()),
                    b"\x00Monitoring service.\n\x04")
                slot.enabled = True
        self.wait_converged("everything enabled")

        started = time.monotonic()
        rows = self.status_rows()
        self.assertLess(time.monotonic() - started, 1.0, "status was slow")
        watched = sorted(p for pids in rows.values() for p in pids)

        # The restart waiters run out within a poll once their service is
        # back; then the daemon holds what it held at the start.
        def same_as_start():
            others, targets, count = self.resources()
            return (others == base_others and count == base_threads and
                    set(watched) <= set(targets) and
                    all(process_alive(t) for t in targets) and
                    len(set(targets)) == len(targets))
        try:
            wait_until(same_as_start, 30, interval=0.5)
        except AssertionError:
            self.fail("kelv holds (descriptors, pidfd targets, threads) %r; "
                      "at the start %r; watched %r (seed %d)" % (
                          self.resources(),
                          (base_others, base_targets, base_threads),
                          watched, self.seed))
        wait_until(lambda: not zombie_children(pid), 5,
                   message="no zombie children of kelv")
        # Memory: no growth with the work done, beyond allocator slack. The
        # address sanitizer keeps freed memory in quarantine (up to 256 MiB),
        # so there the figures are only reported.
        rss_end = int(proc_status_field(pid, "VmRSS"))
        warm = rss_samples[len(rss_samples) // 3] if rss_samples \
            else rss_start
        sanitize = os.environ.get("KELV_SANITIZE", "")
        if "address" not in sanitize:
            limit = warm * 1.5 + 16 * 1024 if sanitize else \
                warm + max(4 * 1024, warm // 4)
            self.assertLess(rss_end, limit,
                            "VmRSS kB: start %d, warm %d, end %d, samples "
                            "%r" % (rss_start, warm, rss_end, rss_samples))

        print("\nsoak: %.0fs, seed %d, %r; VmRSS kB start %d, warm %d, end "
              "%d" % (self.seconds, self.seed, self.counts, rss_start, warm,
                      rss_end), file=sys.stderr)
        log = self.log_lines()
        bad = [(p, l) for p, l in log if l.startswith(BAD_LOG_PREFIXES)]
        self.assertEqual([], bad)
        # Both ways back were taken: at once, and after a waiter's poll.
        texts = [l for _, l in log]
        # Every crash came after a longer run: the throttle never tripped.
        self.assertEqual([], [t for t in texts if
                              "within a second of its restart" in t])
        for pattern in (r"svc\d+ was restarted",
                        r"Service: svc\d+ was restarted, but not by me\."):
            self.assertTrue(any(re.fullmatch(pattern, t) for t in texts),
                            pattern)
        self.assertIsNone(self.daemon.poll())
        _, err = self.daemon_output(self.daemon)
        self.assertNotIn(b"Sanitizer", err, err.decode(errors="replace"))


if __name__ == "__main__":
    unittest.main()
