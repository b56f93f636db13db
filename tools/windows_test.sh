#!/usr/bin/env bash
# windows_test.sh WINDOWS_BUILD GATE: the Windows build's checks. The module's
# exports and imports, then the native tests of the gate core, the decision tags
# and the client as Windows programs under Wine, one of them talking over loopback
# to GATE, a latchwork-gate built for Linux and started here.
set -euo pipefail
build=$1
gate=$2
tools/check_windows_module.sh "$build/latchwork.pyd"

# Wine keeps its prefix in the build tree; no window, no prompt to install Mono or
# Gecko, no debug chatter.
export WINEPREFIX=$PWD/build/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=

workdir=$(mktemp -d)
gate_pid=
cleanup() {
  if [ -n "$gate_pid" ]; then kill "$gate_pid" 2>/dev/null || true; wait "$gate_pid" 2>/dev/null || true; fi
  rm -rf "$workdir"
}
trap cleanup EXIT

"$gate" serve --listen 127.0.0.1:0 --store memory: >"$workdir/gate.out" 2>"$workdir/gate.err" &
gate_pid=$!
for _ in $(seq 100); do
  grep -q '^listening on ' "$workdir/gate.out" 2>/dev/null && break
  kill -0 "$gate_pid" 2>/dev/null || { cat "$workdir/gate.err" >&2; exit 1; }
  sleep 0.1
done
address=$(sed -n 's/^listening on //p' "$workdir/gate.out")
[ -n "$address" ] || { echo "latchwork-gate did not start listening" >&2; exit 1; }
echo "latchwork-gate (Linux) listening on $address"

LATCHWORK_GATE_ADDRESS=$address ctest --test-dir "$build" --output-on-failure --verbose
