#!/usr/bin/env bash
# Starts and stops kivtest-server for a test run: the CTest fixture of the
# Windows tests (their servers run natively on this machine).
#
#   kivtest-server.sh start SERVER-BINARY STATE-DIR
#   kivtest-server.sh stop STATE-DIR
#
# start leaves the server running in the background, its port in
# STATE-DIR/port, its process id in STATE-DIR/pid and its output in
# STATE-DIR/log; a server left over from an earlier run is stopped first.
set -euo pipefail

stop() {
  local dir=$1
  if [ -f "$dir/pid" ]; then
    local pid
    pid=$(cat "$dir/pid")
    # Only if it is still ours: a recycled id may belong to anyone.
    if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = kivtest-server ]; then
      kill "$pid" 2>/dev/null || true
    fi
  fi
  rm -f "$dir/pid" "$dir/port"
}

case "${1:-}" in
  start)
    server=$2
    dir=$3
    mkdir -p "$dir"
    stop "$dir"
    # Detached from our output, so ctest does not wait for the server.
    setsid "$server" --port-file "$dir/port" </dev/null >"$dir/log" 2>&1 &
    echo $! >"$dir/pid"
    for _ in $(seq 100); do
      if [ -s "$dir/port" ]; then
        echo "kivtest-server listening on 127.0.0.1:$(cat "$dir/port") (pid $(cat "$dir/pid"))"
        exit 0
      fi
      sleep 0.1
    done
    echo "kivtest-server did not start; its output:" >&2
    cat "$dir/log" >&2 || true
    stop "$dir"
    exit 1
    ;;
  stop)
    stop "$2"
    ;;
  *)
    echo "usage: $0 start SERVER-BINARY STATE-DIR | stop STATE-DIR" >&2
    exit 2
    ;;
esac
