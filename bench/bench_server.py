"""bench_server.py: latchwork-gate against Redis, closed-loop load from one native generator.

    python bench/bench_server.py --build-dir build/bench [--seconds S] [--rounds N]
                                 [--connections 1,8,50] [--gate PATH] [--baseline-gate PATH]

Prints one JSON object on standard output and a readable table on standard error.

The servers: Redis (Debian's redis-server) without persistence and with
`appendonly yes` + `appendfsync always`, each in a temporary directory on a free
port; latchwork-gate on `memory:` and on `sqlite:` in a temporary directory, when an
executable is found (--gate, the build directory, the running interpreter's scripts
directory, PATH); and the floor (bench/native/floor_server.c): one thread on epoll
answering every line with a fixed verdict, parsing and storing nothing, which shows
what the generator, the loopback and the least an event-loop server does cost.

bench/native/load_generator keeps N connections busy, one request in flight on
each: a submit of a new effect on our line protocol, `SET key 1 NX` with a new key on
Redis's. Every server is started once and kept for the whole run; the measurements
go round the servers and the connection counts in turns, repeated --rounds times,
so a busy spell of this shared machine falls on all of them alike. The report
holds, per server and connection count, the median over the rounds of requests per
second, p50 and p99.
A server that cannot be started is reported as skipped, with the reason.

--baseline-gate PATH adds the memory: and sqlite: servers of another latchwork-gate
(an earlier commit's build, say) to the same rounds, so a change is measured against
what it replaces under the same spells of the shared machine.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SERVERS = ("fixed_answer", "gate_memory", "gate_memory_rules", "gate_sqlite", "redis_nosave",
           "redis_always")
BASELINE_SERVERS = ("baseline_memory", "baseline_sqlite")
PROTOCOL = {"fixed_answer": "line", "gate_memory": "line", "gate_memory_rules": "line",
            "gate_sqlite": "line",
            "redis_nosave": "resp", "redis_always": "resp",
            "baseline_memory": "line", "baseline_sqlite": "line"}
LABELS = {"fixed_answer": "fixed-answer server", "gate_memory": "latchwork-gate memory:",
          "gate_memory_rules": "memory:, 100 rules",
          "gate_sqlite": "latchwork-gate sqlite:", "redis_nosave": "Redis, no persistence",
          "redis_always": "Redis, appendfsync always",
          "baseline_memory": "baseline gate memory:", "baseline_sqlite": "baseline gate sqlite:"}
READY_SECONDS = 15


def say(message):
    print(f"[bench_server] {message}", file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def stop_process(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Unavailable(Exception):
    """A server that cannot run here; the message says why."""


class Redis:
    def __init__(self, durable):
        self.durable = durable

    def __enter__(self):
        binary = shutil.which("redis-server")
        if binary is None:
            raise Unavailable("no redis-server (make deps-bench installs it)")
        self.directory = tempfile.TemporaryDirectory(prefix="latchwork-redis-")
        self.port = free_port()
        persistence = (["--appendonly", "yes", "--appendfsync", "always"] if self.durable
                       else ["--appendonly", "no"])
        self.process = subprocess.Popen(
            [binary, "--port", str(self.port), "--bind", "127.0.0.1", "--dir",
             self.directory.name, "--save", "", "--daemonize", "no", "--logfile", "",
             *persistence],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.wait_ready()
        except BaseException:
            self.__exit__()
            raise
        return self

    def wait_ready(self):
        deadline = time.monotonic() + READY_SECONDS
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise Unavailable(f"redis-server exited with {self.process.returncode}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as probe:
                    probe.sendall(b"PING\r\n")
                    if probe.recv(64).startswith(b"+PONG"):
                        return
            except OSError:
                time.sleep(0.05)
        raise Unavailable("redis-server did not answer PING")

    def __exit__(self, *exc):
        stop_process(self.process)
        self.directory.cleanup()


class FixedAnswer:
    """The floor: one thread on epoll answering every line with a fixed verdict."""

    def __init__(self, build_dir):
        self.binary = build_dir / "bench" / "native" / "floor_server"

    def __enter__(self):
        if not self.binary.exists():
            raise Unavailable(f"no {self.binary}")
        # It ends when its standard input closes, so it cannot outlive this process.
        self.process = subprocess.Popen([str(self.binary), "--max-seconds", "1800"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port = int(self.process.stdout.readline())
        return self

    def __exit__(self, *exc):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def find_gate(build_dir, given):
    if given:
        return Path(given)
    candidates = [build_dir / "latchwork-gate", build_dir / "src" / "server" / "latchwork-gate",
                  Path(sys.executable).parent / "latchwork-gate"]
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which("latchwork-gate")
    return Path(found) if found else None


# What a submit costs under a long rules file: each of the load generator's submits
# (new effects, no detail) is tried against every rule and matches none.
RULES_COUNT = 100


def rules_text(count=RULES_COUNT):
    return "".join(f'[[rule]]\nname = "rule {n}"\neffect = "other-{n}:*"\naction = "hold"\n\n'
                   for n in range(count))


class Gate:
    """latchwork-gate on a free port, from its ready line until the with-block ends."""

    def __init__(self, binary, store, rules=False):
        self.binary = binary
        self.store = store
        self.rules = rules

    def __enter__(self):
        if self.binary is None:
            raise Unavailable("no latchwork-gate executable")
        self.directory = tempfile.TemporaryDirectory(prefix="latchwork-gate-")
        store = (f"sqlite:{self.directory.name}/gate.db" if self.store == "sqlite"
                 else "memory:")
        self.errors = open(Path(self.directory.name) / "stderr.txt", "w+")
        rules = []
        if self.rules:
            path = Path(self.directory.name) / "rules.toml"
            path.write_text(rules_text())
            rules = ["--rules", str(path)]
        self.process = subprocess.Popen(
            [str(self.binary), "serve", "--listen", "127.0.0.1:0", "--store", store, *rules],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.errors, text=True)
        line = self.process.stdout.readline().strip()
        if not line.startswith("listening on "):
            stop_process(self.process)
            why = self.why()
            self.__exit__()
            raise Unavailable(f"latchwork-gate --store {store} did not start: {why}")
        self.port = int(line.rsplit(":", 1)[1])
        return self

    def why(self):
        self.errors.seek(0)
        text = " ".join(self.errors.read().split())
        return text[:300] or f"exit status {self.process.poll()}"

    def __exit__(self, *exc):
        stop_process(self.process)
        self.process.stdout.close()
        self.errors.close()
        self.directory.cleanup()


def measure(generator, port, protocol, connections, seconds, *extra):
    done = subprocess.run([str(generator), "--port", str(port), "--protocol", protocol,
                           "--connections", str(connections), "--seconds", str(seconds),
                           "--warmup", "0.5", *extra],
                          capture_output=True, text=True, timeout=seconds + 60)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip() or f"exit status {done.returncode}")
    return json.loads(done.stdout)


def start_servers(build_dir, gate_binary, stack, baseline_binary=None):
    """Every server that can run here, started; and the reason for each that cannot."""
    makers = {"fixed_answer": lambda: FixedAnswer(build_dir),
              "gate_memory": lambda: Gate(gate_binary, "memory"),
              "gate_memory_rules": lambda: Gate(gate_binary, "memory", rules=True),
              "gate_sqlite": lambda: Gate(gate_binary, "sqlite"),
              "redis_nosave": lambda: Redis(durable=False),
              "redis_always": lambda: Redis(durable=True),
              "baseline_memory": lambda: Gate(baseline_binary, "memory"),
              "baseline_sqlite": lambda: Gate(baseline_binary, "sqlite")}
    running, skipped = {}, {}
    for name in SERVERS + (BASELINE_SERVERS if baseline_binary else ()):
        try:
            running[name] = stack.enter_context(makers[name]())
        except Unavailable as why:
            skipped[name] = str(why)
            say(f"{LABELS[name]} skipped ({why})")
    return running, skipped


def run(build_dir, gate_binary, connection_counts, seconds, rounds, baseline_binary=None):
    from contextlib import ExitStack

    generator = build_dir / "bench" / "native" / "load_generator"
    samples = {}
    with ExitStack() as stack:
        running, skipped = start_servers(build_dir, gate_binary, stack, baseline_binary)
        # Rounds outermost: a slow spell of the shared disk then falls on one round of
        # every connection count rather than on every round of one.
        for round_number in range(rounds):
            for connections in connection_counts:
                order = list(running)
                turn = round_number % len(order) if order else 0
                for name in order[turn:] + order[:turn]:
                    try:
                        result = measure(generator, running[name].port, PROTOCOL[name],
                                         connections, seconds)
                    except (RuntimeError, subprocess.TimeoutExpired) as failure:
                        skipped[name] = f"load generator failed: {failure}"
                        say(f"{LABELS[name]}, {connections} connections: {failure}")
                        continue
                    if result["unexpected_replies"]:
                        say(f"{LABELS[name]}: {result['unexpected_replies']} unexpected "
                            f"replies, the first {result['first_unexpected_reply']!r}")
                    samples.setdefault(name, {}).setdefault(connections, []).append(result)
    results = {}
    for name, by_count in samples.items():
        results[name] = {}
        for connections, runs in by_count.items():
            results[name][str(connections)] = {
                "requests_per_second": statistics.median(r["requests_per_second"] for r in runs),
                "p50_us": statistics.median(r["p50_us"] for r in runs),
                "p99_us": statistics.median(r["p99_us"] for r in runs),
                "unexpected_replies": sum(r["unexpected_replies"] for r in runs),
                "rounds": len(runs),
            }
    return {"results": results, "skipped": {name: skipped[name] for name in skipped
                                            if name not in results},
            "seconds": seconds, "rounds": rounds,
            "gate": str(gate_binary) if gate_binary else None,
            "baseline_gate": str(baseline_binary) if baseline_binary else None}


def rate_lines(report, labels, width):
    """The table of a closed-loop report: per side (in `labels` order) and connection
    count, requests per second, p50 and p99; a skipped side with its reason."""
    lines = [f"{'':{width}} {'conns':>5} {'req/s':>10} {'p50 µs':>9} {'p99 µs':>9}"]
    for side, label in labels.items():
        for connections, values in report["results"].get(side, {}).items():
            lines.append(f"{label:{width}} {connections:>5} {values['requests_per_second']:>10.0f} "
                         f"{values['p50_us']:>9.1f} {values['p99_us']:>9.1f}")
        if side in report["skipped"]:
            lines.append(f"{label:{width}} skipped: {report['skipped'][side]}")
    return lines


def show(report):
    return "\n".join(rate_lines(report, {name: LABELS[name] for name in SERVERS + BASELINE_SERVERS}, 28))


def command_line(doc, run, show, seconds, connections):
    """The command line both server benchmarks share: runs `run` and prints its report
    as a table on standard error and as JSON on standard output."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--gate", help="the latchwork-gate executable (default: searched)")
    parser.add_argument("--seconds", type=float, default=seconds, help="counted seconds per run")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--connections", default=connections)
    baseline = os.environ.get("LATCHWORK_BASELINE_GATE")
    parser.add_argument("--baseline-gate", type=Path, default=Path(baseline) if baseline else None,
                        help="another latchwork-gate measured in the same rounds "
                             "(default: $LATCHWORK_BASELINE_GATE, which `make bench` passes on)")
    args = parser.parse_args()
    build_dir = args.build_dir.resolve()
    counts = [int(count) for count in args.connections.split(",")]
    extra = {"baseline_binary": args.baseline_gate.resolve()} if args.baseline_gate else {}
    report = run(build_dir, find_gate(build_dir, args.gate), counts, args.seconds, args.rounds, **extra)
    print(show(report), file=sys.stderr)
    print(json.dumps(report))


def main():
    command_line(__doc__, run, show, 2.0, "1,8,50")


if __name__ == "__main__":
    main()
