#!/usr/bin/env bash
# Sets up a box configuration with dornelreg as an administrator would, then checks what
# query prints, the exact bytes through an export, and that a re-run without /f refuses.
# Runs against its own temporary DORNEL_ROOT and removes it.
set -euo pipefail

reg="${DORNEL_BIN_DIR:?DORNEL_BIN_DIR is not set}/dornelreg"
work="$(mktemp -d /tmp/dornelreg-box-XXXXXX)"
trap 'rm -rf "$work"' EXIT
export DORNEL_ROOT="$work/root"

fail() { echo "FAIL: $*" >&2; exit 1; }

key='HKLM\SOFTWARE\Orvane Technology\ZuvexBox'
quiet() { "$reg" "$@" > "$work/out" 2> "$work/err" || fail "dornelreg $*: $(cat "$work/err")"
          [ "$(cat "$work/out")" = "The operation completed successfully." ] || fail "dornelreg $*: $(cat "$work/out")"; }

quiet add "$key" /v NumServers /t REG_BINARY /d 01000000
quiet add "$key" /v DHCPActive /t REG_BINARY /d 01000000
quiet add "$key" /v TFTPActive /t REG_BINARY /d 01000000
quiet add "$key" /v EnableDebugLog /t REG_BINARY /d 00000000
quiet add "$key" /v TFTPDirectory /d 'C:\dornel\boot' /nonul
quiet add "$key" /v LogDirectory /d 'C:\dornel\log' /nonul
quiet add "$key" /v SpawnUser /d pcounter /nonul
quiet add "$key\Box000" /v IPAddress /t REG_SZ /d 192.168.1.20 /nonul
quiet add "$key\Box000" /v AuthType /t REG_DWORD /d 0
quiet add "$key\Box000" /v PrintLinkType /t REG_BINARY /d 00,00,00,00
quiet add "$key\Box000" /v Message00-00 /d 'Welcome to the copy shop'
quiet add "$key\DHCP\General" /v SUBNETMASK /d 255.255.255.0
quiet add "$key\DHCP\00-11-22-33-44-55" /v IPADDR /d 192.168.1.20
quiet add "$key\DHCP\00-11-22-33-44-55" /v ROUTER_1 /d 192.168.1.1

"$reg" query "$key" > "$work/query" || fail "query failed"
cat > "$work/expected" <<'END'

HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox
    DHCPActive    REG_BINARY    01000000
    EnableDebugLog    REG_BINARY    00000000
    LogDirectory    REG_SZ    C:\dornel\log
    NumServers    REG_BINARY    01000000
    SpawnUser    REG_SZ    pcounter
    TFTPActive    REG_BINARY    01000000
    TFTPDirectory    REG_SZ    C:\dornel\boot

HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\Box000
HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\DHCP
END
diff -u "$work/expected" "$work/query" || fail "query of the box key"

"$reg" query "$key\box000" /s > "$work/query" || fail "query /s failed"
cat > "$work/expected" <<'END'

HKEY_LOCAL_MACHINE\SOFTWARE\Orvane Technology\ZuvexBox\Box000
    AuthType    REG_DWORD    0x0
    IPAddress    REG_SZ    192.168.1.20
    Message00-00    REG_SZ    Welcome to the copy shop
    PrintLinkType    REG_BINARY    00000000
END
diff -u "$work/expected" "$work/query" || fail "query /s of Box000"

# The stored bytes: IPAddress without its NUL, the message with it.
quiet export "$key\Box000" "$work/box.reg"
grep -qx '"IPAddress"=hex(1):31,39,32,2e,31,36,38,2e,31,2e,32,30' "$work/box.reg" || fail "IPAddress bytes"
grep -qx '"Message00-00"="Welcome to the copy shop"' "$work/box.reg" || fail "message bytes"
grep -qx '"AuthType"=dword:00000000' "$work/box.reg" || fail "AuthType bytes"

# A second run of the same script must not overwrite silently.
if "$reg" add "$key" /v NumServers /t REG_BINARY /d 02000000 2> "$work/err"; then
    fail "add without /f overwrote NumServers"
fi
grep -q '^ERROR: .*already exists.*/f' "$work/err" || fail "refusal message: $(cat "$work/err")"
"$reg" query "$key" /v NumServers > "$work/query"
grep -q 'NumServers    REG_BINARY    01000000' "$work/query" || fail "NumServers changed"

# Once the tools have exited, registry.db alone holds everything: a plain copy is a backup.
# (The emptied WAL file stays beside it, so accounts that may only read can read.)
[ ! -s "$DORNEL_ROOT/registry.db-wal" ] || fail "a WAL file with content was left behind"
mkdir "$work/copy"
cp "$DORNEL_ROOT/registry.db" "$work/copy/registry.db"
DORNEL_ROOT="$work/copy" "$reg" query "$key\DHCP\00-11-22-33-44-55" /v ROUTER_1 > "$work/query"
grep -q 'ROUTER_1    REG_SZ    192.168.1.1' "$work/query" || fail "the copied database lacks ROUTER_1"

echo PASS
