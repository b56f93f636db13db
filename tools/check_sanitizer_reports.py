"""Fails when sanitizer reports show an error, or a leak that the module or the gate
server made.

The interpreter leaves some of its own allocations unreachable at exit; those are
not ours to fix. A leak counts as ours when any frame of its allocation stack lies in
the module or the server (their binaries or their sources). The servers the tests
start write their reports into the same directory (the sanitizer options are
inherited), one file per process.
"""

from __future__ import annotations

import pathlib
import re
import sys

OURS = re.compile(r"latchwork\.abi3\.so|latchwork-gate|/src/(python|gate|hmac|client|server|support)/")
LEAK_START = re.compile(r"^(Direct|Indirect) leak of ")
ERROR = re.compile(r"ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer: detected memory leaks|CHECK failed")


def leak_blocks(text: str):
    block: list[str] = []
    for line in text.splitlines():
        if LEAK_START.match(line):
            if block:
                yield "\n".join(block)
            block = [line]
        elif block:
            if not line.strip():
                yield "\n".join(block)
                block = []
            else:
                block.append(line)
    if block:
        yield "\n".join(block)


def main(report_dir: str) -> int:
    problems: list[str] = []
    reports = sorted(pathlib.Path(report_dir).glob("*"))
    for report in reports:
        text = report.read_text(errors="replace")
        for line in text.splitlines():
            if ERROR.search(line) and "detected memory leaks" not in line:
                problems.append(f"{report.name}: {line.strip()}")
        problems += [f"{report.name}: module leak\n{block}" for block in leak_blocks(text)
                     if OURS.search(block)]
    print(f"sanitizer reports read: {len(reports)}; problems: {len(problems)}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
