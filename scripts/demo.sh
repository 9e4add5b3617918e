#!/usr/bin/env bash
# The demo: kelv watches sandbox services run by the rc stand-in. One
# crashes and is restarted at once, one is stopped and picked up again when
# it comes back, one cannot be restarted and waits in the retry queue,
# services are enabled and disabled at run time, and kelv shuts down cleanly.
# `kelvctl status -l` shows each state they pass through. Everything lives in a temp dir that is removed at the
# end; nothing is left running. Needs root (exit statuses of services come
# from the kernel's process-events connector).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELV_BUILD_DIR:-$root/build}

if [ -z "${KELV_DEMO_INNER-}" ]; then
  "$root/scripts/install-deps.sh"
  echo "==> Building kelv"
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  ninja -C "$build" kelv kelvctl reaper logcap >/dev/null
  # Services that die are orphans; the reaper collects them at once, as a
  # real init does.
  KELV_DEMO_INNER=1 exec "$build/tests/reaper" "$0" "$@"
fi

work=$(mktemp -d /tmp/kelv-demo.XXXXXX)
export KELV_RC_DIR=$work/rc KELV_RC_NO_LOG=1
mkdir -p "$work/bin" "$KELV_RC_DIR/services"
ln -s "$root/platform/linux/rc/service" "$work/bin/service"
export PATH=$work/bin:$PATH
sock=$work/kelv.sock pidfile=$work/kelv.pid conf=$work/kelv.conf
log=$work/kelv.log
kelv_pid='' tail_pid=''

cleanup() {
  set +e
  [ -n "$kelv_pid" ] && kill -TERM "$kelv_pid" 2>/dev/null && wait "$kelv_pid"
  for s in "$KELV_RC_DIR"/services/*; do
    service "$(basename "$s")" onestop >/dev/null 2>&1
  done
  sleep 0.3
  [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null && wait "$tail_pid"
  rm -rf "$work"
}
trap cleanup EXIT

say() { if [ -t 1 ]; then printf "\n\033[1m==> %s\033[0m\n" "$*"; else printf "\n==> %s\n" "$*"; fi; }
ctl() {
  echo "\$ kelvctl $*"
  "$build/kelvctl" -s "$sock" "$@" | tr -d '\004'
}
pid_of() { cat "$KELV_RC_DIR/run/$1.pid"; }
mark=0
# Waits for a log line holding $1 that came after the last mark_log.
mark_log() { mark=$(wc -l <"$log"); }
wait_for_log() {
  for _ in $(seq 300); do
    tail -n +$((mark + 1)) "$log" | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  echo "timed out waiting for: $1" >&2
  exit 1
}
add_service() {
  mkdir -p "$KELV_RC_DIR/services/$1"
  # No core files from the crashes below.
  echo 'ulimit -c 0; exec sleep 100000' >"$KELV_RC_DIR/services/$1/command"
  touch "$KELV_RC_DIR/services/$1/enabled"
}

say "Four sandbox services; webserver and mailer run, database is down"
for s in webserver database cache mailer; do add_service "$s"; done
# webserver takes two seconds to restart; mailer cannot be restarted.
echo 2 >"$KELV_RC_DIR/services/webserver/restart_delay"
echo 1 >"$KELV_RC_DIR/services/mailer/restart_status"
service webserver onestart
service mailer onestart
printf 'webserver\ndatabase\nmailer\n' >"$conf"
echo "\$ cat kelv.conf"; cat "$conf"

say "Starting kelv -v (its syslog lines are shown as they come)"
touch "$log"
show_log() {
  local prio text
  while IFS=$'\t' read -r prio text; do
    case $prio in 3) prio="err   " ;; 5) prio=notice ;; *) prio="info  " ;; esac
    printf '    kelv %s %s\n' "$prio" "$text"
  done
}
# $! is tail itself, so that the clean-up ends it (ending only the reader of
# a pipeline would leave tail following a file that is gone).
tail -n +1 -F "$log" 2>/dev/null > >(show_log) &
tail_pid=$!
KELV_LOG_CAPTURE=$log LD_PRELOAD=$build/tests/logcap.so \
  "$build/kelv" -v -s "$sock" -p "$pidfile" -c "$conf" >/dev/null &
kelv_pid=$!
wait_for_log "Monitoring processes..."
wait_for_log "database was restarted, but not by me."
sleep 0.2
ctl status
ctl status -l

say "webserver crashes (SIGSEGV): restarted at once"
mark_log
echo "\$ kill -SEGV $(pid_of webserver)"
kill -SEGV "$(pid_of webserver)"
wait_for_log "webserver caught signal"
sleep 0.5
ctl status -l
wait_for_log "webserver was restarted"
sleep 0.2
ctl status -l

say "database is stopped (SIGTERM): kelv waits for it to come back"
mark_log
echo "\$ kill -TERM $(pid_of database)"
kill -TERM "$(pid_of database)"
wait_for_log "database waiting for restart."
sleep 1
ctl status -l
mark_log
echo "\$ service database start      # an administrator brings it back"
service database start
wait_for_log "database was restarted, but not by me."
ctl status -l

say "mailer crashes (SIGABRT) and cannot be restarted: it is queued"
mark_log
echo "\$ kill -ABRT $(pid_of mailer)"
kill -ABRT "$(pid_of mailer)"
wait_for_log "mailer was submitted to the restart queue."
ctl status -l
echo "\$ kelvctl status -m | grep mailer   # as metrics"
"$build/kelvctl" -s "$sock" status -m | grep 'service="mailer"' | grep -v ' 0$'
ctl disable mailer

say "Watching cache from now on, and webserver no longer"
ctl enable cache
ctl disable webserver
ctl status

say "Shutting down"
ctl shutdown
wait "$kelv_pid" || true
kelv_pid=''
for s in webserver database cache mailer; do service "$s" onestop >/dev/null 2>&1 || true; done
sleep 0.3
left=$(ls "$sock" "$pidfile" 2>/dev/null || true)
[ -z "$left" ] || { echo "left behind: $left" >&2; exit 1; }
say "Done: kelv removed its socket and pidfile; every service is stopped"
