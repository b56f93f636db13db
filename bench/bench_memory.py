"""bench_memory.py: resident memory per stored effect, measured in this fresh process.

    python bench/bench_memory.py {latchwork|baseline} {one_run|runs_of_10} COUNT

Submits COUNT new effects with short keys ("e:123456") and prints one JSON object with
the growth of the resident set, in bytes per effect. Each measurement needs a process
of its own: memory that an earlier measurement freed but the allocator kept would
otherwise be counted as free room for the next one.
"""

import gc
import json
import os
import sys

import baseline_gate
import latchwork

GATES = {"latchwork": latchwork.Gate, "baseline": baseline_gate.Gate}
RUN_SIZES = {"one_run": None, "runs_of_10": 10}


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    impl, shape, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    run_size = RUN_SIZES[shape]
    gate = GATES[impl]()
    submit = gate.submit
    gc.collect()
    before = resident_bytes()
    if run_size is None:
        for i in range(count):
            submit("run-1", f"e:{i}")
    else:
        for i in range(count):
            submit(f"run-{i // run_size}", f"e:{i}")
    gc.collect()
    after = resident_bytes()
    assert gate.state_len() == count
    print(json.dumps({"impl": impl, "shape": shape, "count": count,
                      "bytes_per_effect": (after - before) / count}))


if __name__ == "__main__":
    main()
