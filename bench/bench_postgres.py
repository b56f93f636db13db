"""bench_postgres.py: two latchwork-gate servers on one PostgreSQL beside pgbench on it.

    python bench/bench_postgres.py --build-dir build/bench [--seconds S] [--rounds N]
                                   [--connections 1,50] [--gate PATH] [--baseline-gate PATH]

Prints one JSON object on standard output and a readable table on standard error.

Starts its own PostgreSQL cluster (tests/postgres_cluster.py: a temporary directory, a
free port, fsync on), migrates a database for the gate and starts two latchwork-gate
servers on it; bench/native/load_generator keeps N connections busy, dealt out over
both servers, each submitting new effects one at a time. Beside it, on the same
cluster, pgbench runs a script of one `INSERT ... ON CONFLICT DO NOTHING` of a new row
per transaction with N clients: what PostgreSQL itself does per durable commit. The
two take turns for --rounds rounds; the report holds the medians of requests (or
transactions) per second, p50 and p99, and the ratio gate ÷ pgbench per connection
count. When the gate cannot run on PostgreSQL the pgbench figures are still reported,
with the reason the gate's are missing. --baseline-gate PATH adds a pair of another
latchwork-gate's servers (an earlier commit's build, say) on a database of their own,
measured in the same rounds.
"""

import json
import statistics
import subprocess
import sys
import tempfile
from contextlib import ExitStack
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "bench"))

from bench_server import command_line, rate_lines, stop_process  # noqa: E402
from postgres_cluster import (SUPERUSER, PostgresCluster, Unavailable, clean_environment,  # noqa: E402
                              find_client)

READY_SECONDS = 30
PGBENCH_SCRIPT = """\\set key :client_id * 1000000000000 + random(1, 999999999999)
INSERT INTO bench_rows (k) VALUES (:key) ON CONFLICT DO NOTHING;
"""


def say(message):
    print(f"[bench_postgres] {message}", file=sys.stderr, flush=True)


class GateOnPostgres:
    """latchwork-gate serve on the given store, from its ready line until the block ends."""

    def __init__(self, binary, url, directory):
        self.binary, self.url, self.directory = binary, url, directory

    def __enter__(self):
        self.errors = tempfile.TemporaryFile("w+", dir=self.directory)
        self.process = subprocess.Popen(
            [str(self.binary), "serve", "--listen", "127.0.0.1:0", "--store", self.url],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.errors, text=True)
        line = self.process.stdout.readline().strip()
        if not line.startswith("listening on "):
            stop_process(self.process)
            why = self.why()
            self.__exit__()
            raise Unavailable(f"serve did not start: {why}")
        self.port = int(line.rsplit(":", 1)[1])
        return self

    def why(self):
        self.errors.seek(0)
        return " ".join(self.errors.read().split())[:300] or f"exit status {self.process.poll()}"

    def __exit__(self, *exc):
        stop_process(self.process)
        self.process.stdout.close()
        self.errors.close()


def migrate(binary, url):
    done = subprocess.run([str(binary), "migrate", "--store", url], capture_output=True,
                          text=True, timeout=120)
    if done.returncode != 0:
        text = " ".join((done.stderr or done.stdout).split())[:300]
        raise Unavailable(f"migrate failed ({done.returncode}): {text}")


def start_gates(stack, gate_binary, cluster, directory, database="gate_bench"):
    """Two servers on one migrated database; their ports."""
    if gate_binary is None:
        raise Unavailable("no latchwork-gate executable")
    url = cluster.create_database(database)
    migrate(gate_binary, url)
    return [stack.enter_context(GateOnPostgres(gate_binary, url, directory)).port
            for _ in range(2)]


def prepare_pgbench(cluster, directory):
    pgbench = find_client("pgbench", cluster.binaries)
    if pgbench is None:
        raise Unavailable("no pgbench (Debian's postgresql has it)")
    cluster.create_database("pgbench_rows")
    cluster.psql("pgbench_rows", "CREATE TABLE bench_rows (k bigint PRIMARY KEY)")
    script = Path(directory) / "insert_row.sql"
    script.write_text(PGBENCH_SCRIPT)
    return pgbench, script


def percentile(sorted_values, fraction):
    if not sorted_values:
        return 0.0
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def run_pgbench(pgbench, script, cluster, clients, seconds, directory):
    """Transactions per second and latency percentiles (µs, from pgbench's per-transaction
    log) of one pgbench run."""
    logs = Path(tempfile.mkdtemp(prefix="pgbench-log-", dir=directory))
    done = subprocess.run(
        [pgbench, "--no-vacuum", "--file", str(script), "--client", str(clients),
         "--jobs", str(min(clients, 2)), "--time", str(max(1, round(seconds))),
         "--protocol", "prepared", "--log", "--log-prefix", str(logs / "tx"),
         "--host", "127.0.0.1", "--port", str(cluster.port), "--username", SUPERUSER,
         "pgbench_rows"],
        capture_output=True, text=True, timeout=seconds + 120, env=clean_environment(),
        cwd=logs)
    if done.returncode != 0:
        raise RuntimeError(" ".join(done.stderr.split())[:300] or f"exit {done.returncode}")
    tps = None
    for line in done.stdout.splitlines():
        if line.startswith("tps = "):
            tps = float(line.split()[2])
    if tps is None:
        raise RuntimeError(f"no tps line in pgbench's output: {done.stdout[-300:]}")
    latencies = sorted(int(line.split()[2]) for log in logs.iterdir()
                       for line in log.read_text().splitlines() if line.strip())
    return {"requests_per_second": tps, "p50_us": float(percentile(latencies, 0.5)),
            "p99_us": float(percentile(latencies, 0.99))}


def medians(runs):
    return {stat: statistics.median(run[stat] for run in runs)
            for stat in ("requests_per_second", "p50_us", "p99_us")} | {"rounds": len(runs)}


def run(build_dir, gate_binary, counts, seconds, rounds, baseline_binary=None):
    generator = build_dir / "bench" / "native" / "load_generator"
    samples = {"gate_postgres": {}, "pgbench": {}, "baseline_postgres": {}}
    skipped = {}
    cluster = PostgresCluster()
    with ExitStack() as stack:
        stack.callback(cluster.destroy)  # also what a failed start left behind
        try:
            cluster.start()
        except (Unavailable, RuntimeError, subprocess.TimeoutExpired) as why:
            return {"results": {}, "skipped": {"gate_postgres": str(why), "pgbench": str(why)},
                    "ratios": {}, "seconds": seconds, "rounds": rounds}
        directory = str(cluster.directory)
        ports = {}
        gates = {"gate_postgres": (gate_binary, "gate_bench")}
        if baseline_binary:
            gates["baseline_postgres"] = (baseline_binary, "baseline_bench")
        for side, (binary, database) in gates.items():
            try:
                ports[side] = start_gates(stack, binary, cluster, directory, database)
            except Unavailable as why:
                skipped[side] = f"postgresql store unavailable: {why}"
                say(skipped[side])
        pgbench = None
        try:
            pgbench, script = prepare_pgbench(cluster, directory)
        except (Unavailable, RuntimeError) as why:
            skipped["pgbench"] = str(why)
            say(f"pgbench skipped: {why}")
        for round_number in range(rounds):
            for connections in counts:
                # Who goes first alternates, so neither always meets a fresher cluster.
                sides = [*gates, "pgbench"][::1 if round_number % 2 == 0 else -1]
                for side in sides:
                    if side in skipped:
                        continue
                    try:
                        if side == "pgbench":
                            result = run_pgbench(pgbench, script, cluster, connections, seconds,
                                                 directory)
                        else:
                            result = measure_gates(generator, ports[side], connections, seconds)
                    except (RuntimeError, subprocess.TimeoutExpired, ValueError) as failure:
                        skipped[side] = f"run failed: {failure}"
                        say(f"{side}, {connections} connections: {failure}")
                        continue
                    samples[side].setdefault(connections, []).append(result)
    results = {side: {str(c): medians(runs) for c, runs in by_count.items()}
               for side, by_count in samples.items() if by_count}
    ratios = {}
    for connections in counts:
        gate = results.get("gate_postgres", {}).get(str(connections))
        base = results.get("pgbench", {}).get(str(connections))
        if gate and base and base["requests_per_second"]:
            ratios[str(connections)] = gate["requests_per_second"] / base["requests_per_second"]
    return {"results": results, "ratios": ratios,
            "skipped": {side: why for side, why in skipped.items() if side not in results},
            "seconds": seconds, "rounds": rounds,
            "gate": str(gate_binary) if gate_binary else None,
            "baseline_gate": str(baseline_binary) if baseline_binary else None}


def measure_gates(generator, ports, connections, seconds):
    """The load generator's connections dealt over both servers in turn."""
    arguments = [str(generator)]
    for port in ports:
        arguments += ["--port", str(port)]
    done = subprocess.run([*arguments, "--protocol", "line", "--connections", str(connections),
                           "--seconds", str(seconds), "--warmup", "0.5"],
                          capture_output=True, text=True, timeout=seconds + 60)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip() or f"exit status {done.returncode}")
    result = json.loads(done.stdout)
    if result["unexpected_replies"]:
        say(f"latchwork-gate: {result['unexpected_replies']} unexpected replies, the first "
            f"{result['first_unexpected_reply']!r}")
    return result


LABELS = {"gate_postgres": "latchwork-gate ×2, postgresql:", "pgbench": "pgbench INSERT row",
          "baseline_postgres": "baseline gate ×2, postgresql:"}


def show(report):
    lines = rate_lines(report, LABELS, 32)
    for connections, ratio in report["ratios"].items():
        lines.append(f"gate ÷ pgbench, {connections} connections: {ratio:.2f}×")
    return "\n".join(lines)


def main():
    command_line(__doc__, run, show, 3.0, "1,50")


if __name__ == "__main__":
    main()
