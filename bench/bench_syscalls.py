"""bench_syscalls.py: system calls per request, by kind, on each server under closed-loop load.

    python bench/bench_syscalls.py --build-dir build/bench [--requests N] [--connections 50]
                                   [--servers fixed_answer,gate_memory,...] [--gate PATH]

A count of system calls does not depend on how busy this shared machine is the way a
rate does, so it is what tells whether a change to the server's loop bought anything.
For each server (the ones of bench_server.py), bench/native/load_generator sends a
fixed number of requests (--requests, one in flight on each connection) while
`perf trace -s` (or, without perf, `strace -c -f`) watches every thread of the
server's process; the calls of each kind are divided by the requests answered.
Connection set-up is in the count too: about one accept and one close per connection,
nothing beside 10^5 requests.

Prints one JSON object on standard output ({"results": {server: {"per_request": x,
"by_kind": {name: x}}}, "skipped": {...}}) and a readable table on standard error.
"""

import argparse
import json
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path

import bench_server

ROOT = Path(__file__).resolve().parent.parent
# The tracer needs this long after it starts before every thread is followed.
TRACER_SETTLE_SECONDS = 1.0


def tracer_command(pid, output):
    """perf trace's summary where perf can trace (as root); strace's otherwise."""
    if shutil.which("perf") and subprocess.run(
            ["perf", "trace", "-s", "--", "true"], capture_output=True).returncode == 0:
        return "perf", ["perf", "trace", "-s", "-p", str(pid), "-o", str(output)]
    if shutil.which("strace"):
        return "strace", ["strace", "-c", "-f", "-p", str(pid), "-o", str(output)]
    return None, None


def parse_perf_summary(text):
    """Calls by name, summed over the threads of a `perf trace -s` summary."""
    calls = {}
    for line in text.splitlines():
        found = re.match(r"\s+([a-z_0-9]+)\s+(\d+)\s+\d+\s+[\d.]+", line)
        if found and found[1] != "syscall":
            calls[found[1]] = calls.get(found[1], 0) + int(found[2])
    return calls


def parse_strace_summary(text):
    """Calls by name of a `strace -c` summary."""
    calls = {}
    for line in text.splitlines():
        fields = line.split()
        # % time, seconds, usecs/call, calls, [errors,] syscall
        if len(fields) >= 5 and fields[-1] != "total" and re.fullmatch(r"[\d.]+", fields[0]):
            calls[fields[-1]] = calls.get(fields[-1], 0) + int(fields[3])
    return calls


def count(server, protocol, generator, connections, requests):
    """System calls by kind per request while the generator sends `requests` of them."""
    with tempfile.TemporaryDirectory(prefix="latchwork-syscalls-") as scratch:
        output = Path(scratch) / "summary.txt"
        kind, command = tracer_command(server.process.pid, output)
        if kind is None:
            raise bench_server.Unavailable("neither perf nor strace (make deps-bench)")
        tracer = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(TRACER_SETTLE_SECONDS)
        try:
            done = subprocess.run([str(generator), "--port", str(server.port), "--protocol",
                                   protocol, "--connections", str(connections), "--requests",
                                   str(requests)],
                                  capture_output=True, text=True, timeout=600)
        finally:
            tracer.send_signal(signal.SIGINT)
            tracer.wait(timeout=60)
        if done.returncode != 0:
            raise RuntimeError(done.stderr.strip() or f"exit status {done.returncode}")
        answered = json.loads(done.stdout)["requests"]
        text = output.read_text()
    calls = parse_perf_summary(text) if kind == "perf" else parse_strace_summary(text)
    by_kind = {name: number / answered for name, number in
               sorted(calls.items(), key=lambda item: -item[1])}
    return {"per_request": sum(calls.values()) / answered, "by_kind": by_kind,
            "requests": answered, "tracer": kind}


def run(build_dir, gate_binary, servers, connections, requests):
    generator = build_dir / "bench" / "native" / "load_generator"
    results = {}
    with ExitStack() as stack:
        running, skipped = bench_server.start_servers(build_dir, gate_binary, stack)
        for name in servers:
            if name not in running:
                continue
            try:
                results[name] = count(running[name], bench_server.PROTOCOL[name], generator,
                                      connections, requests)
            except (RuntimeError, subprocess.TimeoutExpired, bench_server.Unavailable) as why:
                skipped[name] = str(why)
    return {"results": results, "connections": connections, "requests": requests,
            "skipped": {name: why for name, why in skipped.items() if name in servers}}


def show(report):
    lines = [f"system calls per request, {report['connections']} connections, "
             f"{report['requests']} requests"]
    for name, found in report["results"].items():
        kinds = ", ".join(f"{kind} {per:.2f}" for kind, per in found["by_kind"].items()
                          if per >= 0.01)
        lines.append(f"{bench_server.LABELS[name]:28} {found['per_request']:5.2f}  ({kinds})")
    for name, why in report["skipped"].items():
        lines.append(f"{bench_server.LABELS[name]:28} skipped: {why}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--gate", help="the latchwork-gate executable (default: searched)")
    parser.add_argument("--requests", type=int, default=100_000)
    parser.add_argument("--connections", type=int, default=50)
    parser.add_argument("--servers", default=",".join(bench_server.SERVERS))
    args = parser.parse_args()
    build_dir = args.build_dir.resolve()
    servers = [name for name in args.servers.split(",") if name]
    unknown = set(servers) - set(bench_server.SERVERS)
    if unknown:
        parser.error(f"unknown servers: {', '.join(sorted(unknown))}")
    # Only the servers asked for are started.
    bench_server.SERVERS = tuple(name for name in bench_server.SERVERS if name in servers)
    report = run(build_dir, bench_server.find_gate(build_dir, args.gate), servers,
                 args.connections, args.requests)
    print(show(report), file=sys.stderr)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
