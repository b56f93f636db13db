#!/usr/bin/env bash
# dist_check.sh WHEEL SDIST_WHEEL PYTHON: the Linux wheel and the sdist's build,
# installed the way a user installs them.
#
# The wheel goes into a venv made by the system python3 of a minimal Debian root
# (debootstrap: python3 and python3-venv, no compiler, no -dev package, no boost),
# and tools/dist_smoke.py runs there in a chroot. The root is made once and kept in
# LATCHWORK_CACHE by tools/debian_root.sh; each check runs in a fresh copy of it.
# Then SDIST_WHEEL, the wheel that `make dist` built from the sdist on this machine
# (before it was repaired), is installed into a fresh venv of PYTHON here and the
# same check runs there: the sdist's own build, checked without building it twice.
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "dist-check makes a Debian root and runs it in a chroot: run it as root" >&2
  exit 1
fi
wheel=$(realpath "$1")
sdist_wheel=$(realpath "$2")
python=$3
work=$PWD/build/dist-check
root=$work/root
pristine=$("$(dirname "$0")/debian_root.sh")

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM  # through the EXIT trap: the mounts go however the check ends
# A run killed before its clean-up may have left its mounts: never delete through them.
for leftover in "$root/dev" "$root/proc"; do
  if mountpoint -q "$leftover" 2>/dev/null; then umount "$leftover" || umount -l "$leftover"; fi
done
rm -rf --one-file-system "$work"
mkdir -p "$work"
cp -a "$pristine" "$root"
# What a plain machine lacks: any compiler, any development package, boost.
if chroot "$root" /bin/sh -c 'command -v cc || command -v gcc || command -v g++ || command -v c++'; then
  echo "FAIL: the Debian root has a compiler" >&2; exit 1
fi
if chroot "$root" dpkg-query -W -f '${Package}\n' | grep -E -- '-dev$|^libboost'; then
  echo "FAIL: the Debian root has development packages" >&2; exit 1
fi

mkdir -p "$root/tmp/check"
cp "$wheel" README.md examples/quickstart.py tools/dist_smoke.py "$root/tmp/check/"
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount --bind /dev "$root/dev" && mounted+=("$root/dev")
echo "== the wheel in a Debian ${DEBIAN_SUITE:-bookworm} root: $(chroot "$root" python3 --version)"
chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 /bin/sh -euc '
  cd /tmp/check
  python3 -m venv /opt/venv
  /opt/venv/bin/python -m pip install --quiet --no-index --disable-pip-version-check ./*.whl
  /opt/venv/bin/python dist_smoke.py README.md quickstart.py'

echo "== the wheel built from the sdist on this machine, under $($python --version)"
"$python" -m venv "$work/sdist-venv"
"$work/sdist-venv/bin/python" -m pip install --quiet --disable-pip-version-check "$sdist_wheel"
"$work/sdist-venv/bin/python" tools/dist_smoke.py README.md examples/quickstart.py
echo "dist check passed"
