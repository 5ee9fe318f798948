#!/usr/bin/env bash
# The demo: two payment boxes served by a real dornelman.
#
#   bash scripts/demo.sh           build what is missing, run the demo, clean up
#   bash scripts/demo.sh --keep    keep the temporary root afterwards (its path is printed)
#
# It makes a fresh temporary DORNEL_ROOT, writes a small configuration with dornelreg (two
# boxes on 127.0.0.2 and 127.0.0.3, authentication through the example plug-in custauth.so,
# balances in the example plug-in printlink.so), installs dornelman and starts it through the
# service layer, and runs two boxsim boxes that each go through a whole user session: log in
# and see the balance, insert coins and see the new balance, open and close the door. Then it
# prints what the server logged, stops everything and removes the root. Bounded in time.
set -euo pipefail
cd "$(dirname "$0")/.."

KEEP=0
case "${1:-}" in
  --keep) KEEP=1 ;;
  -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "demo: unknown argument $1 (try --help)" >&2; exit 2 ;;
esac

BUILD=${BUILD:-build}
BIN=$PWD/$BUILD/bin
TARGETS=(dornelman dornelsc dornelreg boxsim custauth printlink)

if [ -t 1 ]; then
  say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  say() { printf '\n== %s\n' "$*"; }
fi

# ---- build what is missing --------------------------------------------------------------
missing=0
for t in dornelman dornelsc dornelreg boxsim; do [ -x "$BIN/$t" ] || missing=1; done
for t in custauth printlink; do [ -f "$BIN/$t.so" ] || missing=1; done
if [ "$missing" = 1 ]; then
  say "building ${TARGETS[*]}"
  [ -f "$BUILD/build.ninja" ] || cmake -S . -B "$BUILD" -G Ninja >/dev/null
  cmake --build "$BUILD" -j "${JOBS:-2}" --target "${TARGETS[@]}"
fi

# ---- a fresh root and its configuration ------------------------------------------------
ROOT=$(mktemp -d /tmp/dornel-demo-XXXXXX)
# The service's unit and PAM files go into the root as well, never the system's folders.
export DORNEL_ROOT=$ROOT DORNEL_UNIT_DIR=$ROOT/units DORNEL_PAM_DIR=$ROOT/pam
mkdir -p "$ROOT/c/dornel/log" "$ROOT/units" "$ROOT/pam"
# The plug-ins' user file and ledger live apart from the TFTP folder (C:\dornel), readable by
# the service's account alone.
mkdir -m 0700 "$ROOT/c/dornel-private"
BOX_PIDS=()
STARTED=0

cleanup() {
  set +e
  if [ "$STARTED" = 1 ]; then "$BIN/dornelsc" stop dornelman >/dev/null 2>&1; fi
  for pid in "${BOX_PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  "$BIN/dornelman" -u >/dev/null 2>&1
  if [ "$KEEP" = 1 ]; then
    echo "demo: the root is kept in $ROOT"
  else
    rm -rf "$ROOT"
  fi
}
trap cleanup EXIT

say "configuration (root $ROOT)"
# Users of custauth.so: name and crypt(3) hash; both users' password is "demo1234".
HASH='$6$dorneldemo$NXW2On91R1r.3qHZEUIHX3231BVvMGH9oncBJkTUuNG4r3YPrysnoRfv/trITbhgpNL9vVcWVYDNqaFuyerbu/'
(
  umask 077
  printf 'alice:%s\nbob:%s\n' "$HASH" "$HASH" > "$ROOT/c/dornel-private/boxusers"
  # Balances of printlink.so, in whole cents.
  sqlite3 "$ROOT/c/dornel-private/ledger.db" <<'EOF'
CREATE TABLE IF NOT EXISTS accounts(user TEXT PRIMARY KEY NOT NULL,
                                    balance_cents INTEGER NOT NULL DEFAULT 0);
INSERT OR REPLACE INTO accounts VALUES('alice', 500), ('bob', 1250);
EOF
)

cat > "$ROOT/demo.reg" <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox]
"NumServers"=hex:02,00,00,00
"DHCPActive"=hex:00,00,00,00
"TFTPActive"=hex:00,00,00,00
"EnableDebugLog"=hex:00,00,00,00
"LogDirectory"="C:\\dornel\\log"

[HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\Box000]
"IPAddress"="127.0.0.2"
"FriendlyName"="Library, ground floor"
"AuthType"=hex:02,00,00,00
"PrintLinkType"=hex:01,00,00,00
"Message00-00"="Welcome to the library"
"Message00-02"="Top up your print"
"Message00-03"="account here"
"Message01-00"="Coins: 5p to 2 pounds"
"Message01-01"="Notes: 5 to 20 pounds"
"RotationDelay"=hex:0a,00,00,00
"UITimeout"=hex:1e,00,00,00

[HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\Box001]
"IPAddress"="127.0.0.3"
"FriendlyName"="Computer room 2"
"AuthType"=hex:02,00,00,00
"PrintLinkType"=hex:01,00,00,00
"Message00-00"="Computer room 2"
"Message00-01"="Print top-up"

[HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\CustAuth]
"UserFile"="C:\\dornel-private\\boxusers"

[HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\PrintLink]
"Ledger"="C:\\dornel-private\\ledger.db"
EOF
"$BIN/dornelreg" import "$ROOT/demo.reg"
"$BIN/dornelreg" query "HKLM\\SOFTWARE\\Orvane Technology\\ZuvexBox\\Box000" | sed 's/^/  /'

# ---- the boxes ---------------------------------------------------------------------------
# Each box waits for its start-up packets (the last is 16, the timings), then runs a user
# session. It ends when the server closes the connection at the stop.
session() {  # user, coins
  cat <<EOF
expect 16
wait 300
auth $1|demo1234
expect 12
deposit $2
expect 15
door Open
wait 300
door Closed
wait 300
EOF
}
session alice aaf > "$ROOT/box0.script"    # 0.05 + 0.05 + 2.00
session bob   ghed > "$ROOT/box1.script"   # 5 + 10 + 1 + 0.50

say "starting two boxes and the server"
"$BIN/boxsim" --address 127.0.0.2 --script "$ROOT/box0.script" --once --timeout 60 \
  > "$ROOT/box0.out" 2>&1 &
BOX_PIDS+=($!)
"$BIN/boxsim" --address 127.0.0.3 --script "$ROOT/box1.script" --once --timeout 60 \
  > "$ROOT/box1.out" 2>&1 &
BOX_PIDS+=($!)

"$BIN/dornelman" -i
"$BIN/dornelsc" start dornelman
STARTED=1
"$BIN/dornelsc" query dornelman | sed 's/^/  /'

# ---- wait for both sessions ----------------------------------------------------------------
LOG=$ROOT/c/dornel/log/dornel.log
closed_doors() { grep -c '|16|[^|]*|Closed|$' "$LOG" 2>/dev/null || true; }
for _ in $(seq 300); do
  [ "$(closed_doors)" -ge 2 ] && break
  sleep 0.1
done

say "stopping the service"
"$BIN/dornelsc" stop dornelman >/dev/null
STARTED=0
"$BIN/dornelsc" query dornelman | sed 's/^/  /'
for pid in "${BOX_PIDS[@]}"; do
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
done

for i in 0 1; do
  say "box $i received (3 on line; 9 6 7 8 the pages; 16 the timings; 12 the balance;"
  echo "   15 the new balance; 4 off line at the stop; 1 acknowledgements)"
  sed 's/^/  /' "$ROOT/box$i.out"
done

say "dornel.log"
# Debug records are off; every line is a user event: time|box|type|user|data|
awk -F'|' '
  BEGIN {
    split("Server Start|Server Stop|Server Connect|Server Disconnect|Reconfigure Request|Online Request|Offline Request|Reboot Request|Auth Request (NT)|Auth Request (Netware)|Auth Request (Custom)|Auth OK - balance|Auth Declined|Deposit Request|Deposit OK|Deposit Error|Door State Change|Deposit Units", name, "|")
  }
  { printf "  %s  box %s  %-22s %-6s %s\n", $1, $2, name[$3 + 1], $4, $5 }' "$LOG"

if [ "$(closed_doors)" -ge 2 ]; then
  say "demo complete: both boxes ran a whole session"
else
  say "demo incomplete: see the output above"
  exit 1
fi
