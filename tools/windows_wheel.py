"""Packs the Windows module into a cp310-abi3-win_amd64 wheel.

The Windows build is a cross-build that no Python build backend drives, so the wheel
is put together here: latchwork.pyd, the type stubs and the approvals package (taken
from the Linux wheel), with the project's metadata
taken from the Linux wheel that the same `make dist` built from the same
pyproject.toml (the metadata does not depend on the platform). The gate server is
not part of the Windows wheel.

    python tools/windows_wheel.py PYD STUBS LINUX_WHEEL OUT_DIR
"""

from __future__ import annotations

import base64
import hashlib
import sys
import zipfile
from pathlib import Path

TAG = "cp310-abi3-win_amd64"


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(pyd: Path, stubs: Path, linux_wheel: Path, out_dir: Path) -> Path:
    with zipfile.ZipFile(linux_wheel) as source:
        dist_info = next(n.split("/")[0] for n in source.namelist() if n.endswith(".dist-info/METADATA"))
        # The project's metadata and licence files; not WHEEL and RECORD, which are
        # this wheel's own, nor the bill of materials of the libraries auditwheel
        # put into the Linux wheel.
        metadata_files = {
            name: source.read(name)
            for name in source.namelist()
            if name == f"{dist_info}/METADATA"
            or (name.startswith(f"{dist_info}/licenses/") and not name.endswith("/"))
        }
        # The pure-Python approvals package is the same on every platform.
        approvals = {name: source.read(name) for name in source.namelist()
                     if name.startswith("latchwork_approvals/") and not name.endswith("/")}
    stem = dist_info.removesuffix(".dist-info")  # name-version
    wheel_file = (
        "Wheel-Version: 1.0\n"
        "Generator: latchwork tools/windows_wheel.py\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {TAG}\n"
    ).encode()
    contents = {
        "latchwork.pyd": pyd.read_bytes(),
        "latchwork-stubs/__init__.pyi": stubs.read_bytes(),
        **approvals,
        **metadata_files,
        f"{dist_info}/WHEEL": wheel_file,
    }
    record_name = f"{dist_info}/RECORD"
    record = "".join(record_line(n, d) + "\n" for n, d in contents.items()) + f"{record_name},,\n"
    contents[record_name] = record.encode()

    out_dir.mkdir(parents=True, exist_ok=True)
    wheel = out_dir / f"{stem}-{TAG}.whl"
    with zipfile.ZipFile(wheel, "w", compression=zipfile.ZIP_DEFLATED) as target:
        for name, data in contents.items():
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            target.writestr(info, data)
    return wheel


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    print(main(*(Path(a) for a in sys.argv[1:])))
