#!/usr/bin/env bash
# The Windows stage of CI, from a bare Debian machine (run as root, or with
# sudo at hand): the cross toolchain, Wine and a Windows libcurl; GoogleTest
# cross-built; kivHttp.dll and the test suite cross-built for 32-bit
# Windows; the tests, the DLL's table checks and the Win32 host program run
# under Wine (ctest starts the native test servers they talk to). Exits
# non-zero on any failure.
#
#   scripts/ci-win32.sh [build-dir]          (default build-win32)
#
# Environment: KIV_WIN32_PREFIX (default /opt/kivhttp-win32), KIV_WIN32_CACHE
# and KIV_WINEPREFIX, as for scripts/win32/setup.sh and wine-run.sh.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build-win32}
case "$build" in
  /*) ;;
  *) build="$root/$build" ;;
esac
prefix="${KIV_WIN32_PREFIX:-/opt/kivhttp-win32}"
cache="${KIV_WIN32_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kivhttp-win32}"
toolchain="$root/cmake/toolchains/mingw-w64-i686.cmake"
jobs=$(nproc 2>/dev/null || echo 2)
export KIV_WIN32_PREFIX="$prefix"
export WINEPREFIX="${KIV_WINEPREFIX:-$HOME/.wine-kivhttp}"
export WINEDEBUG="${WINEDEBUG:--all}"

started=$SECONDS
stage() {
  echo
  echo "=================== win32: $* ($((SECONDS - started)) s) ==================="
}

# Whatever happens, leave no Wine processes behind.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

stage "setup"
# Native tools for the build and for kivtest-server (cmake, g++, cpp-httplib).
"$root/scripts/setup.sh"
# MinGW-w64, Wine, and libcurl's DLL in $prefix.
"$root/scripts/win32/setup.sh" >/dev/null

stage "GoogleTest for Windows"
if [ -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ] && [ -f "$prefix/lib/libgtest_main.a" ]; then
  echo "already in $prefix"
else
  gtest_build="$cache/googletest-build"
  rm -rf "$gtest_build"
  cmake -S /usr/src/googletest -B "$gtest_build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF \
    -DINSTALL_GTEST=ON >/dev/null
  cmake --build "$gtest_build" -j"$jobs" >/dev/null
  as_root=()
  if ! [ -w "$prefix" ] && command -v sudo >/dev/null 2>&1; then as_root=(sudo); fi
  "${as_root[@]}" cmake --install "$gtest_build" >/dev/null
  echo "installed into $prefix"
fi

stage "cross build ($build)"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$jobs"

stage "tests under Wine"
status=0
ctest --test-dir "$build" --output-on-failure -j2 || status=$?

stage "install layout"
staging="$build/install-check"
rm -rf "$staging"
cmake --install "$build" --prefix "$staging" >/dev/null
for f in bin/kivHttp.dll lib/kivHttp.lib include/kivHttp.h; do
  if [ -f "$staging/$f" ]; then
    echo "installed $f"
  else
    echo "not installed: $f"
    status=1
  fi
done

stage "done"
if [ "$status" -ne 0 ]; then
  echo "win32: tests FAILED"
  exit "$status"
fi
echo "win32: all tests passed"
