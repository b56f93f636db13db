#!/usr/bin/env bash
# debian_root.sh: makes the minimal Debian root the wheel is checked in, once
# (debootstrap: python3 and python3-venv, no compiler, no -dev package, no boost), in
# LATCHWORK_CACHE (default ~/.cache/latchwork), and prints its path. A second caller
# waits for the first under a lock, so CI can start it early in the background: it
# mostly waits on the network while the builds use the processors.
set -euo pipefail
cache=${LATCHWORK_CACHE:-$HOME/.cache/latchwork}
suite=${DEBIAN_SUITE:-bookworm}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
pristine=$cache/$suite-root
mkdir -p "$cache"
exec 9>"$cache/$suite-root.lock"
flock 9
if [ ! -x "$pristine/usr/bin/python3" ]; then
  echo "making the Debian $suite root in $pristine (once)" >&2
  rm -rf "$pristine.partial"
  debootstrap --variant=minbase --include=python3,python3-venv "$suite" "$pristine.partial" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || { tail -20 "$cache/debootstrap.log" >&2; exit 1; }
  mv "$pristine.partial" "$pristine"
fi
echo "$pristine"
