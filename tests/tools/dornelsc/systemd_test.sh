#!/usr/bin/env bash
# dornelsc where systemd runs: start and stop of a service whose unit systemd has go through
# systemctl, so systemd supervises the process rather than one started beside it; a service
# installed into a unit folder of the caller's own ($DORNEL_UNIT_DIR) is still started by
# dornelsc itself.
#
# systemd is stood in for inside a private mount namespace: /run/systemd/system exists there,
# /etc/systemd/system is an empty tmpfs, and /usr/bin/systemctl is a script that records its
# arguments and does what systemd would with the unit (start the program with DORNEL_SERVICE
# set and wait until it answers; stop it with SIGTERM). Nothing outside the namespace sees
# any of it. Needs root (skipped without, failing under CI) and the service test program
# (DORNEL_TESTSVC) and dornelsc (DORNEL_BIN_DIR).
set -euo pipefail

skip() {
  if [ -n "${CI:-}" ]; then echo "systemd_test: FAILED: $*" >&2; exit 1; fi
  echo "systemd_test: skipped: $*"
  exit 0
}
[ "$(id -u)" = 0 ] || skip "needs root for a mount namespace"
[ -x /usr/bin/systemctl ] || skip "no /usr/bin/systemctl to stand in for"
: "${DORNEL_TESTSVC:?}" "${DORNEL_BIN_DIR:?}"

if [ -z "${DORNEL_SYSTEMD_TEST_NS:-}" ]; then
  exec unshare -m env DORNEL_SYSTEMD_TEST_NS=1 bash "$0" "$@"
fi
mount --make-rprivate /

ROOT=$(mktemp -d /tmp/dornel-systemd-test-XXXXXX)
PID=
cleanup() {
  set +e
  [ -n "$PID" ] && kill -KILL "$PID" 2>/dev/null
  rm -rf "$ROOT"
}
trap cleanup EXIT

export DORNEL_ROOT=$ROOT DORNEL_PAM_DIR=$ROOT/pam FAKE_LOG=$ROOT/systemctl.log
unset DORNEL_UNIT_DIR DORNEL_SERVICE
SC=$DORNEL_BIN_DIR/dornelsc
SVC=$(readlink -f "$DORNEL_TESTSVC")
export SVC

mount -t tmpfs tmpfs /run
mkdir -p /run/systemd/system
mount -t tmpfs tmpfs /etc/systemd/system
cat > "$ROOT/systemctl" <<'FAKE'
#!/bin/sh
echo "$*" >> "$FAKE_LOG"
name=${2%.service}
case "$1" in
  start)
    setsid env DORNEL_SERVICE="$name" "$SVC" </dev/null >>"$DORNEL_ROOT/systemd.out" 2>&1 &
    for _ in $(seq 100); do
      [ -S "$DORNEL_ROOT/scm/$name.sock" ] && exit 0
      sleep 0.1
    done
    exit 1 ;;
  stop)
    pid=$(sed -n 's/^pid //p' "$DORNEL_ROOT/scm/$name.status")
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 100); do
      kill -0 "$pid" 2>/dev/null || exit 0
      sleep 0.1
    done
    exit 1 ;;
esac
exit 0
FAKE
chmod 755 "$ROOT/systemctl"
mount --bind "$ROOT/systemctl" /usr/bin/systemctl
: > "$FAKE_LOG"

failed=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what" >&2; failed=1; fi
}
# Gone, or a zombie its new parent has not reaped yet.
gone() { ! kill -0 "$1" 2>/dev/null || grep -q ') Z' "/proc/$1/stat" 2>/dev/null; }
state() { "$SC" query dorneltestsvc | awk '$1 == "STATE" { print $3 }'; }
pid() { "$SC" query dorneltestsvc | awk '$1 == "PID" { print $3 }'; }

# Installed as a site would: the unit goes to (this namespace's) /etc/systemd/system.
"$SVC" -i
check "the unit is where systemd reads it" test -f /etc/systemd/system/dorneltestsvc.service

"$SC" start dorneltestsvc > "$ROOT/start.txt" || true
check "start went through systemctl" grep -qx "start dorneltestsvc.service" "$FAKE_LOG"
check "the service runs" test "$(state)" = 4
check "systemd started it, not dornelsc" test -e "$ROOT/systemd.out" -a ! -e "$ROOT/scm/dorneltestsvc.out"
PID=$(pid)

check "a second start says it runs already" bash -c "! '$SC' start dorneltestsvc 2>'$ROOT/again.txt'"
check "... with the reason" grep -q "already running" "$ROOT/again.txt"

"$SC" stop dorneltestsvc > "$ROOT/stop.txt" || true
check "stop went through systemctl" grep -qx "stop dorneltestsvc.service" "$FAKE_LOG"
check "the process is gone" gone "$PID"
check "the service is stopped" test "$(state)" = 1
PID=

# A unit folder of the caller's own is not systemd's: dornelsc starts the program itself.
: > "$FAKE_LOG"
DORNEL_UNIT_DIR=$ROOT/units "$SC" start dorneltestsvc > /dev/null
PID=$(pid)
check "with DORNEL_UNIT_DIR, no systemctl" test ! -s "$FAKE_LOG"
check "with DORNEL_UNIT_DIR, dornelsc started it" test -e "$ROOT/scm/dorneltestsvc.out"
DORNEL_UNIT_DIR=$ROOT/units "$SC" stop dorneltestsvc > /dev/null
check "... and stopped it without systemctl" test ! -s "$FAKE_LOG"
PID=

[ "$failed" = 0 ] || exit 1
echo "systemd_test: passed"
