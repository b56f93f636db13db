"""bench_ledger.py: Gate.cancel and Gate.close_run of a run of 10 effects, by ledger size.

A pyperf script (run by run_bench.py). The ledger first holds SIZE other effects, in
runs of ten with every other effect held. Each timed value then ends LOOPS runs of ten
effects (again every other one held) that were submitted just before the clock started;
the time per ended run is reported. The loop count is fixed so that every ledger size
gets the same number of these runs; a cancelled run's released effects are closed
after the clock stops, so the ledger keeps its size from value to value.
"""

import time

import pyperf

import baseline_gate
import latchwork

SIZES = (10**3, 10**4, 10**5, 10**6)
RUN_SIZE = 10
LOOPS = 100
GATES = {"latchwork": latchwork.Gate, "baseline": baseline_gate.Gate}
KEYS = [f"e:{k}" for k in range(RUN_SIZE)]


def filled_gate(make_gate, size):
    gate = make_gate()
    submit = gate.submit
    for i in range(size):
        submit(f"other-{i // RUN_SIZE}", KEYS[i % RUN_SIZE], i % 2 == 0)
    return gate


def end_runs(make_gate, size, operation):
    state = {}

    def timed(loops):
        # Built on the first call: only the worker process that runs this benchmark pays.
        if "gate" not in state:
            state["gate"], state["serial"] = filled_gate(make_gate, size), 0
        gate = state["gate"]
        runs = [f"target-{state['serial'] + n}" for n in range(loops)]
        state["serial"] += loops
        for run_id in runs:
            for k, effect_key in enumerate(KEYS):
                gate.submit(run_id, effect_key, k % 2 == 0)
        end = getattr(gate, operation)
        began = time.perf_counter()
        for run_id in runs:
            end(run_id)
        elapsed = time.perf_counter() - began
        if operation == "cancel":
            for run_id in runs:
                gate.close_run(run_id)
        return elapsed

    return timed


def main():
    runner = pyperf.Runner(processes=3, values=20, loops=LOOPS)
    runner.metadata["description"] = "ending a run of 10 effects, by ledger size"
    for operation in ("cancel", "close_run"):
        for size in SIZES:
            for impl, make_gate in GATES.items():
                runner.bench_time_func(f"{operation}.{size}.{impl}",
                                       end_runs(make_gate, size, operation))


if __name__ == "__main__":
    main()
