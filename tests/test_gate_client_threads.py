"""test_gate_client_threads.py: GateClient under several threads, faults and interpreter shutdown."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
import threading

import pytest

import latchwork
import gate_server as gs

RELEASE = b'{"verdict":"release"}\n'
FAULT_UNDER_LOCK = "latchwork-test:fault-under-lock"
POISONED = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }"
LATER_CALL_FAILURES = ("gate write failed: ", "gate read failed: ", "gate closed the connection")


def verdict_is_run_id(line: bytes) -> bytes:
    return json.dumps({"verdict": json.loads(line).get("run_id", "pong")}).encode() + b"\n"


def test_threads_sharing_a_client_each_get_the_verdict_of_their_own_request(gate_server):
    server = gate_server(verdict_is_run_id)
    client = latchwork.GateClient(server.address, b"k")
    calls = [
        lambda run_id, i: client.submit(run_id, "e" * (i * 997), i % 2 == 0),
        lambda run_id, i: client.decide(run_id, "\n" * (i * 499), i % 2 == 1),
        lambda run_id, i: client.cancel(run_id),
    ]
    results: dict[str, list[str]] = {}

    def work(name: str) -> None:
        results[name] = [calls[i % 3](f"{name}/{i}", i).kind for i in range(40)] + [client.ping().kind]

    threads = [threading.Thread(target=work, args=(f"t{n}",)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=30)
    assert not any(thread.is_alive() for thread in threads)
    assert results == {f"t{n}": [f"t{n}/{i}" for i in range(40)] + ["pong"] for n in range(4)}
    requests = [json.loads(line) for line in server.requests]  # every line whole and well-formed
    assert len(requests) == 4 * 41
    for request in requests:
        if request["op"] == "decide":
            assert request["mac"] == latchwork.decision_tag(b"k", request["run_id"], request["effect_key"], request["approved"])


def test_a_silent_server_blocks_only_the_callers_of_that_client(gate_server):
    server = gate_server([gs.HANG])
    client = latchwork.GateClient(server.address)
    outcomes: dict[str, str] = {}

    def call(name: str, method) -> None:
        try:
            outcomes[name] = method().kind
        except RuntimeError as error:
            outcomes[name] = str(error)

    waiting = threading.Thread(target=call, args=("ping", client.ping))
    waiting.start()
    server.wait_for_requests(1)
    # A second caller queues for the connection without holding up the interpreter.
    queued = threading.Thread(target=call, args=("cancel", lambda: client.cancel("r")))
    queued.start()
    busy = threading.Thread(target=lambda: sum(range(300000)))
    busy.start()
    busy.join(timeout=10)
    assert not busy.is_alive() and waiting.is_alive() and queued.is_alive()
    assert latchwork.Gate().submit("r", "e").released  # the main thread runs too
    server.stop()  # closes the silent connection
    waiting.join(timeout=10)
    queued.join(timeout=10)
    assert not waiting.is_alive() and not queued.is_alive()
    assert outcomes["ping"] == "gate closed the connection"
    assert outcomes["cancel"].startswith(LATER_CALL_FAILURES)


@pytest.mark.parametrize(
    "faulting_call",
    [
        lambda c: c.submit(FAULT_UNDER_LOCK, "e"),
        lambda c: c.decide(FAULT_UNDER_LOCK, "e", True),
        lambda c: c.cancel(FAULT_UNDER_LOCK),
    ],
    ids=["submit", "decide", "cancel"],
)
def test_a_fault_under_the_connection_lock_poisons_that_client_only(gate_server, faulting_call):
    server = gate_server(lambda _line: RELEASE)
    client = latchwork.GateClient(server.address, b"k")
    try:
        faulting_call(client)
    except BaseException as caught:  # noqa: B036 - PanicException is no Exception
        fault = caught
    else:
        pytest.skip("not a test build: the fault hook has no effect")
    panic = type(fault)
    assert (panic.__module__, panic.__name__) == ("pyo3_runtime", "PanicException")
    assert panic.__mro__[1] is BaseException and not isinstance(fault, Exception)
    assert str(fault) == FAULT_UNDER_LOCK
    for call in [lambda: client.ping(), lambda: client.submit("r", "e"), lambda: client.decide("r", "e", False),
                 lambda: client.cancel("r"), lambda: client.ping()]:
        with pytest.raises(panic) as caught:
            call()
        assert caught.value.args == (POISONED,)
    assert server.requests == []
    assert latchwork.GateClient(server.address).ping().kind == "release"
    assert server.requests == [b'{"op":"ping"}\n']


# Holds the interpreter in finalization, after daemon threads have been barred from
# running Python, until the daemon thread waiting in ping has gone (or 10 s passed).
SHUTDOWN_CHILD = textwrap.dedent(
    """
    import os, sys, threading, time
    import latchwork

    client = latchwork.GateClient(sys.argv[1])
    threading.Thread(target=client.ping, daemon=True).start()

    class FinalizationWitness:
        def __del__(self, write=os.write, listdir=os.listdir, sleep=time.sleep, now=time.monotonic):
            write(1, b"finalizing\\n")
            deadline = now() + 10
            while len(listdir("/proc/self/task")) > 1 and now() < deadline:
                sleep(0.01)
            write(1, b"threads left: %d\\n" % len(listdir("/proc/self/task")))

    witness = FinalizationWitness()
    sys.stdin.readline()
    """
)


def test_a_reply_arriving_during_interpreter_shutdown_ends_the_waiting_thread_quietly(gate_server):
    answer = threading.Event()

    def answer_when_told(_line: bytes) -> bytes:
        answer.wait(timeout=20)
        return RELEASE

    server = gate_server(answer_when_told)
    child = subprocess.Popen([sys.executable, "-c", SHUTDOWN_CHILD, server.address],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        server.wait_for_requests(1, timeout=20)  # the daemon thread waits in ping
        child.stdin.write(b"exit\n")
        child.stdin.flush()  # the main thread ends and finalization begins
        assert child.stdout.readline() == b"finalizing\n"
        answer.set()
        out, err = child.communicate(timeout=30)
    finally:
        answer.set()
        if child.poll() is None:
            child.kill()
            child.wait(timeout=10)
    assert (child.returncode, out, err) == (0, b"threads left: 1\n", b"")
