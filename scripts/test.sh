#!/usr/bin/env bash
# The one test command: configure, build and run every test.
#
#   scripts/test.sh [build-dir] [extra cmake args...]
#
# e.g. scripts/test.sh build-asan -DKIV_SANITIZE=address,undefined
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build}
shift || true
case "$build" in
  /*) ;;
  *) build="$root/$build" ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)

echo "== configure $build $*"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"

echo "== build $build"
cmake --build "$build" -j"$jobs"

echo "== test $build"
ctest --test-dir "$build" --output-on-failure -j2
