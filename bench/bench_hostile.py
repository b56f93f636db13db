"""bench_hostile.py: the gate server's memory under hostile loads, and another client's ping meanwhile.

    python bench/bench_hostile.py [--gate PATH] [--build-dir DIR] [--seconds S]

Starts latchwork-gate on loopback for each load and prints one JSON object: the
server's resident set (VmRSS of /proc/PID/status) before, at its peak and after each
load, and the round-trip time of a ping sent by one more client while it runs.

  hold_close_memory, hold_close_sqlite   hold-and-close cycles with 4 KB effect keys
                                         (the audit log: memory store capped by entries,
                                         SQLite by retention; the file's size is reported)
  no_read                                200 clients sending requests without reading
  endless_line                           400 connections each sending a 1 MiB line
                                         that never ends (closed by --line-timeout 3s)

The clients come from several loopback addresses (127.0.0.2, ...) so that the
per-peer cap, reported separately, does not hide the per-connection cost. Every
loop is bounded in count and in time. Reports only; nothing here fails on a number.
"""

import argparse
import json
import os
import selectors
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench_server import find_gate

KEY_BYTES = 4096
PER_ADDRESS = 50  # connections per source address, under any per-peer cap of 64 or more


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


class Gate:
    def __init__(self, binary, store_kind, extra=()):
        self.directory = tempfile.TemporaryDirectory(prefix="latchwork-hostile-")
        self.db = Path(self.directory.name) / "gate.db"
        store = f"sqlite:{self.db}" if store_kind == "sqlite" else "memory:"
        self.errors = open(Path(self.directory.name) / "stderr.txt", "w+")
        self.process = subprocess.Popen(
            [str(binary), "serve", "--listen", "127.0.0.1:0", "--store", store, *extra],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.errors, text=True)
        line = self.process.stdout.readline().strip()
        if not line.startswith("listening on "):
            self.close()
            raise RuntimeError(f"latchwork-gate did not start: {line!r}")
        self.port = int(line.rsplit(":", 1)[1])

    def rss(self):
        return rss_bytes(self.process.pid)

    def store_bytes(self):
        return sum(p.stat().st_size for p in self.db.parent.glob(self.db.name + "*")
                   if p.is_file())

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.errors.close()
        self.directory.cleanup()


def connect(port, source="127.0.0.1", timeout=5):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sock.bind((source, 0))
    sock.settimeout(timeout)
    sock.connect(("127.0.0.1", port))
    return sock


def source_address(i):
    return f"127.0.0.{2 + i // PER_ADDRESS}"


class Pinger:
    """One more client: a ping at a time, its round trips kept."""

    def __init__(self, port):
        self.sock = connect(port, timeout=30)
        self.times = []
        self.failed = 0

    def once(self):
        started = time.perf_counter()
        try:
            self.sock.sendall(b'{"op":"ping"}\n')
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = self.sock.recv(4096)
                if not chunk:
                    raise OSError("closed")
                reply += chunk
            self.times.append(time.perf_counter() - started)
        except OSError:
            self.failed += 1

    def report(self):
        if not self.times:
            return {"pings": 0, "failed": self.failed}
        ordered = sorted(self.times)
        return {"pings": len(ordered), "failed": self.failed,
                "ping_median_ms": round(statistics.median(ordered) * 1e3, 3),
                "ping_max_ms": round(ordered[-1] * 1e3, 3)}


def hold_close(gate, seconds):
    """Hold an effect with a 4 KB key, close its run, over and over, pipelined."""
    sock = connect(gate.port, timeout=30)
    pinger = Pinger(gate.port)
    before, peak, cycles = gate.rss(), 0, 0
    deadline = time.monotonic() + seconds
    key = "k" * KEY_BYTES
    while time.monotonic() < deadline and cycles < 10**7:
        batch = []
        for _ in range(64):
            run = f"r{cycles}"
            batch.append(json.dumps({"op": "submit", "run_id": run, "effect_key": key,
                                     "needs_approval": True}))
            batch.append(json.dumps({"op": "close_run", "run_id": run}))
            cycles += 1
        sock.sendall(("\n".join(batch) + "\n").encode())
        replies = 0
        buffer = b""
        while replies < len(batch):
            chunk = sock.recv(1 << 16)
            if not chunk:
                raise RuntimeError("the server closed the connection")
            buffer += chunk
            replies += chunk.count(b"\n")
        if cycles % 1024 == 0:
            peak = max(peak, gate.rss())
            pinger.once()
    peak = max(peak, gate.rss())
    sock.close()
    return {"cycles": cycles, "rss_before": before, "rss_peak": peak, **pinger.report()}


def no_read(gate, clients, seconds):
    """Clients that send tiny requests (each answered by a longer error reply) and never read."""
    socks = [connect(gate.port, source_address(i)) for i in range(clients)]
    for sock in socks:
        sock.setblocking(False)
    pinger = Pinger(gate.port)
    before, peak = gate.rss(), 0
    chunk = b"x\n" * 32768  # 64 KiB of one-byte lines
    sent = [0] * clients
    deadline = time.monotonic() + seconds
    limit = 16 << 20  # per client, at most
    while time.monotonic() < deadline:
        progress = False
        for i, sock in enumerate(socks):
            if sent[i] >= limit:
                continue
            try:
                sent[i] += sock.send(chunk)
                progress = True
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                sent[i] = limit
        peak = max(peak, gate.rss())
        pinger.once()
        if not progress:
            time.sleep(0.05)
    peak = max(peak, gate.rss())
    result = {"clients": clients, "sent_mib_per_client": round(statistics.mean(sent) / 2**20, 2),
              "rss_before": before, "rss_peak": peak,
              "rss_per_client": (peak - before) // clients, **pinger.report()}
    for sock in socks:
        sock.close()
    return result


def endless_line(gate, connections, seconds):
    """Connections each sending a line of 1 MiB less one byte, its line feed never sent."""
    socks = [connect(gate.port, source_address(i)) for i in range(connections)]
    for sock in socks:
        sock.setblocking(False)
    pinger = Pinger(gate.port)
    before, peak = gate.rss(), 0
    line = b"a" * ((1 << 20) - 1)
    sent = [0] * connections
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for i, sock in enumerate(socks):
            if sent[i] >= len(line):
                continue
            try:
                sent[i] += sock.send(line[sent[i]:sent[i] + (1 << 16)])
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                sent[i] = len(line)
        peak = max(peak, gate.rss())
        pinger.once()
        time.sleep(0.01)
    peak = max(peak, gate.rss())
    result = {"connections": connections,
              "sent_mib": round(sum(sent) / 2**20, 1), "rss_before": before, "rss_peak": peak,
              "rss_per_connection": (peak - before) // connections, **pinger.report()}
    # The line timeout (3 s here) closes every one of them.
    time.sleep(4)
    closed = 0
    for sock in socks:
        try:
            closed += sock.recv(1) == b""
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
        sock.close()
    result.update(closed_by_line_timeout=closed, rss_after=gate.rss())
    return result


def per_peer_cap(gate, tries=80):
    """How many connections one address keeps open of `tries`."""
    socks = [connect(gate.port) for _ in range(tries)]
    time.sleep(0.3)
    alive = 0
    for sock in socks:
        sock.setblocking(False)
        try:
            alive += sock.recv(1) != b""  # b"": closed by the server
        except BlockingIOError:
            alive += 1
        except OSError:
            pass
        sock.close()
    return {"tried": tries, "kept": alive}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gate", help="the latchwork-gate executable (default: searched)")
    parser.add_argument("--build-dir", type=Path, default=Path("build/bench"))
    parser.add_argument("--seconds", type=float, default=4.0)
    args = parser.parse_args()
    binary = find_gate(args.build_dir.resolve(), args.gate)
    if binary is None:
        print(json.dumps({"unavailable": "no latchwork-gate executable"}))
        return
    results = {}
    for kind in ("memory", "sqlite"):
        # Bounds small enough to be reached within the run: a short retention for
        # SQLite, a cap of 10,000 entries for memory (the default 100,000 of 4 KB keys
        # would take longer to fill than the run lasts).
        extra = (["--audit-retention", "1s"] if kind == "sqlite"
                 else ["--audit-max-entries", "10000"])
        gate = Gate(binary, kind, extra)
        try:
            results[f"hold_close_{kind}"] = hold_close(gate, args.seconds)
            if kind == "sqlite":
                results[f"hold_close_{kind}"]["store_bytes"] = gate.store_bytes()
        finally:
            gate.close()
    for name, load, count, extra in (("no_read", no_read, 200, []),
                                     ("endless_line", endless_line, 400, ["--line-timeout", "3s"])):
        gate = Gate(binary, "memory", extra)
        try:
            results[name] = load(gate, count, args.seconds)
        finally:
            gate.close()
    gate = Gate(binary, "memory", ["--max-connections-per-peer", "64"])
    try:
        results["per_peer_cap"] = per_peer_cap(gate)
    finally:
        gate.close()
    print(json.dumps(results))


if __name__ == "__main__":
    sys.exit(main())
