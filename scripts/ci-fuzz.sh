#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer included) and runs each for a bounded time,
# starting from its seed corpus. Any crash, sanitizer report, time-out or
# memory blow-up fails the run and leaves the input in the build directory.
#
#   scripts/ci-fuzz.sh [build-dir] [seconds-per-target]
#
# Defaults: build-fuzz, 60 s (or $KIV_FUZZ_SECONDS). Installs clang and
# libclang-rt-14-dev from Debian's packages when they are missing.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-build-fuzz}
seconds=${2:-${KIV_FUZZ_SECONDS:-60}}
case "$build" in
  /*) ;;
  *) build="$root/$build" ;;
esac

# ---- the compiler and libFuzzer ---------------------------------------------
have_libfuzzer() {
  command -v clang++ >/dev/null 2>&1 || return 1
  local lib
  lib=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null) || return 1
  [[ -f "$lib" ]]
}

if ! have_libfuzzer; then
  as_root=()
  if ((EUID != 0)); then
    if command -v sudo >/dev/null 2>&1; then
      as_root=(sudo)
    else
      echo "ci-fuzz: clang with libFuzzer is missing, and not root to install it" >&2
      exit 1
    fi
  fi
  echo "ci-fuzz: installing clang and libclang-rt-14-dev"
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update
  "${as_root[@]}" apt-get install -y --no-install-recommends clang libclang-rt-14-dev
  have_libfuzzer || { echo "ci-fuzz: libFuzzer still not found" >&2; exit 1; }
fi

# ---- build ----------------------------------------------------------------------
echo "== configure $build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKIV_BUILD_FUZZ=ON -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_EXAMPLES=OFF -DKIV_BUILD_BENCH=OFF \
  -DKIV_SANITIZE= >/dev/null

targets=(header_fuzz)
echo "== build ${targets[*]}"
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

# ---- run ------------------------------------------------------------------------
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

status=0
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  seeds="$root/fuzz/corpus/$name"
  corpus="$build/fuzz-corpus/$name"      # grows run by run; never committed
  artifacts="$build/fuzz-artifacts/$name/"
  mkdir -p "$corpus" "$artifacts"
  dict=()
  [[ -f "$root/fuzz/$name.dict" ]] && dict=(-dict="$root/fuzz/$name.dict")

  echo "== fuzz $target for ${seconds}s (seeds: $seeds)"
  if ! "$build/fuzz/$target" "$corpus" "$seeds" "${dict[@]}" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
      -print_final_stats=1 -artifact_prefix="$artifacts" 2>"$build/fuzz-$name.log"; then
    status=1
    echo "ci-fuzz: $target FAILED; the report:" >&2
    tail -n 60 "$build/fuzz-$name.log" >&2
    echo "ci-fuzz: inputs that fail are in $artifacts" >&2
    ls -l "$artifacts" >&2 || true
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)' \
      "$build/fuzz-$name.log" || true
    echo "ci-fuzz: $target clean"
  fi
done
exit "$status"
