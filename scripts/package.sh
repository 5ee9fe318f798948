#!/usr/bin/env bash
# Builds the Debian package with CPack's DEB generator:
#
#   bash scripts/package.sh            configure build-package/, build, write the .deb
#
# The package lands in build-package/ as dornel_<version>-<revision>_<arch>.deb, and its path
# is printed last. Environment: BUILD (default build-package), JOBS (default 2). The build is
# optimised, hardened (fortified, full RELRO, PIE) and without tests or benchmarks; binaries
# are stripped by cpack, and dpkg-shlibdeps computes the library dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "package: unknown argument $1 (try --help)" >&2; exit 2 ;;
esac

BUILD=${BUILD:-build-package}
JOBS=${JOBS:-2}
hardening="-O2 -g -D_FORTIFY_SOURCE=2 -fstack-protector-strong -fstack-clash-protection"
linking="-Wl,-z,relro -Wl,-z,now -Wl,--as-needed"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDORNEL_TESTS=OFF -DDORNEL_BENCH=OFF \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="$hardening" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$hardening" \
  -DCMAKE_EXE_LINKER_FLAGS="$linking" -DCMAKE_SHARED_LINKER_FLAGS="$linking" \
  -DCMAKE_MODULE_LINKER_FLAGS="$linking" \
  ${CCACHE_DIR:+-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache} >/dev/null
cmake --build "$BUILD" -j "$JOBS"
cmake --build "$BUILD" -j "$JOBS" --target package_files
rm -f "$BUILD"/dornel_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/dornel_*.deb)
echo "package: $deb"
