"""PostgreSQL stopped and started under two latchwork-gate servers with clients running:
error replies while it is away, service again after without a restart, and every verdict
answered before, during and after consistent with one in-process Gate."""
import multiprocessing
import random
import time

import pytest

import latchwork

pytestmark = pytest.mark.postgres

SPAWN = multiprocessing.get_context("spawn")
WORKERS = 4
STORE_FAILED = "gate error: store failed: "
BACK_WITHIN_SECONDS = 20    # the servers' backoff, with room for a slow machine
SUCCESSES_AFTER = 30        # answered verdicts per worker once PostgreSQL is back


def hammer(address, log_path, seed, successes, stop):
    """Until told to stop: a shared effect raced by every worker, and an effect of its
    own held, then approved or rejected. Logs every answer: the verdict, "error" for a
    store failure, "exception" for anything else (which the test refuses)."""
    rng = random.Random(seed)
    client = latchwork.GateClient(address)
    with open(log_path, "w", buffering=1) as log:
        def call(operation, run, key, flag):
            try:
                method = client.submit if operation == "submit" else client.decide
                answer = method(run, key, flag).kind
            except RuntimeError as failure:
                if not str(failure).startswith(STORE_FAILED):
                    answer = f"exception:{failure!r}".replace(" ", "_")
                else:
                    answer = "error"
                    time.sleep(0.005)  # no busy loop on a server that is waiting for its store
            except OSError as failure:
                answer = f"exception:{failure!r}".replace(" ", "_")
            log.write(f"{operation} {run} {key} {int(flag)} {answer}\n")
            if answer.startswith("exception"):
                raise SystemExit(1)
            if answer != "error":
                with successes.get_lock():
                    successes.value += 1

        for n in range(10_000_000):
            if stop.is_set():
                return
            call("submit", "shared", f"s{n // 3}", False)
            own = f"w{seed}-{n}"
            call("submit", "own", own, True)
            call("decide", "own", own, rng.random() < 0.5)


def read_log(path):
    return [line.split(" ") for line in path.read_text().splitlines() if line.count(" ") == 4]


# What a verdict leaves the effect in, given the state it met (the gate's tables).
def after(state, operation, kind):
    if kind == "release":
        return "released"
    if kind == "held_for_approval":
        return "pending"
    if operation == "decide" and kind == "refused_rejected":
        return "rejected"
    return state


def verdict(state, operation, flag):
    """The kind one in-process Gate answers to the operation on an effect in that state."""
    gate = latchwork.Gate()
    if state == "pending":
        gate.submit("r", "e", True)
    elif state == "released":
        gate.submit("r", "e")
    elif state == "rejected":
        gate.decide("r", "e", False)
    method = gate.submit if operation == "submit" else gate.decide
    return method("r", "e", flag).kind


def replay(answers):
    """The states an effect of one worker may be in after its answered operations, in
    order: an error may or may not have been committed, a verdict must be the gate's
    for one of the states the effect may be in. Empty when the answers contradict."""
    states = {"none"}
    for operation, flag, kind in answers:
        if kind == "error":
            states |= {after(s, operation, verdict(s, operation, flag)) for s in states}
        else:
            states = {after(s, operation, kind) for s in states
                      if verdict(s, operation, flag) == kind}
    return states


PROBE = {"release": "none", "held_for_approval": "pending", "refused_duplicate": "released",
         "refused_rejected": "rejected"}


def test_postgres_stopped_and_started_under_load(postgres_cluster, new_postgres_store,
                                                 gate_process, tmp_path):
    url = new_postgres_store()
    servers = [gate_process("--store", url), gate_process("--store", url)]
    successes = [SPAWN.Value("l", 0) for _ in range(WORKERS)]
    stop = SPAWN.Event()
    logs = [tmp_path / f"worker-{w}.log" for w in range(WORKERS)]
    workers = [SPAWN.Process(target=hammer, args=(servers[w % 2].address, str(logs[w]), w,
                                                  successes[w], stop))
               for w in range(WORKERS)]
    for worker in workers:
        worker.start()
    try:
        wait_for_successes(successes, [0] * WORKERS, 60, workers)
        postgres_cluster.stop()
        time.sleep(1.5)
        during = [count.value for count in successes]
        postgres_cluster.start()
        wait_for_successes(successes, during, BACK_WITHIN_SECONDS, workers)
    finally:
        stop.set()
        for worker in workers:
            worker.join(30)
            if worker.exitcode is None:
                worker.kill()
    assert [worker.exitcode for worker in workers] == [0] * WORKERS, [
        line for log in logs for line in read_log(log) if line[4].startswith("exception")]
    for server in servers:
        assert server.process.poll() is None, server.stderr()  # served again, unrestarted

    answers = [line for log in logs for line in read_log(log)]
    kinds = [kind for *_, kind in answers]
    assert "error" in kinds, "no request met the outage"
    assert not [kind for kind in kinds if kind.startswith("exception")]
    releases = [(run, key) for _, run, key, _, kind in answers if kind == "release"]
    assert len(releases) == len(set(releases)), "an effect was released twice"

    by_effect = {}
    for operation, run, key, flag, kind in answers:
        by_effect.setdefault((run, key), []).append((operation, flag == "1", kind))
    checks = [latchwork.GateClient(server.address) for server in servers]
    for number, ((run, key), effect_answers) in enumerate(by_effect.items()):
        # The probe, through either server, shows the state the effect ended in.
        probed = PROBE[checks[number % 2].submit(run, key).kind]
        if run == "own":
            possible = replay(effect_answers)
            assert probed in possible, (key, effect_answers, probed)
        else:
            # Raced by several workers: any order of their submits is serial for some
            # interleaving; a duplicate refusal needs a release that happened.
            shared = [kind for _, _, kind in effect_answers]
            assert shared.count("release") <= 1, (key, shared)
            if "refused_duplicate" in shared:
                assert "release" in shared or "error" in shared, (key, shared)
            expected = {"released"} if set(shared) - {"error"} else {"none", "released"}
            assert probed in expected, (key, shared, probed)


def wait_for_successes(successes, baseline, seconds, workers):
    """Until every worker has had SUCCESSES_AFTER verdicts answered beyond its baseline."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if all(count.value >= base + SUCCESSES_AFTER for count, base in zip(successes, baseline)):
            return
        if any(worker.exitcode is not None for worker in workers):
            break
        time.sleep(0.05)
    raise AssertionError(f"not served within {seconds} s: {[c.value for c in successes]} "
                         f"verdicts, from {baseline}")


def test_the_console_tells_the_outage_and_the_return(postgres_cluster, new_postgres_store,
                                                     gate_process):
    from console_http import Console

    url = new_postgres_store()
    process = gate_process("--console", "127.0.0.1:0", "--store", url)
    console = Console(process.console_port, "")
    gate = latchwork.GateClient(process.address)
    assert gate.submit("r", "held", True).kind == "held_for_approval"
    assert console.call("GET", "/healthz").status == 200
    postgres_cluster.stop()
    try:
        # Noticed between requests too, without a client being the first to meet it.
        deadline = time.monotonic() + 10
        while (reply := console.call("GET", "/healthz")).status != 503:
            assert time.monotonic() < deadline, "the outage was never reported"
            time.sleep(0.05)
        assert reply.json()["error"].startswith("store failed: ")
        pending = console.call("GET", "/api/pending")
        assert pending.status == 503 and pending.json()["error"].startswith("store failed: ")
    finally:
        postgres_cluster.start()
    deadline = time.monotonic() + BACK_WITHIN_SECONDS
    while console.call("GET", "/healthz").status != 200:
        assert time.monotonic() < deadline, "the store never came back"
        time.sleep(0.05)
    assert [item["effect_key"] for item in console.get("/api/pending")["items"]] == ["held"]
    assert gate.submit("r", "held", True).kind == "held_for_approval"
    metrics = console.call("GET", "/metrics").body.decode()
    assert "latchwork_commit_seconds_count" in metrics
    assert "latchwork_commit_seconds_count 0\n" not in metrics
