"""profile_postgres.py: where PostgreSQL's time goes per request of two latchwork-gate
servers, beside pgbench's one-row transaction on the same cluster.

    python bench/profile_postgres.py --build-dir build/bench [--seconds S]
                                     [--connections N] [--gate PATH]

Starts the cluster of bench_postgres.py with pg_stat_statements loaded, puts N
connections of load on the two servers, then N pgbench clients, and prints for each:
the rate, the CPU its PostgreSQL backends took per request (sampled from /proc while
they run, so backends that end with pgbench are counted), the WAL written per request,
and the statements by total execution time. Reports only; a profile, not a benchmark.
"""

import argparse
import os
import sys
import threading
import time
from contextlib import ExitStack
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
sys.path.insert(0, str(ROOT / "bench"))

import bench_postgres  # noqa: E402
from bench_server import find_gate  # noqa: E402
from postgres_cluster import PostgresCluster  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
WAL = "SELECT wal_records, wal_bytes, wal_sync FROM pg_stat_wal"
STATEMENTS = """SELECT calls, total_plan_time, total_exec_time, rows, shared_blks_hit,
                       left(regexp_replace(query, '\\s+', ' ', 'g'), 100)
                FROM pg_stat_statements WHERE calls > 10
                ORDER BY total_plan_time + total_exec_time DESC LIMIT 8"""


class ProfiledCluster(PostgresCluster):
    def _write_settings(self):
        super()._write_settings()
        with open(self.data / "postgresql.conf", "a") as conf:
            conf.write("shared_preload_libraries = 'pg_stat_statements'\n"
                       "pg_stat_statements.track_planning = on\n")


class BackendCpu:
    """CPU seconds of every PostgreSQL process seen while it samples, by pid: the last
    reading of each, so a backend that ends keeps what it had used."""

    def __init__(self):
        self.seen = {}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)

    def read(self):
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    if not cmdline.read().startswith(b"postgres:"):
                        continue
                with open(f"/proc/{pid}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue  # ended meanwhile
            self.seen[pid] = (int(fields[11]) + int(fields[12])) / TICKS

    def sample(self):
        while not self.stop.wait(0.1):
            self.read()

    def __enter__(self):
        self.read()
        self.before = dict(self.seen)
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()
        self.read()
        self.seconds = sum(used - self.before.get(pid, 0.0) for pid, used in self.seen.items())


def profile(cluster, database, label, run):
    """Runs `run` (which returns its report) with the counters reset around it."""
    cluster.psql(database, "SELECT pg_stat_statements_reset()")
    wal_before = [float(value) for value in cluster.psql(database, WAL)[0]]
    with BackendCpu() as cpu:
        started = time.monotonic()
        report = run()
        elapsed = time.monotonic() - started
    wal_after = [float(value) for value in cluster.psql(database, WAL)[0]]
    # The generator's warm-up is answered too: count what was answered in the whole run.
    answered = report["requests_per_second"] * elapsed
    records, size, syncs = (after - before for before, after in zip(wal_before, wal_after))
    print(f"\n{label}: {report['requests_per_second']:,.0f} per second, p50 "
          f"{report['p50_us']:,.0f} µs")
    print(f"  PostgreSQL CPU per request {1e6 * cpu.seconds / answered:.1f} µs; WAL per "
          f"request {records / answered:.2f} records, {size / answered:.0f} bytes, "
          f"{syncs / answered:.3f} flushes")
    print("  calls | µs planning per request | µs executing per request | rows | buffers hit"
          " | statement")
    for calls, plan_ms, exec_ms, rows, hits, query in cluster.psql(database, STATEMENTS):
        print(f"  {calls} | {1000 * float(plan_ms) / answered:.1f} | "
              f"{1000 * float(exec_ms) / answered:.1f} | {rows} | {hits} | {query}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--gate", type=Path, help="the latchwork-gate executable")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--connections", type=int, default=50)
    arguments = parser.parse_args()
    gate = find_gate(arguments.build_dir, arguments.gate)
    generator = arguments.build_dir / "bench" / "native" / "load_generator"
    cluster = ProfiledCluster()
    with ExitStack() as stack:
        stack.callback(cluster.destroy)
        cluster.start()
        directory = str(cluster.directory)
        ports = bench_postgres.start_gates(stack, gate, cluster, directory)
        pgbench, script = bench_postgres.prepare_pgbench(cluster, directory)
        for database in ("gate_bench", "pgbench_rows"):
            cluster.psql(database, "CREATE EXTENSION pg_stat_statements")
        bench_postgres.measure_gates(generator, ports, arguments.connections, 1)  # warm
        profile(cluster, "gate_bench", f"two latchwork-gate servers, {arguments.connections} "
                "connections",
                lambda: bench_postgres.measure_gates(generator, ports, arguments.connections,
                                                     arguments.seconds))
        profile(cluster, "pgbench_rows", f"pgbench one-row INSERT, {arguments.connections} clients",
                lambda: bench_postgres.run_pgbench(pgbench, script, cluster, arguments.connections,
                                                   arguments.seconds, directory))


if __name__ == "__main__":
    main()
