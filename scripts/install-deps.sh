#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmarks need,
# but only when something is missing, so a second run costs a dpkg query and nothing more.
# Runs as root (CI and the developers' machines are root); prints what it installs.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  zlib1g-dev libsqlite3-dev libpam0g-dev libcrypt-dev libldap-dev libssl-dev nettle-dev
  libgtest-dev libgmock-dev libbenchmark-dev sqlite3
  # real peers used by the tests
  libpam-wrapper slapd ldap-utils dnsmasq-base udhcpc busybox tftp-hpa tftpd-hpa
  curl tshark python3-impacket iproute2 procps psmisc iptables
  # certificates for the directory tests over TLS
  openssl
  # accounts (useradd, chpasswd), setpriv, and systemd-analyze for the unit file
  passwd util-linux systemd
  # the applets (Qt 6 Widgets; the tests run them on the offscreen platform and grab screens)
  qt6-base-dev fonts-dejavu-core
  # remote administration: ssh to the server, and the sshd the tests start on loopback
  openssh-client openssh-server
  # the Debian package: cpack's dpkg-shlibdeps, lintian, Debian's systemd helpers, logrotate
  dpkg-dev lintian init-system-helpers logrotate man-db
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these packages are missing and installing them needs root: ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# slapd must not build a database of its own, and dumpcap must not ask about setuid.
echo 'slapd slapd/no_configuration boolean true' | debconf-set-selections
echo 'wireshark-common wireshark-common/install-setuid boolean false' | debconf-set-selections
# Packages that ship a daemon (tftpd-hpa, slapd) must not start it: the tests start their own.
policy_added=0
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  policy_added=1
fi
trap '[ "$policy_added" = 1 ] && rm -f /usr/sbin/policy-rc.d' EXIT
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
