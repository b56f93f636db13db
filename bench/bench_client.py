"""bench_client.py: GateClient round trips against the fixed-answer server, beside the Python client.

    python bench/bench_client.py latency PORT C_CLIENT [--chunks N] [--chunk-size N]
    python bench/bench_client.py throughput PORT [--seconds S]

Prints one JSON object.

Latency: every call of ping, submit and decide is timed on its own, so the median and
99th percentile can be read. The three clients (the C client, driven through its
--chunks mode, GateClient and the Python client) take turns in short chunks of a few
hundred calls, the turn order rotating, so that whatever else the machine is doing
falls on all three alike; the ratios reported are medians over the chunks of the
per-chunk ratios, the absolute numbers medians over the chunks of each chunk's
median and 99th percentile. run_bench.py runs this with the server on the same CPU
(see there why).

latchwork_approvals.Client takes its turns too, for latency only: its round trips are
reported beside GateClient's.

Throughput: calls per second with 1, 2 and 4 threads each on its own client, and with
4 threads sharing one client. Each is the median of a few short bursts, the two
clients alternating and every burst on new connections and threads: on this virtual
machine a round trip between two CPUs costs several times one within a CPU, and
where the scheduler puts each connection's threads holds for the connection's life.

When latchwork has no GateClient yet the object says so and latchwork is not measured.
"""

import argparse
import json
import statistics
import subprocess
import threading
import time

import baseline_client
import latchwork
import latchwork_approvals

OPERATIONS = {
    "ping": lambda client: client.ping(),
    "submit": lambda client: client.submit("run-1", "email:42"),
    "decide": lambda client: client.decide("run-1", "email:42", True),
}
CLIENTS = {"baseline": baseline_client.GateClient}
if hasattr(latchwork, "GateClient"):
    CLIENTS["latchwork"] = latchwork.GateClient
# The approvals package's blocking client, measured for latency beside GateClient.
LATENCY_ONLY = {"approvals": lambda address: latchwork_approvals.Client(address)}
CHUNK_WARMUP = 20


def percentile(sorted_samples, fraction):
    return sorted_samples[min(len(sorted_samples) - 1, int(len(sorted_samples) * fraction))]


def python_chunk(client, call, size):
    clock = time.perf_counter_ns
    for _ in range(CHUNK_WARMUP):
        call(client)
    samples = []
    for _ in range(size):
        began = clock()
        call(client)
        samples.append(clock() - began)
    return samples


class CClient:
    """The C client in its chunk mode, on a connection of its own."""

    def __init__(self, path, port):
        self.process = subprocess.Popen([path, str(port), "--chunks"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def chunk(self, op, size):
        self.process.stdin.write(f"{op} {size} {CHUNK_WARMUP}\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the C client stopped")
        return [int(value) for value in line.split()]

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def latency(address, c_client_path, port, chunks, size):
    runners = {"c_client": CClient(c_client_path, port)}
    clients = {impl: make(address) for impl, make in {**CLIENTS, **LATENCY_ONLY}.items()}
    for impl, client in clients.items():
        runners[impl] = client
    stats = {impl: {op: [] for op in OPERATIONS} for impl in runners}
    order = list(runners)
    try:
        for chunk_number in range(chunks):
            turn = order[chunk_number % len(order):] + order[:chunk_number % len(order)]
            for op, call in OPERATIONS.items():
                for impl in turn:
                    if impl == "c_client":
                        samples = runners[impl].chunk(op, size)
                    else:
                        samples = python_chunk(runners[impl], call, size)
                    samples.sort()
                    stats[impl][op].append((statistics.median(samples),
                                            percentile(samples, 0.99)))
    finally:
        runners["c_client"].close()

    def summary(impl, op):
        chunks_of = stats[impl][op]
        return {"median_ns": statistics.median(m for m, _ in chunks_of),
                "p99_ns": statistics.median(q for _, q in chunks_of)}

    def paired(impl, other, op):
        pairs = list(zip(stats[impl][op], stats[other][op]))
        return {"median": statistics.median(a[0] / b[0] for a, b in pairs),
                "p99": statistics.median(a[1] / b[1] for a, b in pairs)}

    report = {"latency": {impl: {op: summary(impl, op) for op in OPERATIONS} for impl in stats}}
    if "latchwork" in stats:
        report["ratios"] = {
            "floor": {op: paired("latchwork", "c_client", op) for op in OPERATIONS},
            "baseline": {op: paired("latchwork", "baseline", op) for op in OPERATIONS},
        }
    return report


def throughput(make_client, address, threads, shared, seconds):
    """Calls per second of submit, over all threads, for `seconds` of wall time."""
    if shared:
        one = make_client(address)
        clients = [one] * threads
    else:
        clients = [make_client(address) for _ in range(threads)]
    start = threading.Barrier(threads + 1)
    stop = threading.Event()
    counts = [0] * threads

    def work(index):
        client, done = clients[index], 0
        start.wait()
        while not stop.is_set():
            for _ in range(50):
                client.submit("run-1", "email:42")
            done += 50
        counts[index] = done

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - began)


def throughput_report(address, seconds, bursts):
    configs = {"1_own": (1, False), "2_own": (2, False), "4_own": (4, False),
               "4_shared": (4, True)}
    rates = {impl: {config: [] for config in configs} for impl in CLIENTS}
    order = list(CLIENTS)
    for config, (threads, shared) in configs.items():
        for burst in range(bursts):
            for impl in order[burst % 2:] + order[:burst % 2]:
                rates[impl][config].append(
                    throughput(CLIENTS[impl], address, threads, shared, seconds))
    return {impl: {config: statistics.median(values) for config, values in by_config.items()}
            for impl, by_config in rates.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("latency", "throughput"))
    parser.add_argument("port", type=int)
    parser.add_argument("c_client", nargs="?", help="path of the C client (latency)")
    parser.add_argument("--chunks", type=int, default=50)
    parser.add_argument("--chunk-size", type=int, default=200)
    parser.add_argument("--seconds", type=float, default=0.3, help="per throughput burst")
    parser.add_argument("--bursts", type=int, default=6)
    args = parser.parse_args()
    address = f"127.0.0.1:{args.port}"
    if args.mode == "latency":
        if not args.c_client:
            parser.error("latency needs the path of the C client")
        report = latency(address, args.c_client, args.port, args.chunks, args.chunk_size)
    else:
        report = throughput_report(address, args.seconds, args.bursts)
    if "latchwork" not in CLIENTS:
        report["skipped"] = "latchwork has no GateClient yet"
    print(json.dumps(report))


if __name__ == "__main__":
    main()
