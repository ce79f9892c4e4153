#!/usr/bin/env bash
# Benchmarks kivHttp beside raw libcurl, the curl tool and cpp-httplib against
# a local nginx, and prints the table of medians and ratios.
#
#   scripts/bench.sh [--write] [--build DIR] [kivbench options...]
#
#   --write        also put the table into BENCHMARKS.md (between its markers)
#   --build DIR    build directory (default build-bench, Release)
#   --run CMD      instead of the benchmark, run CMD (through bash) against the
#                  same server, with KIV_BENCH_PORT, KIV_BENCH_DIR (scratch) and
#                  KIV_BENCH (the program) exported: for profiling, e.g.
#                  --run 'perf record -g -o /tmp/p.data -- $KIV_BENCH --port $KIV_BENCH_PORT --dir $KIV_BENCH_DIR --only 9'
#   kivbench options, e.g. --n 1000 --rounds 7 --only 1,9 (see bench/kivbench.cpp)
#
# Installs what it needs with apt-get when it is missing (nginx-light or
# nginx, curl, cpp-httplib, libcurl headers, cmake), generates the served
# files in a scratch directory, starts nginx on 127.0.0.1 with
# bench/nginx.conf.in, runs bench/kivbench, and stops nginx again. Nothing
# but 127.0.0.1 is contacted.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"
write=0
run=""
passthrough=()
while (($#)); do
  case "$1" in
    --write) write=1 ;;
    --build) build=$2; shift ;;
    --run) run=$2; shift ;;
    *) passthrough+=("$1") ;;
  esac
  shift
done
case "$build" in
  /*) ;;
  *) build="$root/$build" ;;
esac

# ---- what the run needs -------------------------------------------------------
need=()
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || need+=(nginx-light)
command -v curl >/dev/null 2>&1 || need+=(curl)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v c++ >/dev/null 2>&1 || need+=(g++)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
pkg-config --exists cpp-httplib 2>/dev/null || need+=(libcpp-httplib-dev)
[ -f /usr/include/x86_64-linux-gnu/curl/curl.h ] || [ -f /usr/include/curl/curl.h ] ||
  need+=(libcurl4-openssl-dev)
if ((${#need[@]})); then
  echo "== installing: ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"; then
    # Some releases have only the full nginx package.
    need=("${need[@]/nginx-light/nginx}")
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}"
  fi
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

# ---- build ----------------------------------------------------------------------
echo "== build $build (Release)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_BENCH=ON \
  -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" --target kivbench -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
bench="$build/bench/kivbench"

# ---- scratch directory and served files ------------------------------------------------
# In memory when there is room (downloads of up to 2 GiB land here), so that
# every contender writes to the same fast place and the disk adds no noise.
base=${TMPDIR:-/tmp}
if [ -d /dev/shm ] && [ -w /dev/shm ] &&
  [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt $((4 * 1024 * 1024)) ]; then
  base=/dev/shm
fi
work=$(mktemp -d "$base/kivbench.XXXXXX")
chmod 755 "$work"
prefix="$work/nginx"
www="$work/www"
scratch="$work/scratch"
mkdir -p "$prefix/body" "$prefix/proxy" "$www/f" "$scratch"
chmod 755 "$prefix" "$www" "$www/f"
chmod 777 "$prefix/body" "$prefix/proxy" "$scratch"

nginx_conf="$prefix/nginx.conf"
stop_nginx() {
  if [ -f "$prefix/nginx.pid" ]; then
    "$nginx_bin" -c "$nginx_conf" -p "$prefix" -s stop 2>/dev/null || true
    for _ in $(seq 50); do
      [ -f "$prefix/nginx.pid" ] || break
      sleep 0.1
    done
  fi
}
cleanup() {
  stop_nginx
  rm -rf "$work"
}
trap cleanup EXIT

echo "== files in $www/f"
head -c 1024 /dev/urandom >"$www/f/1k.bin"
head -c $((64 * 1024)) /dev/urandom >"$www/f/64k.bin"
head -c $((10 * 1024 * 1024)) /dev/urandom >"$www/f/10m.bin"
head -c $((200 * 1024 * 1024)) /dev/urandom >"$www/f/200m.bin"
chmod 644 "$www"/f/*

# ---- nginx ----------------------------------------------------------------------------
user_line=""
if [ "$(id -u)" -eq 0 ]; then
  user_line="user $(id -un) $(id -gn);"
fi
port=""
for try in $(seq 20); do
  candidate=$((20000 + (RANDOM % 20000)))
  sed -e "s|@PORT@|$candidate|g" -e "s|@ROOT@|$www|g" -e "s|@PREFIX@|$prefix|g" \
    -e "s|@USER_LINE@|$user_line|g" "$root/bench/nginx.conf.in" >"$nginx_conf"
  if "$nginx_bin" -c "$nginx_conf" -p "$prefix" 2>"$prefix/start.log"; then
    port=$candidate
    break
  fi
  [ "$try" -lt 20 ] || { cat "$prefix/start.log" >&2; exit 1; }
done
for _ in $(seq 50); do
  curl -sf -o /dev/null "http://127.0.0.1:$port/f/1k.bin" && break
  sleep 0.1
done
echo "== nginx $("$nginx_bin" -v 2>&1 | sed 's/.*\///') on 127.0.0.1:$port"

# The POST endpoint must really read what it is sent: post 10 MiB and look
# for the bytes in the log.
answer=$(curl -s --data-binary @"$www/f/10m.bin" "http://127.0.0.1:$port/post")
sleep 0.2
read_bytes=$(tail -n 1 "$prefix/post.log" | awk '{print $4}')
if [ "$answer" != "ok" ] || [ "${read_bytes:-0}" -lt $((10 * 1024 * 1024)) ]; then
  echo "POST endpoint check failed: answer '$answer', $read_bytes bytes read" >&2
  exit 1
fi
echo "== POST endpoint read ${read_bytes} bytes of a 10 MiB body"

# ---- run ----------------------------------------------------------------------------------
if [ -n "$run" ]; then
  echo "== $run"
  status=0
  KIV_BENCH_PORT=$port KIV_BENCH_DIR=$scratch KIV_BENCH=$bench bash -c "$run" || status=$?
  exit "$status"
fi
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
table="$work/table.md"
echo "== kivbench ${passthrough[*]:-}"
status=0
"$bench" --port "$port" --dir "$scratch" "${passthrough[@]}" >"$table" || status=$?
stop_nginx

cores=$(nproc)
cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo 2>/dev/null || echo unknown)
curl_version=$(curl --version | head -n 1 | awk '{print $2}')
nginx_version=$("$nginx_bin" -v 2>&1 | sed 's/.*\///')
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
header="Run of $(date -u '+%Y-%m-%d %H:%M UTC'): $cores cores ($cpu), Linux $(uname -r), libcurl $curl_version, nginx $nginx_version, scratch in $base; load average $load_before before, $load_after after."

echo
echo "$header"
echo
cat "$table"

if ((write)); then
  doc="$root/BENCHMARKS.md"
  begin='<!-- bench:begin -->'
  end='<!-- bench:end -->'
  block="$work/block.md"
  {
    echo "$begin"
    echo "$header"
    echo
    echo "Command: \`scripts/bench.sh --write${passthrough[*]:+ ${passthrough[*]}}\`"
    echo
    cat "$table"
    echo "$end"
  } >"$block"
  if [ -f "$doc" ] && grep -qF "$begin" "$doc"; then
    awk -v begin="$begin" -v end="$end" -v block="$block" '
      $0 == begin { while ((getline line < block) > 0) print line; skip = 1; next }
      $0 == end { skip = 0; next }
      !skip { print }' "$doc" >"$doc.new"
    mv "$doc.new" "$doc"
  else
    { echo "# Benchmarks"; echo; cat "$block"; } >"$doc"
  fi
  echo
  echo "== table written to $doc"
fi
exit "$status"
