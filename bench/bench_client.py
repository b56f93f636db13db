"""bench_client.py: GateClient round trips against the fixed-answer server, beside the Python client.

    python bench/bench_client.py latency PORT {latchwork|baseline} [--count N]
    python bench/bench_client.py throughput PORT [--seconds S]

Prints one JSON object. Latency: every call of ping, submit and decide is timed on
its own (after a warm-up) and the median and 99th percentile are reported, which a
mean over loops could not give; run_bench.py alternates rounds of this with the C
client so that a busy moment of the machine does not fall on one of them only.
Throughput: calls per second with 1, 2 and 4 threads each on its own client, and
with 4 threads sharing one client. When latchwork has no GateClient yet the object
says so and latchwork is not measured.
"""

import argparse
import json
import statistics
import threading
import time

import baseline_client
import latchwork

WARMUP = 2000
OPERATIONS = {
    "ping": lambda client: client.ping(),
    "submit": lambda client: client.submit("run-1", "email:42"),
    "decide": lambda client: client.decide("run-1", "email:42", True),
}
CLIENTS = {"baseline": baseline_client.GateClient}
if hasattr(latchwork, "GateClient"):
    CLIENTS["latchwork"] = latchwork.GateClient


def percentile(sorted_samples, fraction):
    return sorted_samples[min(len(sorted_samples) - 1, int(len(sorted_samples) * fraction))]


def latency(make_client, address, count):
    client = make_client(address)
    results = {}
    clock = time.perf_counter_ns
    for name, call in OPERATIONS.items():
        for _ in range(WARMUP):
            call(client)
        samples = []
        for _ in range(count):
            began = clock()
            call(client)
            samples.append(clock() - began)
        samples.sort()
        results[name] = {"median_ns": statistics.median(samples),
                         "p99_ns": percentile(samples, 0.99)}
    return results


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("latency", "throughput"))
    parser.add_argument("port", type=int)
    parser.add_argument("impl", nargs="?", choices=("latchwork", "baseline"))
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--seconds", type=float, default=1.5)
    args = parser.parse_args()
    address = f"127.0.0.1:{args.port}"
    report = {}
    if "latchwork" not in CLIENTS:
        report["skipped"] = "latchwork has no GateClient yet"
    if args.mode == "latency":
        if args.impl in CLIENTS:
            report.update(latency(CLIENTS[args.impl], address, args.count))
    else:
        for impl, make_client in CLIENTS.items():
            report[impl] = {
                f"{threads}_own": throughput(make_client, address, threads, False, args.seconds)
                for threads in (1, 2, 4)
            }
            report[impl]["4_shared"] = throughput(make_client, address, 4, True, args.seconds)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
