#!/usr/bin/env bash
# Installs missing Debian packages (tools/setup.sh), builds the release preset
# with its progress shown, starts stubworld on a free loopback port, runs
# scoutprobe against it, prints the client's trace and then the server's log,
# and stops the server.
#
#   tools/demo.sh          one client: login, room lookup, TELEPORT, a greeting
#                          and a short walk, logout
#   tools/demo.sh follow   a walker in "Brackenvel#ChatHall" and a follower in
#                          follow mode; prints the follower's trace, where its
#                          TELEPORT(seguir) and LONGLOC(seguir) requests show
#
# DEMO_BUILD_DIR=DIR takes the programs already built in DIR instead of setting
# up and building.
# Exit status: scoutprobe's (in follow mode the follower's, else the walker's
# when that failed); 1 when the server does not start.
set -euo pipefail

mode=${1:-single}
case "$mode" in
  single | follow) ;;
  *)
    echo "usage: tools/demo.sh [follow]" >&2
    exit 2
    ;;
esac

cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
server_pid=""
walker_pid=""
cleanup() {
  [[ -n $walker_pid ]] && kill "$walker_pid" 2>/dev/null || true
  if [[ -n $server_pid ]]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

if [[ -n ${DEMO_BUILD_DIR:-} ]]; then
  build=$DEMO_BUILD_DIR
else
  build=build/release
  echo "=== checking the Debian packages the build needs (tools/setup.sh)"
  tools/setup.sh
  # A first build takes about half a minute; its progress lines show as it goes.
  echo "=== configuring $build (cmake --preset release)"
  if ! cmake --preset release >"$tmp/configure.log" 2>&1; then
    cat "$tmp/configure.log"
    exit 1
  fi
  echo "=== building scoutprobe and stubworld in $build"
  cmake --build --preset release --target scoutprobe stubworld
fi
probe=$build/scoutprobe

# Waits up to 5 s for a line matching $2 in file $1.
await() {
  for _ in $(seq 50); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

"$build/tools/stubworld/stubworld" --listen 127.0.0.1:0 >"$tmp/server.log" 2>&1 &
server_pid=$!
if ! await "$tmp/server.log" '^listening on 127\.0\.0\.1:[0-9]*$'; then
  echo "stubworld did not start:"
  cat "$tmp/server.log"
  exit 1
fi
port=$(sed -n '1s/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/server.log")
echo "=== stubworld listening on 127.0.0.1:$port"

status=0
if [[ $mode == single ]]; then
  echo "=== scoutprobe 127.0.0.1 $port scoutprobe \"Brackenvel#Reception<dimension-1>\" 3"
  "$probe" 127.0.0.1 "$port" scoutprobe "Brackenvel#Reception<dimension-1>" 3 || status=$?
else
  "$probe" 127.0.0.1 "$port" walker "Brackenvel#ChatHall" 4 >"$tmp/walker.out" 2>&1 &
  walker_pid=$!
  await "$tmp/server.log" '\] TELEPORT' || true
  echo "=== walker in Brackenvel#ChatHall; scoutprobe 127.0.0.1 $port follower follow 3"
  "$probe" 127.0.0.1 "$port" follower follow 3 || status=$?
  walker_status=0
  wait "$walker_pid" || walker_status=$?
  walker_pid=""
  ((status != 0)) || status=$walker_status
fi

kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=""
echo
echo "=== stubworld log"
cat "$tmp/server.log"
exit "$status"
