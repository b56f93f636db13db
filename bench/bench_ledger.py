"""bench_ledger.py: Gate.cancel and Gate.close_run of a run of 10 effects, by ledger size.

    python bench/bench_ledger.py [--rounds N]

Prints one JSON object: median seconds per ended run, keyed "<operation>.<size>.<impl>".

The claim under test is that the time does not grow with the ledger, so the sizes
are measured side by side rather than one after another: one fresh process per
gate and operation holds a gate of every size (10^3 to 10^6 other effects, in runs
of ten, every other effect held) and measures them in interleaved rounds. A busy
moment of this shared machine then lands on every size alike instead of on
whichever size happened to run at that time, which is what pyperf's one benchmark
after another would do. Each round ends LOOPS runs of ten effects per gate (every
other one held), submitted just before the clock starts; a cancelled run's released
effects are closed after the clock stops, so every ledger keeps its size.
"""

import argparse
import json
import statistics
import subprocess
import sys
import time

import baseline_gate
import latchwork

SIZES = (10**3, 10**4, 10**5, 10**6)
RUN_SIZE = 10
LOOPS = 100
GATES = {"latchwork": latchwork.Gate, "baseline": baseline_gate.Gate}
OPERATIONS = ("cancel", "close_run")
KEYS = [f"e:{k}" for k in range(RUN_SIZE)]


def filled_gate(make_gate, size):
    gate = make_gate()
    submit = gate.submit
    for i in range(size):
        submit(f"other-{i // RUN_SIZE}", KEYS[i % RUN_SIZE], i % 2 == 0)
    return gate


def one_round(gate, operation, serial):
    """Seconds per run for ending LOOPS fresh runs of ten effects."""
    runs = [f"target-{serial + n}" for n in range(LOOPS)]
    submit = gate.submit
    for run_id in runs:
        for k, effect_key in enumerate(KEYS):
            submit(run_id, effect_key, k % 2 == 0)
    end = getattr(gate, operation)
    began = time.perf_counter()
    for run_id in runs:
        end(run_id)
    elapsed = time.perf_counter() - began
    if operation == "cancel":
        for run_id in runs:
            gate.close_run(run_id)
    return elapsed / LOOPS


def worker(impl, operation, rounds):
    gates = {size: filled_gate(GATES[impl], size) for size in SIZES}
    samples = {size: [] for size in SIZES}
    serial = 0
    for round_number in range(rounds + 1):
        # The starting size turns each round, so no size always follows the same one.
        order = SIZES[round_number % len(SIZES):] + SIZES[:round_number % len(SIZES)]
        for size in order:
            seconds = one_round(gates[size], operation, serial)
            serial += LOOPS
            if round_number > 0:  # the first round warms up
                samples[size].append(seconds)
    return {f"{operation}.{size}.{impl}": statistics.median(values)
            for size, values in samples.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--worker", nargs=2, metavar=("IMPL", "OPERATION"))
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(*args.worker, args.rounds)))
        return
    results = {}
    for operation in OPERATIONS:
        for impl in GATES:
            done = subprocess.run([sys.executable, __file__, "--rounds", str(args.rounds),
                                   "--worker", impl, operation],
                                  check=True, capture_output=True, text=True)
            results.update(json.loads(done.stdout))
    print(json.dumps(results))


if __name__ == "__main__":
    main()
