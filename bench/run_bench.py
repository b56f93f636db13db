"""run_bench.py: runs every benchmark of `make bench` and reports them in one table.

    python bench/run_bench.py [--build-dir build/bench] [--no-readme]

Expects the native pieces built in --build-dir (the Makefile does that). Prints the
table, writes it to bench/results/latest.md with the raw numbers beside it
(raw.json), draws bench/results/latency.png and puts the table into README.md
between the bench markers. Benchmarks report; a missed target never fails the run.
"""

import argparse
import datetime
import json
import os
import platform
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pyperf

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
RESULTS = BENCH / "results"
README = ROOT / "README.md"
MARK_START, MARK_END = "<!-- bench:start -->", "<!-- bench:end -->"
SERVER_PICTURE = ROOT / "docs" / "server-bench.png"  # the README shows it
PYPERF_ROUNDS = 5       # alternating single-process pyperf runs per benchmark
GATE_BENCHMARKS = [f"{case}.{impl}" for case in ("submit_new_runs_of_10", "submit_new_one_run",
                                                 "submit_decide", "submit_duplicate")
                   for impl in ("latchwork", "baseline")] + ["floor_noop"]
TAG_BENCHMARKS = {  # name: loops per value, fixed so both sides do the same work
    "decision_tag_short.latchwork": 2**16, "decision_tag_short.baseline": 2**16,
    "sha256_1mib.latchwork": 32, "sha256_1mib.hashlib": 32, "sha256_1mib.hashlib_masked": 32,
}
MEMORY_COUNT = 10**6
LEDGER_SIZES = (10**3, 10**4, 10**5, 10**6)
FLAT_LIMIT = 1.25  # the 10^6 ledger may cost this much more than the 10^3 one: cache misses


def say(message):
    print(f"[bench] {message}", file=sys.stderr, flush=True)


# ---- running the pieces ------------------------------------------------------------

def python_env(build_dir):
    env = dict(os.environ)
    env.pop("OPENSSL_ia32cap", None)  # set only for the masked hashlib case
    parts = [str(build_dir / "bench" / "native"), str(BENCH)]
    if env.get("PYTHONPATH"):
        parts.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(parts)
    return env


def run_pyperf_rounds(script, output_name, names, env, rounds=PYPERF_ROUNDS, loops=None,
                      env_for=None):
    """Median seconds per operation of each named benchmark of a pyperf script.

    pyperf runs one benchmark after another; on this shared machine a busy spell would
    then fall on latchwork or on its baseline only. So each benchmark is run in a few
    single-process rounds, alternating with the others, and the rounds' values are
    appended to one pyperf file, of which the median is taken.
    """
    output = RESULTS / f"{output_name}.json"
    output.unlink(missing_ok=True)
    with open(RESULTS / "pyperf.log", "a") as log:
        for _ in range(rounds):
            for name in names:
                command = [sys.executable, str(BENCH / script), "--quiet", "--processes", "1",
                           "--values", "3", "--warmups", "1", "--inherit-environ",
                           "PYTHONPATH,OPENSSL_ia32cap", "--append", str(output), "--only", name]
                if loops and name in loops:
                    command += ["--loops", str(loops[name])]
                subprocess.run(command, env=env_for(name) if env_for else env, check=True,
                               stdout=log, stderr=subprocess.STDOUT)
    suite = pyperf.BenchmarkSuite.load(str(output))
    return {bench.get_name(): bench.median() for bench in suite.get_benchmarks()}


def run_json_script(script, env, *args, cpu=None):
    """The JSON object a script of ours prints on standard output."""
    done = subprocess.run([sys.executable, str(BENCH / script), *map(str, args)], env=env,
                          check=True, capture_output=True, text=True, preexec_fn=on_cpu(cpu))
    return json.loads(done.stdout)


def run_core(build_dir):
    """Nanoseconds per iteration of each Google Benchmark of the native core (median of 3)."""
    output = RESULTS / "core.json"
    subprocess.run([str(build_dir / "bench" / "native" / "latchwork_core_bench"),
                    "--benchmark_min_time=0.1", "--benchmark_repetitions=3",
                    "--benchmark_report_aggregates_only=true", f"--benchmark_out={output}",
                    "--benchmark_out_format=json"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    report = json.loads(output.read_text())
    return {re.sub(r"/iterations:\d+|/manual_time", "", b["run_name"]):
            b["real_time"] * scale[b["time_unit"]]
            for b in report["benchmarks"] if b.get("aggregate_name") == "median"}


def run_memory(env):
    """Bytes of resident memory per stored effect, each case in a fresh process."""
    return {f"{shape}.{impl}": run_json_script("bench_memory.py", env, impl, shape,
                                               MEMORY_COUNT)["bytes_per_effect"]
            for shape in ("one_run", "runs_of_10") for impl in ("latchwork", "baseline")}


def on_cpu(cpu):
    """For subprocess's preexec_fn: run the child (and all it starts) on one CPU only."""
    return None if cpu is None else (lambda: os.sched_setaffinity(0, {cpu}))


class GateServer:
    """The fixed-answer server, for as long as the with-block lasts."""

    def __init__(self, build_dir, cpu=None):
        self.binary = build_dir / "bench" / "native" / "gate_server"
        self.cpu = cpu

    def __enter__(self):
        # It ends when its standard input closes, so it cannot outlive this process.
        self.process = subprocess.Popen([str(self.binary), "--max-seconds", "900"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        preexec_fn=on_cpu(self.cpu))
        self.port = int(self.process.stdout.readline())
        return self

    def __exit__(self, *exc):
        self.process.stdin.close()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def run_server_bench(build_dir, env):
    """latchwork-gate and Redis under the same closed-loop load (bench_server.py)."""
    return run_json_script("bench_server.py", env, "--build-dir", build_dir)


def run_syscalls_bench(build_dir, env):
    """System calls per request by kind on each server (bench_syscalls.py); a failure of
    the whole script is reported, never raised."""
    try:
        return run_json_script("bench_syscalls.py", env, "--build-dir", build_dir)
    except (subprocess.CalledProcessError, json.JSONDecodeError) as failure:
        why = " ".join(str(getattr(failure, "stderr", "") or failure).split())[-200:]
        say(f"bench_syscalls.py failed: {why}")
        return {"results": {}, "skipped": {}}


def run_postgres_bench(build_dir, env):
    """Two latchwork-gate servers on one PostgreSQL beside pgbench (bench_postgres.py); a
    failure of the whole script is reported, never raised."""
    try:
        return run_json_script("bench_postgres.py", env, "--build-dir", build_dir)
    except (subprocess.CalledProcessError, json.JSONDecodeError) as failure:
        why = " ".join(str(getattr(failure, "stderr", "") or failure).split())[-200:]
        say(f"bench_postgres.py failed: {why}")
        return {"results": {}, "ratios": {}, "skipped": {"gate_postgres": why, "pgbench": why}}


def run_notify_bench(build_dir, env):
    """The SQLite store with and without a webhook receiver attached (bench_notify.py);
    a failure of the whole script is reported, never raised."""
    try:
        return run_json_script("bench_notify.py", env, "--build-dir", build_dir)
    except (subprocess.CalledProcessError, json.JSONDecodeError) as failure:
        why = " ".join(str(getattr(failure, "stderr", "") or failure).split())[-200:]
        say(f"bench_notify.py failed: {why}")
        return {"results": {}, "ratios": {}, "skipped": {"notify": why}}


def run_decisions_bench(build_dir, env):
    """An approver's decision until the waiting worker's release, per store
    (bench_decisions.py); a failure of the whole script is reported, never raised."""
    try:
        return run_json_script("bench_decisions.py", env, "--build-dir", build_dir)
    except (subprocess.CalledProcessError, json.JSONDecodeError) as failure:
        why = " ".join(str(getattr(failure, "stderr", "") or failure).split())[-200:]
        say(f"bench_decisions.py failed: {why}")
        return {"results": {}, "skipped": {"decisions": why}}


def run_store_bench(build_dir):
    """Microseconds per durable commit of the SQLite store, by batch size (median of 3)."""
    binary = build_dir / "bench" / "native" / "latchwork_store_bench"
    if not binary.exists():
        return {}
    output = RESULTS / "store.json"
    subprocess.run([str(binary), "--benchmark_min_time=0.5", "--benchmark_repetitions=3",
                    "--benchmark_report_aggregates_only=true", f"--benchmark_out={output}",
                    "--benchmark_out_format=json"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
    report = json.loads(output.read_text())
    return {re.sub(r"^BM_|/real_time$", "", b["run_name"]): b["real_time"] * scale[b["time_unit"]]
            for b in report["benchmarks"] if b.get("aggregate_name") == "median"}


def run_clients(build_dir, env):
    """Round-trip latency against the C client and the Python client, and throughput.

    On this virtual machine a round trip whose two ends sit on different CPUs costs
    40 to 50 µs, nearly all of it the host waking the idle CPU, against about 13 µs
    when both ends share one; and which connection's server thread the scheduler puts
    where is luck, fixed for the connection's life. So latency is measured with the
    server and all three clients on one CPU, the same for each; throughput, which
    needs both CPUs, on a second server left free.
    """
    c_client = build_dir / "bench" / "native" / "c_client"
    cpu = max(os.sched_getaffinity(0))
    with GateServer(build_dir, cpu) as server:
        report = run_json_script("bench_client.py", env, "latency", server.port, c_client,
                                 cpu=cpu)
    with GateServer(build_dir) as server:
        report["throughput"] = run_json_script("bench_client.py", env, "throughput",
                                               server.port)
    report["throughput"].pop("skipped", None)
    return report


# ---- the table -----------------------------------------------------------------------

@dataclass
class Row:
    operation: str
    latchwork: float | None      # seconds, or bytes when unit is "B"
    baseline: float | None = None
    floor: float | None = None
    target: str = ""
    met: bool | None = None
    unit: str = "s"
    note: str = ""               # shown instead of a missing latchwork value
    paired: dict | None = None   # ratios measured pairwise, used instead of dividing

    def ratio(self, side):
        """latchwork ÷ the "baseline" or the "floor" column."""
        if self.paired is not None:
            return self.paired.get(side)
        other = getattr(self, side)
        if self.latchwork is None or not other:
            return None
        return self.latchwork / other


def show_value(value, unit):
    if value is None:
        return "—"
    if unit == "B":
        return f"{value:.0f} B"
    if unit == "x":
        return f"{value:.2f}×"
    for scale, suffix in ((1e-9, "ns"), (1e-6, "µs"), (1e-3, "ms")):
        if value < scale * 1000:
            shown = value / scale
            return f"{shown:.0f} {suffix}" if shown >= 100 else f"{shown:.3g} {suffix}"
    return f"{value:.3g} s"


def show_ratio(ratio):
    return "—" if ratio is None else f"{ratio:.2f}"


def show_met(met):
    return {True: "met", False: "MISSED", None: ""}[met]


HEADER = ["operation", "latchwork", "baseline (Python)", "floor (native)", "÷ baseline",
          "÷ floor", "target", "status"]


def table_cells(rows):
    cells = []
    for row in rows:
        cells.append([row.operation, row.note or show_value(row.latchwork, row.unit),
                      show_value(row.baseline, row.unit), show_value(row.floor, row.unit),
                      show_ratio(row.ratio("baseline")), show_ratio(row.ratio("floor")),
                      row.target or "—", show_met(row.met)])
    return cells


def text_table(rows):
    cells = [HEADER] + table_cells(rows)
    widths = [max(len(line[i]) for line in cells) for i in range(len(HEADER))]
    lines = ["  ".join(text.ljust(width) for text, width in zip(line, widths)).rstrip()
             for line in cells]
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(lines)


def markdown_table(rows):
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    lines += ["| " + " | ".join(line) + " |" for line in table_cells(rows)]
    return "\n".join(lines)


def at_most(value, limit):
    return None if value is None else value <= limit


def gate_rows(gate, core):
    floor = gate.get("floor_noop")
    cases = [
        ("Gate.submit, new effect (runs of 10)", "submit_new_runs_of_10", 1, 0.25,
         "÷ baseline ≤0.25 (4× faster)"),
        ("Gate.submit, new effect (one run)", "submit_new_one_run", 1, 0.25,
         "÷ baseline ≤0.25 (4× faster)"),
        ("Gate.submit held + Gate.decide", "submit_decide", 2, 0.25,
         "÷ baseline ≤0.25 (4× faster)"),
        ("Gate.submit, duplicate", "submit_duplicate", 1, 1 / 3, "÷ baseline ≤0.33 (3× faster)"),
    ]
    rows = []
    for label, name, calls, limit, target in cases:
        ours, theirs = gate.get(f"{name}.latchwork"), gate.get(f"{name}.baseline")
        rows.append(Row(label, ours, theirs, floor * calls if floor else None, target,
                        at_most(ours / theirs, limit) if ours and theirs else None))
    rows.append(Row("floor: no-op method binding two str (native)", floor))
    for label, name in (("core: gate_submit, new effect (C++)", "BM_SubmitNew"),
                        ("core: gate_submit held + gate_decide (C++)", "BM_SubmitDecide"),
                        ("core: gate_submit, duplicate (C++)", "BM_SubmitDuplicate")):
        if name in core:
            rows.append(Row(label, core[name] * 1e-9))
    return rows


def ledger_rows(ledger, core):
    rows = []
    for operation, core_name in (("cancel", "BM_Cancel"), ("close_run", "BM_CloseRun")):
        for size in LEDGER_SIZES:
            rows.append(Row(f"Gate.{operation}, run of 10, ledger 10^{len(str(size)) - 1}",
                            ledger.get(f"{operation}.{size}.latchwork"),
                            ledger.get(f"{operation}.{size}.baseline")))
        growth = {}
        for impl in ("latchwork", "baseline"):
            small = ledger.get(f"{operation}.{LEDGER_SIZES[0]}.{impl}")
            large = ledger.get(f"{operation}.{LEDGER_SIZES[-1]}.{impl}")
            growth[impl] = large / small if small and large else None
        rows.append(Row(f"Gate.{operation}: time at 10^6 ÷ time at 10^3", growth["latchwork"],
                        growth["baseline"], target=f"flat: ≤{FLAT_LIMIT}",
                        met=at_most(growth["latchwork"], FLAT_LIMIT), unit="x"))
        small = core.get(f"{core_name}/{LEDGER_SIZES[0]}")
        large = core.get(f"{core_name}/{LEDGER_SIZES[-1]}")
        if small and large:
            rows.append(Row(f"core: gate_{operation} at 10^3 / 10^6 (C++)", small * 1e-9,
                            note=f"{show_value(small * 1e-9, 's')} / "
                                 f"{show_value(large * 1e-9, 's')}"))
    return rows


def memory_rows(memory):
    rows = []
    for shape, label in (("runs_of_10", "runs of 10"), ("one_run", "one run")):
        ours, theirs = memory.get(f"{shape}.latchwork"), memory.get(f"{shape}.baseline")
        rows.append(Row(f"memory per stored effect, 10^6 short keys ({label})", ours, theirs,
                        target="÷ baseline ≤0.5",
                        met=at_most(ours / theirs, 0.5) if ours and theirs else None, unit="B"))
    return rows


def run_hostile(build_dir, env):
    """The server's memory under hostile loads (bench_hostile.py); reported only."""
    try:
        return run_json_script("bench_hostile.py", env, "--build-dir", build_dir)
    except (subprocess.CalledProcessError, json.JSONDecodeError) as failed:
        return {"unavailable": str(failed)}


def hostile_rows(hostile):
    if "unavailable" in hostile:
        return [Row("latchwork-gate under hostile loads", None, note=hostile["unavailable"][:80])]
    rows = []
    labels = {"hold_close_memory": "hold-and-close, 4 KB keys, memory: (cap 10,000 entries)",
              "hold_close_sqlite": "hold-and-close, 4 KB keys, sqlite: (retention 1s)",
              "no_read": "200 clients sending without reading",
              "endless_line": "400 connections, each a never-ending 1 MiB line"}
    for name, label in labels.items():
        found = hostile.get(name)
        if not found:
            continue
        rows.append(Row(f"server RSS peak: {label}", found["rss_peak"], target="reported", unit="B"))
        if "ping_max_ms" in found:
            rows.append(Row(f"another client's slowest ping meanwhile: {label}",
                            found["ping_max_ms"] / 1e3, target="reported"))
        if "store_bytes" in found:
            rows.append(Row(f"store file size after: {label}", found["store_bytes"],
                            target="reported", unit="B"))
    return rows


def tag_rows(tag, core):
    ours, theirs = tag.get("decision_tag_short.latchwork"), tag.get("decision_tag_short.baseline")
    rows = [Row("decision_tag, 20-byte secret, short ids (vs hmac.new)", ours, theirs,
                target="÷ baseline ≤0.8", met=at_most(ours / theirs, 0.8) if ours and theirs
                else None)]
    rows.append(Row("SHA-256 of 1 MiB: decision_tag (vs hashlib.sha256)",
                    tag.get("sha256_1mib.latchwork"), tag.get("sha256_1mib.hashlib"),
                    target="reported"))
    rows.append(Row("SHA-256 of 1 MiB: decision_tag (vs hashlib, SHA-NI masked)",
                    tag.get("sha256_1mib.latchwork"), tag.get("sha256_1mib.hashlib_masked"),
                    target="reported"))
    for label, name in (("core: SHA-256 of 1 MiB (C++)", "BM_Sha256_1MiB"),
                        ("core: HMAC-SHA-256, short message (C++)", "BM_HmacShort"),
                        ("core: compute_decision_tag, short ids (C++)", "BM_DecisionTagShort")):
        if name in core:
            rows.append(Row(label, core[name] * 1e-9))
    return rows


def client_rows(clients):
    rows = []
    skipped = clients.get("skipped")
    latency = clients["latency"]
    ratios = clients.get("ratios", {})
    for op in ("ping", "submit", "decide"):
        for stat, label in (("median", "median"), ("p99", "p99")):
            ours, theirs, floor = (latency.get(impl, {}).get(op, {}).get(f"{stat}_ns")
                                   for impl in ("latchwork", "baseline", "c_client"))
            ours, theirs, floor = (None if v is None else v * 1e-9 for v in (ours, theirs, floor))
            paired = {side: ratios[side][op][stat] for side in ratios} if ratios else None
            met = None
            if paired:
                met = paired["floor"] <= 1.15 and paired["baseline"] < 1
            rows.append(Row(f"GateClient.{op} round trip, {label}", ours, theirs, floor,
                            target="÷ floor ≤1.15, ÷ baseline <1", met=met,
                            note="skipped" if skipped else "", paired=paired))
    for op in ("ping", "submit"):
        for stat, label in (("median", "median"), ("p99", "p99")):
            ours, theirs = (latency.get(impl, {}).get(op, {}).get(f"{stat}_ns")
                            for impl in ("approvals", "latchwork"))
            # Its baseline column is GateClient's: what the pure-Python client costs more.
            rows.append(Row(f"latchwork_approvals.Client.{op} round trip, {label} "
                            "(baseline column: GateClient)",
                            None if ours is None else ours * 1e-9,
                            None if theirs is None else theirs * 1e-9, target="reported",
                            note="skipped" if ours is None else ""))
    for config, label in (("1_own", "1 thread"), ("2_own", "2 threads, a client each"),
                          ("4_own", "4 threads, a client each"), ("4_shared", "4 threads, one client")):
        per_call = {impl: 1 / rates[config] for impl, rates in clients["throughput"].items()}
        rows.append(Row(f"GateClient.submit throughput, {label} (wall time per call)",
                        per_call.get("latchwork"), per_call.get("baseline"), target="reported",
                        note="skipped" if skipped else ""))
    return rows


SERVER_PAIRS = (("gate_memory", "redis_nosave", "memory:", "Redis without persistence"),
                ("gate_sqlite", "redis_always", "sqlite:", "Redis appendfsync always"),
                # What a rules file costs: the same store with and without 100 rules.
                ("gate_memory_rules", "gate_memory", "memory: under 100 rules", "memory: no rules"))


def server_rows(server, store):
    """latchwork-gate ÷ Redis: wall time per request and latency, per connection count.

    The baseline column holds Redis, the floor column the fixed-answer server (the
    generator and the loopback alone). Throughput is shown as wall time per request,
    so that below 1 is better here too.
    """
    results, skipped = server.get("results", {}), server.get("skipped", {})

    def value(name, connections, stat):
        found = results.get(name, {}).get(str(connections), {}).get(stat)
        if found is None:
            return None
        return 1 / found if stat == "requests_per_second" else found * 1e-6

    targets = {("gate_sqlite", 50, "requests_per_second"): (0.5, "÷ baseline ≤0.5 (2× Redis)"),
               ("gate_memory", 50, "requests_per_second"): (1.0, "÷ baseline ≤1"),
               ("gate_sqlite", 1, "p50_us"): (1.2, "÷ baseline ≤1.2")}
    rows = []
    for ours, theirs, store_name, redis_name in SERVER_PAIRS:
        note = "skipped: " + skipped[ours] if ours in skipped else ""
        for connections in (1, 8, 50):
            for stat, label in (("requests_per_second", "wall time per request"),
                                ("p50_us", "p50"), ("p99_us", "p99")):
                mine, baseline = value(ours, connections, stat), value(theirs, connections, stat)
                limit, target = targets.get((ours, connections, stat), (None, "reported"))
                met = at_most(mine / baseline, limit) if limit and mine and baseline else None
                rows.append(Row(f"latchwork-gate {store_name} vs {redis_name}, {connections} "
                                f"conn., {label}", mine, baseline,
                                value("fixed_answer", connections, stat), target, met,
                                note=note[:60] if mine is None else ""))
    for name, micros in store.items():
        commit = re.fullmatch(r"CommitNewEffects/batch:(\d+)/runs:(\d+)/folding:(\d)", name)
        fold = re.fullmatch(r"FoldJournal/(\d+)", name)
        if commit:
            runs = "one run" if commit[2] == "1" else f"{commit[2]} runs"
            effects = "1 new effect" if commit[1] == "1" else f"{commit[1]} new effects"
            folding = "" if commit[3] == "1" else ", journal never folded"
            label = f"core: SqliteFile.commit of {effects} of {runs}{folding}, durable (C++)"
        elif fold:
            label = f"core: SqliteFile.fold of {fold[1]} journal changes, durable (C++)"
        else:
            continue
        rows.append(Row(label, micros * 1e-6))
    return rows


def postgres_rows(report):
    """Two servers on one PostgreSQL ÷ pgbench's one-row transactions on the same cluster.

    The baseline column holds pgbench; throughput is shown as wall time per request (below
    1 is better), and once more as the plain ratio of rates (above 1 is better).
    """
    results, skipped = report.get("results", {}), report.get("skipped", {})

    def value(side, connections, stat):
        found = results.get(side, {}).get(str(connections), {}).get(stat)
        if found is None:
            return None
        return 1 / found if stat == "requests_per_second" else found * 1e-6

    note = skipped.get("gate_postgres", "")
    if note.startswith("postgresql store unavailable"):
        note = "postgresql store unavailable"  # the reason in full is in raw.json
    rows = []
    for connections in (1, 50):
        for stat, label in (("requests_per_second", "wall time per request"),
                            ("p50_us", "p50"), ("p99_us", "p99")):
            mine, baseline = value("gate_postgres", connections, stat), value("pgbench",
                                                                              connections, stat)
            target, met = "reported", None
            if connections == 50 and stat == "requests_per_second":
                target = "÷ baseline ≤0.33 (3× pgbench)"
                met = at_most(mine / baseline, 1 / 3) if mine and baseline else None
            rows.append(Row(f"latchwork-gate ×2 on postgresql: vs pgbench INSERT, {connections} "
                            f"conn., {label}", mine, baseline, target=target, met=met,
                            note=note[:60] if mine is None and note else ""))
        ratio = report.get("ratios", {}).get(str(connections))
        rows.append(Row(f"latchwork-gate ×2 on postgresql: requests/s ÷ pgbench tps, "
                        f"{connections} conn.", ratio, unit="x",
                        note=note[:60] if ratio is None and note else ""))
    return rows


SERVER_SUMMARY = (("fixed_answer", "floor: one thread, epoll, a fixed verdict per line"),
                  ("gate_memory", "latchwork-gate, memory store"),
                  ("gate_memory_rules", "latchwork-gate, memory store, 100 rules that match nothing"),
                  ("gate_sqlite", "latchwork-gate, SQLite store"),
                  ("redis_nosave", "Redis, no persistence"),
                  ("redis_always", "Redis, appendfsync always"))


def notify_summary(notify):
    """The SQLite store holding every request, with and without a webhook receiver."""
    if not notify.get("results"):
        return "\n\nWebhooks: not measured (" + "; ".join(notify.get("skipped", {}).values()) + ")"
    lines = ["\n\nWebhooks (`bench/bench_notify.py`: the SQLite store, every submit held, "
             "so every request is announced; a local receiver answering 204 at once, or "
             "after 0.5 s):\n",
             "| connections | req/s without | with a receiver (÷ without) | with a slow receiver (÷ without) | p50 without, with, slow (µs) |",
             "|---|---|---|---|---|"]
    results, ratios = notify["results"], notify["ratios"]
    without, fast, slow = (results[case] for case in
                           ("without_webhooks", "with_webhooks", "with_slow_webhooks"))
    for count in without:
        lines.append(f"| {count} | {without[count]['requests_per_second']:,.0f} | "
                     f"{fast[count]['requests_per_second']:,.0f} ({ratios['with_webhooks'][count]:.2f}) | "
                     f"{slow[count]['requests_per_second']:,.0f} ({ratios['with_slow_webhooks'][count]:.2f}) | "
                     f"{without[count]['p50_us']:.0f}, {fast[count]['p50_us']:.0f}, {slow[count]['p50_us']:.0f} |")
    return "\n".join(lines)


DECISION_GOALS = (("memory", "memory:, one server", 1.0), ("sqlite", "sqlite:, one server", 1.0),
                  ("postgres", "PostgreSQL, worker on one server, approver on another", 20.0))


def decisions_summary(decisions):
    """How soon an approver's decision releases the worker waiting for it, per store."""
    measured = decisions.get("results", {}).get("gate", {})
    if not measured:
        return ("\n\nDecisions reaching a waiting worker: not measured ("
                + "; ".join(decisions.get("skipped", {}).values()) + ")")
    lines = ["\n\nDecisions reaching a waiting worker (`bench/bench_decisions.py`: a worker's "
             "submit held with a long `wait_ms`; timed from just before the approver's "
             "`POST /api/decide`, on a kept-alive console connection, until the worker's "
             f"socket reads its release; {decisions.get('decisions')} decisions per store):\n",
             "| store | p50 (ms) | p99 (ms) | max (ms) | goal: p50 | status |",
             "|---|---|---|---|---|---|"]
    for store, label, goal in DECISION_GOALS:
        found = measured.get(store)
        if found is None:
            why = decisions.get("skipped", {}).get(store, "not measured")
            lines.append(f"| {label} | — | — | — | ≤ {goal:g} ms | {why[:60]} |")
            continue
        lines.append(f"| {label} | {found['p50_ms']:.2f} | {found['p99_ms']:.2f} | "
                     f"{found['max_ms']:.1f} | ≤ {goal:g} ms | "
                     f"{show_met(found['p50_ms'] <= goal and not found['unexpected'])} |")
    return "\n".join(lines)


def server_summary(server, syscalls, postgres):
    """The servers side by side, measured in one run: requests/s at 50 connections and
    its ratio to the floor's, p50 at one connection, system calls per request; then the
    PostgreSQL pair beside pgbench."""
    results = server.get("results", {})
    floor = results.get("fixed_answer", {}).get("50", {}).get("requests_per_second")
    floor_calls = syscalls.get("results", {}).get("fixed_answer", {}).get("per_request")
    lines = ["| server | requests/s at 50 | ÷ floor | p50 at 1 (µs) | system calls per "
             "request at 50 | ÷ floor's calls |", "|---|---|---|---|---|---|"]
    for name, label in SERVER_SUMMARY:
        rate = results.get(name, {}).get("50", {}).get("requests_per_second")
        p50 = results.get(name, {}).get("1", {}).get("p50_us")
        calls = syscalls.get("results", {}).get(name, {}).get("per_request")
        cells = [label, f"{rate:,.0f}" if rate else "—",
                 f"{rate / floor:.2f}" if rate and floor else "—",
                 f"{p50:.0f}" if p50 else "—", f"{calls:.2f}" if calls else "—",
                 f"{calls / floor_calls:.2f}" if calls and floor_calls else "—"]
        lines.append("| " + " | ".join(cells) + " |")
    pg = postgres.get("results", {})
    for connections in ("50", "1"):
        ours = pg.get("gate_postgres", {}).get(connections, {})
        theirs = pg.get("pgbench", {}).get(connections, {})
        rate, base = ours.get("requests_per_second"), theirs.get("requests_per_second")
        if not (rate and base):
            continue
        lines.append(f"| two latchwork-gate servers on one PostgreSQL vs pgbench's one-row "
                     f"INSERT … ON CONFLICT DO NOTHING, {connections} conn. | {rate:,.0f} vs "
                     f"{base:,.0f} | {rate / base:.2f}× pgbench | {ours.get('p50_us', 0):.0f} "
                     f"vs {theirs.get('p50_us', 0):.0f} | — | — |")
    return "\n".join(lines)


def draw_servers(server, path):
    """Requests/s at 50 connections and p50 at one, by server, as two bar charts."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    results = server.get("results", {})
    shown = [(label.split(":")[0], results[name]) for name, label in SERVER_SUMMARY
             if name in results]
    if not shown:
        return
    fig, (rates, latencies) = plt.subplots(1, 2, figsize=(11, 0.5 * len(shown) + 1.6))
    labels = [label for label, _ in shown]
    colors = ["#7a7a7a" if label.startswith("floor") else "#1f6fb4"
              if label.startswith("latchwork") else "#e08a1e" for label in labels]
    rates.barh(labels, [r.get("50", {}).get("requests_per_second", 0) / 1e3 for _, r in shown],
               color=colors)
    rates.set_xlabel("thousand requests/s, 50 connections (more is better)")
    latencies.barh(labels, [r.get("1", {}).get("p50_us", 0) for _, r in shown], color=colors)
    latencies.set_xlabel("p50 µs, one connection (less is better)")
    latencies.set_yticks([])
    rates.invert_yaxis()
    latencies.invert_yaxis()
    fig.suptitle("latchwork-gate beside the floor and Redis, measured in one run")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---- outputs -------------------------------------------------------------------------

def draw_plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    timed = [row for row in rows if row.unit == "s" and not row.operation.startswith("core")
             and (row.latchwork or row.baseline)]
    fig, axis = plt.subplots(figsize=(11, 0.42 * len(timed) + 1.5))
    positions = range(len(timed))
    height = 0.27
    for offset, (attribute, label, color) in enumerate((("latchwork", "latchwork", "#1f6fb4"),
                                                        ("baseline", "Python baseline", "#e08a1e"),
                                                        ("floor", "native floor", "#7a7a7a"))):
        values = [getattr(row, attribute) or 0 for row in timed]
        axis.barh([p + (offset - 1) * height for p in positions], values, height, label=label,
                  color=color)
    axis.set_yticks(list(positions), [row.operation for row in timed], fontsize=8)
    axis.invert_yaxis()
    axis.set_xscale("log")
    axis.set_xlim(left=5e-9)
    axis.set_xlabel("time per operation (seconds, log scale)")
    axis.set_title("latchwork: latency per operation")
    axis.legend(loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def update_readme(markdown):
    text = README.read_text()
    if MARK_START not in text or MARK_END not in text:
        say("README.md has no bench markers; left alone")
        return
    head, rest = text.split(MARK_START, 1)
    _, tail = rest.split(MARK_END, 1)
    README.write_text(f"{head}{MARK_START}\n{markdown}\n{MARK_END}{tail}")


def machine_line():
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{datetime.date.today().isoformat()}, {cpu}, {os.cpu_count()} cores, "
            f"Python {platform.python_version()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--no-readme", action="store_true", help="leave README.md as it is")
    args = parser.parse_args()
    build_dir = args.build_dir.resolve()
    RESULTS.mkdir(parents=True, exist_ok=True)
    (RESULTS / "pyperf.log").unlink(missing_ok=True)
    env = python_env(build_dir)

    say("Gate methods (pyperf)")
    gate = run_pyperf_rounds("bench_gate.py", "gate", GATE_BENCHMARKS, env)
    say("cancel and close_run by ledger size (interleaved rounds)")
    ledger = run_json_script("bench_ledger.py", env)
    say("decision_tag and SHA-256 (pyperf)")
    masked = dict(env, OPENSSL_ia32cap=":~0x20000000")  # OpenSSL without its SHA extensions
    tag = run_pyperf_rounds("bench_tag.py", "tag", list(TAG_BENCHMARKS), env,
                            loops=TAG_BENCHMARKS,
                            env_for=lambda name: masked if name.endswith("_masked") else env)
    say("memory per effect (fresh processes)")
    memory = run_memory(env)
    say("native core (Google Benchmark)")
    core = run_core(build_dir)
    say("client round trips against the test server")
    clients = run_clients(build_dir, env)
    say("latchwork-gate and Redis under closed-loop load")
    server = run_server_bench(build_dir, env)
    say("system calls per request, by kind")
    syscalls = run_syscalls_bench(build_dir, env)
    say("durable commits of the SQLite store (Google Benchmark)")
    store = run_store_bench(build_dir)
    say("two latchwork-gate servers on one PostgreSQL, and pgbench")
    postgres = run_postgres_bench(build_dir, env)

    say("latchwork-gate with and without a webhook receiver")
    notify = run_notify_bench(build_dir, env)
    say("an approver's decision until the waiting worker's release")
    decisions = run_decisions_bench(build_dir, env)
    say("latchwork-gate's memory under hostile loads")
    hostile = run_hostile(build_dir, env)

    hostile_table = hostile_rows(hostile)  # reported, not plotted beside the timings
    rows = (gate_rows(gate, core) + ledger_rows(ledger, core) + memory_rows(memory)
            + tag_rows(tag, core) + client_rows(clients) + server_rows(server, store)
            + postgres_rows(postgres) + hostile_table)
    raw = {"gate": gate, "ledger": ledger, "tag": tag, "memory": memory, "core": core,
           "clients": clients, "server": server, "store": store, "postgres": postgres,
           "syscalls": syscalls, "notify": notify, "decisions": decisions,
           "hostile": hostile,
           "machine": machine_line()}
    (RESULTS / "raw.json").write_text(json.dumps(raw, indent=1))

    print(text_table(rows))
    markdown = (f"Measured by `make bench` ({machine_line()}). Baselines: the plain-Python "
                f"gate and client in `bench/`, `hmac.new(...).hexdigest()`, `hashlib.sha256`. "
                f"Floors: a native no-op method binding the same two str arguments (Gate "
                f"rows, per call), a minimal C client sending each request in one write "
                f"(GateClient rows). Ratios are latchwork's time (or memory) divided by the "
                f"baseline's or the floor's: below 1 is better; for the GateClient round trips "
                f"they are medians of per-chunk ratios, the three clients taking turns in "
                f"chunks of 200 calls, and p99 is the median of the chunks' 99th "
                f"percentiles. latchwork-gate rows: `bench/native/load_generator` keeps 1, 8 "
                f"or 50 connections busy, one request in flight each (submit of a new effect; "
                f"for Redis `SET key 1 NX` of a new key); their baseline is Redis, their floor "
                f"the fixed-answer server. \"on postgresql\" rows: two servers on one local "
                f"PostgreSQL, the generator's 1 or 50 connections dealt over both; their "
                f"baseline is pgbench on the same cluster, one `INSERT ... ON CONFLICT DO "
                f"NOTHING` of a new row per transaction with as many clients. \"core\" rows "
                f"time the C++ core alone.\n\n"
                + markdown_table(rows)
                + "\n\nThe servers side by side (requests/s and p50 are medians of the "
                  "interleaved rounds; system calls per request are counted by "
                  "`bench/bench_syscalls.py` over 10^5 requests at 50 connections):\n\n"
                + server_summary(server, syscalls, postgres)
                + f"\n\n![requests/s and p50 by server]({SERVER_PICTURE.relative_to(ROOT)})"
                + notify_summary(notify) + decisions_summary(decisions))
    (RESULTS / "latest.md").write_text(markdown + "\n")
    draw_plot([row for row in rows if row not in hostile_table], RESULTS / "latency.png")
    draw_servers(server, SERVER_PICTURE)
    if not args.no_readme:
        update_readme(markdown)
    missed = [row.operation for row in rows if row.met is False]
    say(f"targets missed: {len(missed)}" + ("".join(f"\n  - {m}" for m in missed)))
    say(f"written: {RESULTS / 'latest.md'}, {RESULTS / 'latency.png'}, README.md")


if __name__ == "__main__":
    main()
