#!/usr/bin/env bash
# The main job: install what the build needs, build kivHttp and its demo
# host, and run kivfetch. With no arguments kivfetch serves sample content
# from a local server of its own and shows every way of using the library
# (no network needed); any arguments are passed on to kivfetch.
#
#   scripts/demo.sh                   # the showcase
#   scripts/demo.sh https://example.com/ --sync ...
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/setup.sh"

echo "== configure $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_EXAMPLES=ON >/dev/null

echo "== build kivfetch"
cmake --build "$build" -j"$jobs" --target kivfetch

echo "== run kivfetch $*"
exec "$build/examples/kivfetch" "$@"
