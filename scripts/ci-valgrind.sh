#!/usr/bin/env bash
# Runs a chosen part of the test suite under valgrind's memcheck in a plain
# (unsanitized) build: the load tests at a reduced scale, the hostile-host
# and hostile-server tables, and the white-box service tests. Any memory
# error, or any definite or possible leak, fails the run.
#
#   scripts/ci-valgrind.sh [build-dir]
#
# Default build-dir: build (the plain build of .ci/run; configured and built
# here when missing). KIV_STRESS_SCALE (default 0.05) sets the load.
# Suppressions: scripts/valgrind.supp, for system libraries only; each entry
# says why it is there.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
case "$build" in
  /*) ;;
  *) build="$root/$build" ;;
esac

if ! command -v valgrind >/dev/null 2>&1; then
  as_root=()
  ((EUID == 0)) || as_root=(sudo)
  echo "ci-valgrind: installing valgrind"
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update
  "${as_root[@]}" apt-get install -y --no-install-recommends valgrind
fi

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if grep -q '^KIV_SANITIZE:STRING=.\+' "$build/CMakeCache.txt"; then
  echo "ci-valgrind: $build is a sanitizer build; valgrind needs a plain one" >&2
  exit 1
fi
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)"

export KIV_STRESS_SCALE=${KIV_STRESS_SCALE:-0.05}

# executable | gtest filter. Left out: the 15-second time-out cases, which
# wait and prove nothing more under valgrind, and the redirect loop, whose
# thousands of hops run into the time-out under valgrind instead of ending
# at libcurl's limit.
runs=(
  "api_test|StressTest.*"
  "api_test|HostileHost*.*:Urls/HostileUrl.*:Paths/HostilePath.*:Exports/ExportOutsideTheLibrary.*"
  "api_test|Scripts/HostileAnswer.*:SyncApi.*:AsyncApi*.*:-SyncApi.ServerThatNeverAnswersTimesOutWithStatusZero:*/redirect_loop"
  "http_data_test|*"
  "http_file_test|*"
  "http_base_test|*"
  "curlstream_test|*"
  "system_test|*"
)

supp=()
[[ -f "$root/scripts/valgrind.supp" ]] && supp=(--suppressions="$root/scripts/valgrind.supp")

status=0
for run in "${runs[@]}"; do
  exe=${run%%|*}
  filter=${run#*|}
  if [[ ! -x "$build/$exe" ]]; then
    echo "== $exe: not built (no tests in that layer), skipped"
    continue
  fi
  log="$build/valgrind-$exe-$(echo "$filter" | md5sum | cut -c1-8).log"
  echo "== valgrind $exe --gtest_filter=$filter"
  start=$SECONDS
  if valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,possible \
      --errors-for-leak-kinds=definite,possible --error-exitcode=97 --num-callers=40 \
      --child-silent-after-fork=yes "${supp[@]}" --log-file="$log" \
      "$build/$exe" --gtest_filter="$filter" --gtest_brief=1 >"$log.out" 2>&1; then
    echo "   clean ($((SECONDS - start)) s): $(grep -E 'ERROR SUMMARY' "$log" | head -1 | sed 's/^==[0-9]*== //')"
  else
    status=1
    echo "ci-valgrind: $exe FAILED ($((SECONDS - start)) s); test output and valgrind report:" >&2
    tail -n 40 "$log.out" >&2
    grep -v '^==[0-9]*== *$' "$log" | tail -n 80 >&2
  fi
done
exit "$status"
