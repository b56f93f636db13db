"""bench_gate.py: Gate.submit and decide per call, beside the pure-Python gate and the no-op floor.

A pyperf script (run by run_bench.py; `python bench/bench_gate.py --help` for pyperf's
options). Every benchmark times the same loop shape, `for ... in prepared: call(...)`,
over arguments prepared before the clock starts, so the loop's own cost is in every
number alike, the floor's included. The loop count is fixed rather than calibrated:
each timed value puts the same number of new effects into a fresh gate, whichever
gate is faster, so both work on tables of the same size. The floor is latchwork_floor.Floor().noop: a
native method that binds two str arguments exactly as latchwork does and returns None.
`--only NAME` runs a single benchmark, so that run_bench.py can alternate them.
"""

import time

import pyperf

import baseline_gate
import latchwork

try:
    import latchwork_floor
except ImportError:  # the native bench pieces are not built: no floor row
    latchwork_floor = None

GATES = {"latchwork": latchwork.Gate, "baseline": baseline_gate.Gate}
LOOPS = 2**17
_serial = [0]


def fresh_effects(loops, run_size):
    """(run_id, effect_key) pairs never submitted before, run_size effects per run."""
    start = _serial[0]
    _serial[0] += loops
    return [(f"run-{i // run_size}", f"e:{i}") for i in range(start, start + loops)]


def submit_new(make_gate, run_size):
    def timed(loops):
        pairs = fresh_effects(loops, run_size)
        submit = make_gate().submit
        began = time.perf_counter()
        for run_id, effect_key in pairs:
            submit(run_id, effect_key)
        return time.perf_counter() - began
    return timed


def submit_then_decide(make_gate):
    def timed(loops):
        pairs = fresh_effects(loops, 10)
        gate = make_gate()
        submit, decide = gate.submit, gate.decide
        began = time.perf_counter()
        for run_id, effect_key in pairs:
            submit(run_id, effect_key, True)
            decide(run_id, effect_key, True)
        return time.perf_counter() - began
    return timed


def submit_duplicate(make_gate):
    def timed(loops):
        pairs = [("run-1", "email:42")] * loops
        gate = make_gate()
        gate.submit("run-1", "email:42")
        submit = gate.submit
        began = time.perf_counter()
        for run_id, effect_key in pairs:
            submit(run_id, effect_key)
        return time.perf_counter() - began
    return timed


def floor_noop(loops):
    pairs = fresh_effects(loops, 10)
    noop = latchwork_floor.Floor().noop
    began = time.perf_counter()
    for run_id, effect_key in pairs:
        noop(run_id, effect_key)
    return time.perf_counter() - began


def pass_options_to_workers(command, args):
    if args.only:
        command.extend(["--only", args.only])


def main():
    runner = pyperf.Runner(processes=6, values=3, loops=LOOPS,
                           add_cmdline_args=pass_options_to_workers)
    runner.argparser.add_argument("--only", metavar="NAME", help="run only this benchmark")
    args = runner.parse_args()
    runner.metadata["description"] = "latchwork.Gate against a pure-Python gate"
    cases = {
        "submit_new_runs_of_10": lambda make_gate: submit_new(make_gate, 10),
        "submit_new_one_run": lambda make_gate: submit_new(make_gate, 10**9),
        "submit_decide": submit_then_decide,
        "submit_duplicate": submit_duplicate,
    }
    benchmarks = {f"{case}.{impl}": timed_for(make_gate)
                  for case, timed_for in cases.items() for impl, make_gate in GATES.items()}
    if latchwork_floor is not None:
        benchmarks["floor_noop"] = floor_noop
    for name, timed in benchmarks.items():
        if args.only in (None, name):
            runner.bench_time_func(name, timed)


if __name__ == "__main__":
    main()
