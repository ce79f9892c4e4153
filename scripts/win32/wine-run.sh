#!/usr/bin/env bash
# Run a 32-bit Windows program under Wine: the CMAKE_CROSSCOMPILING_EMULATOR
# of cmake/toolchains/mingw-w64-i686.cmake (so ctest, gtest_discover_tests
# and try_run go through here).
#
#   wine-run.sh [--curl-prefix=DIR] program.exe [args...]
#
# Exit status is the program's. stdout/stderr are the program's alone: Wine
# debug output is off and prefix creation is silent.
#
# Environment:
#   KIV_WIN32_PREFIX  libcurl prefix; its bin/ goes on WINEPATH (default /opt/kivhttp-win32;
#                     --curl-prefix=DIR wins)
#   KIV_WINEPREFIX    persistent Wine prefix, created on first use (default ~/.wine-kivhttp)
#   WINEDEBUG         default -all
#   KIV_WINEPATH      extra directories for WINEPATH, ';'-separated (Unix or Windows paths)
set -euo pipefail

prefix="${KIV_WIN32_PREFIX:-/opt/kivhttp-win32}"
case "${1:-}" in
  --curl-prefix=*) prefix="${1#--curl-prefix=}"; shift ;;
esac
if [ "$#" -lt 1 ]; then
  echo "usage: $0 [--curl-prefix=DIR] program.exe [args...]" >&2
  exit 2
fi
export WINEPREFIX="${KIV_WINEPREFIX:-$HOME/.wine-kivhttp}"
export WINEDEBUG="${WINEDEBUG:--all}"

# First use: create the prefix, once, even with ctest -j running many of us.
ready="$WINEPREFIX/.kivhttp-ready.2"
if [ ! -f "$ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$ready" ]; then
      # 32-bit prefix; no Mono/Gecko install prompts.
      if [ ! -f "$WINEPREFIX/system.reg" ]; then
        export WINEARCH=win32
      fi
      WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >/dev/null 2>&1 9>&-
      # Null display driver: windows (also top-level, hidden ones) can be
      # created without an X server, and never show up if there is one.
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&-
      wineserver -w </dev/null >/dev/null 2>&1 9>&-
      touch "$ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi

# Unix directory -> Windows path on the Z: drive (Wine maps Z: to /).
to_win() {
  local p="$1"
  case "$p" in
    [A-Za-z]:*) printf '%s' "$p" ;;
    *) p="$(cd "$p" 2>/dev/null && pwd -P || printf '%s' "$p")"
       printf 'Z:%s' "${p//\//\\}" ;;
  esac
}

prog="$1"
shift
progdir="$(dirname "$prog")"

dirs=("$progdir" "$prefix/bin")
# MinGW runtime DLLs (libstdc++-6, libgcc_s_dw2-1, libwinpthread-1) for
# programs that are not linked with -static.
for d in /usr/lib/gcc/i686-w64-mingw32/*-posix /usr/i686-w64-mingw32/lib; do
  if [ -d "$d" ]; then
    dirs+=("$d")
  fi
done
if [ -n "${KIV_WINEPATH:-}" ]; then
  IFS=';' read -r -a extra <<<"$KIV_WINEPATH"
  for e in "${extra[@]}"; do
    if [ -n "$e" ]; then
      dirs+=("$e")
    fi
  done
fi

winepath=""
for d in "${dirs[@]}"; do
  winepath="${winepath:+$winepath;}$(to_win "$d")"
done
export WINEPATH="$winepath${WINEPATH:+;$WINEPATH}"

# Start the wineserver and Wine's background processes (services.exe,
# winedevice.exe, ...) ourselves, detached from our stdout/stderr: if the
# program started them they would inherit its pipes and keep them open while
# the server lingers, so ctest, execute_process and gtest discovery would
# wait for that on every run. The server stays up KIV_WINESERVER_LINGER
# seconds after the last program exits.
(
  flock 9
  if wineserver -p"${KIV_WINESERVER_LINGER:-10}" </dev/null >/dev/null 2>&1 9>&-; then
    # Fresh server (the call fails at once if one is running already).
    wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"

# The program's output reaches ours through files that tail relays while it
# runs, and the relay ends with the program. Passed on directly, our stdout
# and stderr would also be inherited by any Wine process the program
# starts (explorer.exe, when it makes its first window), and ctest would
# wait for that process to close them long after the program has ended.
out="$(mktemp)"
err="$(mktemp)"
trap 'rm -f "$out" "$err"' EXIT
exec 5<&0
wine "$prog" "$@" <&5 >"$out" 2>"$err" 5<&- &
pid=$!
trap 'kill "$pid" 2>/dev/null' TERM INT HUP
tail -s 0.05 --pid="$pid" -c +1 -f "$out" 5<&- &
relay_out=$!
tail -s 0.05 --pid="$pid" -c +1 -f "$err" >&2 5<&- &
relay_err=$!
# wine exits with the program's exit code.
status=0
wait "$pid" || status=$?
wait "$relay_out" "$relay_err" || true
exit "$status"
