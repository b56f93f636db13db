"""bench_notify.py: latchwork-gate's throughput with a webhook receiver attached, beside the same without.

    python bench/bench_notify.py [--build-dir build/bench] [--gate PATH] [--seconds 2]

The SQLite store, under the closed-loop load generator with `--hold yes`: every submit
holds a new effect, so every request leaves an audit entry and, with `--notify`, a
webhook to deliver. The receiver is a local HTTP server answering 204 at once, or after
half a second (a slow receiver). The configurations take turns for --rounds rounds; the report gives the median rate and p50
of each, their ratio, and how many notifications the receiver took while notifying.
Report only: a webhook is delivered on the notifier's own thread, so the ratio shows
what delivery costs the gate on a machine whose cores it shares.
"""

import http.server
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_server import Unavailable, command_line, measure, stop_process  # noqa: E402

CASES = ("without_webhooks", "with_webhooks", "with_slow_webhooks")


class Receiver(http.server.ThreadingHTTPServer):
    """Counts the POSTs it takes and answers each 204, after `delay` seconds."""

    def __init__(self, delay=0.0):
        self.received = 0
        self.lock = threading.Lock()
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                self.rfile.read(int(self.headers.get("Content-Length", 0)))
                time.sleep(delay)
                with receiver.lock:
                    receiver.received += 1
                self.send_response(204)
                self.end_headers()

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()


def start_gate(binary, directory, receiver):
    secret = Path(directory) / "notify.secret"
    secret.write_text("bench-secret-of-sixteen-bytes-or-more")
    os.chmod(secret, 0o600)
    command = [str(binary), "serve", "--listen", "127.0.0.1:0",
               "--store", f"sqlite:{directory}/gate.db"]
    if receiver is not None:
        command += ["--notify", f"http://127.0.0.1:{receiver.server_port}/hook",
                    "--notify-secret-file", str(secret)]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    line = process.stdout.readline().strip()
    if not line.startswith("listening on "):
        stop_process(process)
        raise Unavailable(f"latchwork-gate did not start: {line or process.poll()}")
    return process, int(line.rsplit(":", 1)[1])


def run(build_dir, gate_binary, connection_counts, seconds, rounds, baseline_binary=None):
    # Its ratios are of one build against itself (with webhooks ÷ without), so a
    # baseline gate, which the shared command line passes on, is not measured here.
    del baseline_binary
    generator = build_dir / "bench" / "native" / "load_generator"
    if gate_binary is None or not generator.exists():
        return {"results": {}, "skipped": {case: "no latchwork-gate or load generator"
                                           for case in CASES}}
    samples = {(case, count): [] for case in CASES for count in connection_counts}
    received = 0
    for _ in range(rounds):
        for case in CASES:
            for count in connection_counts:
                receiver = (None if case == "without_webhooks"
                            else Receiver(0.5 if case == "with_slow_webhooks" else 0.0))
                with tempfile.TemporaryDirectory(prefix="latchwork-notify-") as directory:
                    process, port = start_gate(gate_binary, directory, receiver)
                    try:
                        samples[(case, count)].append(
                            measure(generator, port, "line", count, seconds, "--hold", "yes"))
                    finally:
                        stop_process(process)
                        process.stdout.close()
                if case == "with_webhooks":
                    received = max(received, receiver.received)
                if receiver is not None:
                    receiver.shutdown()
                    receiver.server_close()
    results = {}
    for (case, count), runs in samples.items():
        results.setdefault(case, {})[str(count)] = {
            "requests_per_second": statistics.median(r["requests_per_second"] for r in runs),
            "p50_us": statistics.median(r["p50_us"] for r in runs),
            "unexpected_replies": sum(r["unexpected_replies"] for r in runs)}
    ratios = {case: {str(count): results[case][str(count)]["requests_per_second"]
                     / results["without_webhooks"][str(count)]["requests_per_second"]
                     for count in connection_counts}
              for case in CASES[1:]}
    return {"results": results, "ratios": ratios, "most_received_in_a_run": received,
            "skipped": {}}


def show(report):
    lines = []
    for case, by_count in report["results"].items():
        for count, result in by_count.items():
            lines.append(f"{case:18} {count:>3} connections  "
                         f"{result['requests_per_second']:>10,.0f} req/s  p50 {result['p50_us']:.0f} µs")
    for case, by_count in report.get("ratios", {}).items():
        for count, ratio in by_count.items():
            lines.append(f"{case} ÷ without at {count} connections: {ratio:.2f}")
    return "\n".join(lines)


def main():
    command_line(__doc__, run, show, 2.0, "1,50")


if __name__ == "__main__":
    main()
