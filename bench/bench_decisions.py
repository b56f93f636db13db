"""bench_decisions.py: from an approver's decision to the waiting worker's release.

    python bench/bench_decisions.py [--build-dir build/bench] [--gate PATH]
                                    [--baseline-gate PATH] [--decisions 200]
                                    [--stores memory,sqlite,postgres]

Prints one JSON object on standard output and a readable table on standard error.

For each store (memory:, sqlite: in a temporary directory, and PostgreSQL shared by
two servers: tests/postgres_cluster.py starts a cluster of its own) a worker keeps one
line connection on a server and submits, one at a time, a new effect that needs
approval with a long `wait_ms`. Once the console lists it as held, the approver sends
`POST /api/decide` on a kept-alive console connection (so no connection setup is
counted); the time is taken from just before that request is written to the moment
the worker's socket has read its "release" line. On PostgreSQL the worker waits on
server A and the approver decides on server B. The report holds p50, p99 and max in
ms over --decisions decisions per store, after a few uncounted ones.

--baseline-gate PATH (default $LATCHWORK_BASELINE_GATE) measures another
latchwork-gate's servers beside these, the two taking turns in chunks of decisions,
so a busy spell of this shared machine falls on both.
"""

import argparse
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
from contextlib import ExitStack
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "bench"))

from bench_postgres import migrate, percentile  # noqa: E402
from bench_server import find_gate, stop_process  # noqa: E402
from postgres_cluster import PostgresCluster, Unavailable  # noqa: E402

STORES = ("memory", "sqlite", "postgres")
TOKEN = "bench-approver-token"
RUN_ID = "bench-decisions"
WARMUP = 10        # decisions made before the counted ones, per server pair
CHUNK = 20         # counted decisions in a row before the other gate's turn
WAIT_MS = 60_000   # the worker's wait: far longer than any decision takes
HELD_SECONDS = 10  # how long an effect may take to be listed as held
REPLY_SECONDS = 30  # how long the worker waits for its answer before the run fails


def say(message):
    print(f"[bench_decisions] {message}", file=sys.stderr, flush=True)


class Server:
    """latchwork-gate serve with its console, from its ready lines until the block ends."""

    def __init__(self, binary, store, approvers, directory):
        self.command = [str(binary), "serve", "--listen", "127.0.0.1:0", "--store", store,
                        "--console", "127.0.0.1:0", "--approvers", str(approvers)]
        self.directory = directory

    def __enter__(self):
        self.errors = tempfile.TemporaryFile("w+", dir=self.directory)
        self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=self.errors, text=True)
        listening = self.process.stdout.readline().strip()
        console = self.process.stdout.readline().strip()
        if not (listening.startswith("listening on ") and console.startswith("console on ")):
            stop_process(self.process)
            self.errors.seek(0)
            why = " ".join(self.errors.read().split())[:300] or f"exit {self.process.poll()}"
            self.__exit__()
            raise Unavailable(f"serve did not start: {why}")
        self.port = int(listening.rsplit(":", 1)[1])
        self.console_port = int(console.rstrip("/").rsplit(":", 1)[1])
        return self

    def __exit__(self, *exc):
        stop_process(self.process)
        self.process.stdout.close()
        self.errors.close()


class Worker:
    """One line connection submitting held effects that wait for their decision."""

    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=REPLY_SECONDS)
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def submit(self, effect_key):
        self.socket.sendall(json.dumps(
            {"op": "submit", "run_id": RUN_ID, "effect_key": effect_key,
             "needs_approval": True, "wait_ms": WAIT_MS}, separators=(",", ":")).encode() + b"\n")

    def read_line(self):
        while b"\n" not in self.buffer:
            data = self.socket.recv(65536)
            if not data:
                raise RuntimeError("the server closed the worker's connection")
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line

    def close(self):
        self.socket.close()


class Approver:
    """One kept-alive connection to a console, with the approver's token."""

    def __init__(self, port):
        self.connection = http.client.HTTPConnection("127.0.0.1", port, timeout=REPLY_SECONDS)
        self.connection.connect()
        self.connection.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.headers = {"Authorization": f"Bearer {TOKEN}", "Content-Type": "application/json"}

    def call(self, method, path, body=None):
        self.connection.request(method, path, body=body, headers=self.headers)
        return self.reply()

    def reply(self):
        response = self.connection.getresponse()
        data = response.read()
        if response.status != 200:
            raise RuntimeError(f"console answered {response.status}: {data[:200]!r}")
        return json.loads(data)

    def wait_until_held(self, effect_key):
        deadline = time.monotonic() + HELD_SECONDS
        while time.monotonic() < deadline:
            items = self.call("GET", f"/api/pending?run={RUN_ID}&limit=100")["items"]
            if any(item["effect_key"] == effect_key for item in items):
                return
            time.sleep(0.001)
        raise RuntimeError(f"{effect_key} was not listed as held within {HELD_SECONDS} s")

    def close(self):
        self.connection.close()


class Pair:
    """A worker on one server and an approver on another (or the same), and its timings."""

    def __init__(self, worker_server, approver_server):
        self.worker = Worker(worker_server.port)
        self.approver = Approver(approver_server.console_port)
        self.made = 0
        self.seconds = []
        self.unexpected = []

    def decide_one(self, counted=True):
        key = f"e{self.made}"
        self.made += 1
        self.worker.submit(key)
        self.approver.wait_until_held(key)
        body = json.dumps({"run_id": RUN_ID, "effect_key": key, "approved": True,
                           "reason": ""}).encode()
        started = time.perf_counter()
        self.approver.connection.request("POST", "/api/decide", body=body,
                                         headers=self.approver.headers)
        line = self.worker.read_line()
        elapsed = time.perf_counter() - started
        verdict = self.approver.reply().get("verdict")
        if json.loads(line) != {"verdict": "release"} or verdict != "approved":
            self.unexpected.append(f"{line.decode(errors='replace')[:100]} / {verdict}")
        elif counted:
            self.seconds.append(elapsed)

    def close(self):
        self.worker.close()
        self.approver.close()

    def summary(self):
        values = sorted(self.seconds)
        return {"decisions": len(values), "p50_ms": percentile(values, 0.5) * 1e3,
                "p99_ms": percentile(values, 0.99) * 1e3,
                "max_ms": (values[-1] if values else 0.0) * 1e3,
                "unexpected": len(self.unexpected), "first_unexpected": self.unexpected[:1]}


def start_pairs(stack, store, gates, directory, approvers, cluster):
    """For each gate, its worker and approver on the store; PostgreSQL's on two servers."""
    pairs = {}
    for side, binary in gates.items():
        if store == "postgres":
            url = cluster.create_database(f"decisions_{side}")
            migrate(binary, url)
            first, second = (stack.enter_context(Server(binary, url, approvers, directory))
                             for _ in range(2))
        else:
            url = "memory:" if store == "memory" else f"sqlite:{directory}/{side}.db"
            first = second = stack.enter_context(Server(binary, url, approvers, directory))
        pair = Pair(first, second)
        stack.callback(pair.close)
        pairs[side] = pair
    return pairs


def measure_store(store, gates, decisions, directory, approvers, cluster):
    with ExitStack() as stack:
        pairs = start_pairs(stack, store, gates, directory, approvers, cluster)
        for pair in pairs.values():
            for _ in range(WARMUP):
                pair.decide_one(counted=False)
        done = 0
        while done < decisions:
            chunk = min(CHUNK, decisions - done)
            for pair in pairs.values():
                for _ in range(chunk):
                    pair.decide_one()
            done += chunk
        return {side: pair.summary() for side, pair in pairs.items()}


def run(gate_binary, baseline_binary, decisions, stores):
    gates = {"gate": gate_binary}
    if baseline_binary:
        gates["baseline"] = baseline_binary
    results, skipped = {}, {}
    if gate_binary is None:
        return {"results": {}, "skipped": {store: "no latchwork-gate executable"
                                           for store in stores}}
    with tempfile.TemporaryDirectory(prefix="latchwork-decisions-") as directory:
        approvers = Path(directory) / "approvers"
        approvers.write_text(f"ada:{TOKEN}\n")
        os.chmod(approvers, 0o600)
        cluster = PostgresCluster() if "postgres" in stores else None
        try:
            for store in stores:
                try:
                    if store == "postgres":
                        cluster.start()
                    say(f"{store}: {decisions} decisions")
                    for side, summary in measure_store(store, gates, decisions, directory,
                                                       approvers, cluster).items():
                        results.setdefault(side, {})[store] = summary
                except (Unavailable, RuntimeError, OSError, subprocess.TimeoutExpired) as why:
                    skipped[store] = " ".join(str(why).split())[:300]
                    say(f"{store} skipped: {skipped[store]}")
        finally:
            if cluster is not None:
                cluster.destroy()
    return {"results": results, "skipped": skipped, "decisions": decisions,
            "gate": str(gate_binary), "baseline_gate": str(baseline_binary) if baseline_binary
            else None}


LABELS = {"memory": "memory:, one server", "sqlite": "sqlite:, one server",
          "postgres": "postgresql, across two servers"}


def show(report):
    lines = [f"{'':10}{'store':34}{'p50 ms':>9}{'p99 ms':>9}{'max ms':>9}  decisions"]
    for side, by_store in report["results"].items():
        for store, result in by_store.items():
            lines.append(f"{side:10}{LABELS[store]:34}{result['p50_ms']:9.2f}"
                         f"{result['p99_ms']:9.2f}{result['max_ms']:9.2f}  {result['decisions']}"
                         + (f"  ({result['unexpected']} unexpected: "
                            f"{result['first_unexpected'][0]})" if result["unexpected"] else ""))
    for store, why in report["skipped"].items():
        lines.append(f"{store}: skipped, {why}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--gate", help="the latchwork-gate executable (default: searched)")
    baseline = os.environ.get("LATCHWORK_BASELINE_GATE")
    parser.add_argument("--baseline-gate", type=Path, default=Path(baseline) if baseline else None,
                        help="another latchwork-gate measured in the same turns "
                             "(default: $LATCHWORK_BASELINE_GATE)")
    parser.add_argument("--decisions", type=int, default=200, help="counted decisions per store")
    parser.add_argument("--stores", default=",".join(STORES))
    args = parser.parse_args()
    stores = [store for store in args.stores.split(",") if store]
    unknown = set(stores) - set(STORES)
    if unknown:
        parser.error(f"unknown stores: {', '.join(sorted(unknown))}")
    report = run(find_gate(args.build_dir.resolve(), args.gate),
                 args.baseline_gate.resolve() if args.baseline_gate else None,
                 args.decisions, stores)
    print(show(report), file=sys.stderr)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
