"""test_gate_client_interrupts.py: signals reaching GateClient calls blocked on the network.

Each case runs a child interpreter that blocks in one call (a server that never answers,
a listen queue that is full), signals it, and reads what the child reports, one line per
event, within bounded times."""

from __future__ import annotations

import contextlib
import json
import queue
import select
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from gate_server import GateServer

RELEASE = b'{"verdict":"release"}\n'
OUT_OF_STEP = "gate connection out of step: an earlier call was interrupted"
PROMPT = 1.0  # how soon an interrupted call must have ended
PATIENCE = 20.0  # how long anything else may take before the test gives up

# Every child starts so: Ctrl-C raises KeyboardInterrupt even when this test run was
# started with SIGINT ignored (as background jobs are), and `say` reports one line.
PRELUDE = textwrap.dedent(
    """
    import os, signal, sys, threading, time
    import latchwork
    signal.signal(signal.SIGINT, signal.default_int_handler)
    def say(*words):
        print(*words, flush=True)
    def outcome(call):
        try:
            return "verdict " + call().kind
        except BaseException as error:
            return f"{type(error).__name__}: {error}"
    """
)

CALLS = {
    "ping": "lambda c: c.ping()",
    "submit": "lambda c: c.submit('r', 'e', True)",
    "decide": "lambda c: c.decide('r', 'e', True)",
}


class Child:
    """A child interpreter running PRELUDE + code, its output read line by line."""

    def __init__(self, code: str, *args: str) -> None:
        self.process = subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(code), *args],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self._lines: queue.Queue[str | None] = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        for line in self.process.stdout:
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def line(self, timeout: float = PATIENCE) -> str:
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError(f"no line from the child within {timeout} s") from None
        if line is None:
            self.process.wait(timeout=PATIENCE)
            raise AssertionError(f"the child ended ({self.process.returncode}): {self.process.stderr.read()}")
        return line

    def tell(self, text: str = "go") -> None:
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()

    def wait_until_blocked(self) -> None:
        """Until the child's main thread sleeps in a system call other than a lock wait."""
        pid = self.process.pid
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline:
            with open(f"/proc/{pid}/task/{pid}/stat") as stat, open(f"/proc/{pid}/task/{pid}/wchan") as wchan:
                state, where = stat.read().rsplit(")", 1)[1].split()[0], wchan.read()
            if state == "S" and where not in ("", "0") and "futex" not in where:
                return
            time.sleep(0.01)
        raise AssertionError("the child never blocked")

    def interrupt(self, signum: int = signal.SIGINT) -> str:
        """Sends the signal; the child's next line, which must come within PROMPT seconds."""
        self.process.send_signal(signum)
        return self.line(timeout=PROMPT)

    def finish(self) -> None:
        self.process.stdin.close()
        assert self.process.wait(timeout=PATIENCE) == 0, self.process.stderr.read()

    def close(self) -> None:
        """Ends the child if it still runs and closes its pipes (unclosed, they would warn
        whenever the collector happens to free them, in some later test)."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=PATIENCE)
        self._reader.join(timeout=PATIENCE)
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            with contextlib.suppress(OSError):  # stdin: what was not yet flushed has no reader
                pipe.close()


@pytest.fixture
def child():
    children: list[Child] = []

    def start(code: str, *args: str) -> Child:
        children.append(Child(code, *args))
        return children[-1]

    yield start
    for started in children:
        started.close()


@contextlib.contextmanager
def silent_peer():
    """A loopback listener; entering yields it, accept() gives the one connection."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(PATIENCE)
        yield listener


def accept_request(listener: socket.socket) -> tuple[socket.socket, bytes]:
    connection, _ = listener.accept()
    connection.settimeout(PATIENCE)
    received = b""
    while not received.endswith(b"\n"):
        chunk = connection.recv(65536)
        assert chunk, "the client closed before a whole request"
        received += chunk
    return connection, received


def assert_nothing_more(connection: socket.socket) -> None:
    """Nothing further was written: loopback delivers within the writer's send call."""
    readable, _, _ = select.select([connection], [], [], 0)
    assert not readable, connection.recv(65536)


@contextlib.contextmanager
def full_backlog():
    """A listener whose one queue place is taken and which never accepts: connects to it wait."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        with socket.create_connection(listener.getsockname(), timeout=PATIENCE):
            yield listener


BLOCKED_CALL = """
    client = latchwork.GateClient(sys.argv[1], b"k")
    call = {call}
    say("calling")
    say(outcome(lambda: call(client)))
    sys.stdin.readline()
    say(outcome(lambda: call(client)))
    say(outcome(client.ping))
    sys.stdin.readline()
"""


@pytest.mark.parametrize("method", CALLS)
def test_ctrl_c_ends_a_call_waiting_on_a_silent_server_and_the_connection_goes_out_of_step(child, method):
    with silent_peer() as listener:
        started = child(BLOCKED_CALL.format(call=CALLS[method]), "127.0.0.1:%d" % listener.getsockname()[1])
        connection, request = accept_request(listener)
        with connection:
            assert started.line() == "calling"
            started.wait_until_blocked()
            assert started.interrupt() == "KeyboardInterrupt: "
            # The reply to the abandoned request arrives late; it is never taken for another's.
            connection.sendall(RELEASE)
            started.tell()
            assert started.line() == f"RuntimeError: {OUT_OF_STEP}"
            assert started.line() == f"RuntimeError: {OUT_OF_STEP}"
            assert_nothing_more(connection)
            started.finish()
    assert request.startswith(b'{"') and request.count(b"\n") == 1


def test_ctrl_c_ends_a_connect_to_a_full_listen_queue(child):
    with full_backlog() as listener:
        started = child(
            """
            before = len(os.listdir("/proc/self/fd"))
            say("calling")
            say(outcome(lambda: latchwork.GateClient(sys.argv[1])))
            say("descriptors", len(os.listdir("/proc/self/fd")) - before)
            """,
            "127.0.0.1:%d" % listener.getsockname()[1],
        )
        assert started.line() == "calling"
        started.wait_until_blocked()
        assert started.interrupt() == "KeyboardInterrupt: "
        assert started.line() == "descriptors 0"  # the attempt's socket is closed
        started.finish()


def test_the_handlers_exception_is_raised_as_it_stands(child):
    with silent_peer() as listener:
        started = child(
            """
            class Stop(Exception):
                pass
            raised = Stop("from the handler")
            def handler(signum, frame):
                raise raised
            signal.signal(signal.SIGUSR1, handler)
            client = latchwork.GateClient(sys.argv[1])
            say("calling")
            try:
                client.ping()
            except Stop as caught:
                say("same object" if caught is raised else "another object", caught.__traceback__ is not None)
            """,
            "127.0.0.1:%d" % listener.getsockname()[1],
        )
        connection, _ = accept_request(listener)
        with connection:
            assert started.line() == "calling"
            started.wait_until_blocked()
            assert started.interrupt(signal.SIGUSR1) == "same object True"
            started.finish()


# A handler that does not raise changes nothing: each call waits out the alarms.
COUNTING_ALARMS = """
    alarms = 0
    def count(signum, frame):
        global alarms
        alarms += 1
    signal.signal(signal.SIGALRM, count)
    client = latchwork.GateClient(sys.argv[1], b"k")
    for name, call in {calls}.items():
        signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
        result = outcome(lambda: call(client))
        signal.setitimer(signal.ITIMER_REAL, 0)
        say(name, result, "interrupted" if alarms >= 3 else f"{{alarms}} alarms only")
        alarms = 0
"""


def test_a_handler_that_does_not_raise_leaves_the_call_waiting_for_the_late_verdict(child):
    def late(line: bytes) -> bytes:
        time.sleep(0.3)
        return json.dumps({"verdict": "late " + json.loads(line)["op"]}).encode() + b"\n"

    with GateServer(late) as server:
        started = child(COUNTING_ALARMS.format(calls="{%s}" % ", ".join(f"{n!r}: {c}" for n, c in CALLS.items())),
                        server.address)
        assert [started.line() for _ in CALLS] == [
            "ping verdict late ping interrupted",
            "submit verdict late submit interrupted",
            "decide verdict late decide interrupted",
        ]
        started.finish()
        assert len(server.requests) == 3


def test_a_connect_carried_on_after_a_signal_reports_a_refusal_as_usual(child):
    with full_backlog() as listener:
        address = "127.0.0.1:%d" % listener.getsockname()[1]
        started = child(
            """
            signal.signal(signal.SIGALRM, lambda signum, frame: None)
            signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
            say("calling")
            result = outcome(lambda: latchwork.GateClient(sys.argv[1]))
            signal.setitimer(signal.ITIMER_REAL, 0)
            say(result)
            """,
            address,
        )
        assert started.line() == "calling"
        started.wait_until_blocked()
        time.sleep(0.1)  # a few alarms while connecting
    # The listener is gone: the connect's next SYN meets a refusal.
    assert started.line() == f"RuntimeError: connect {address} failed: Connection refused (os error 111)"
    started.finish()


def test_a_signal_handler_calling_the_client_it_interrupted_is_refused_without_waiting(child):
    with silent_peer() as listener:
        started = child(
            """
            client = latchwork.GateClient(sys.argv[1])
            def handler(signum, frame):
                say("in handler", outcome(client.ping))
            signal.signal(signal.SIGUSR1, handler)
            say("calling")
            say("outer", outcome(client.ping))
            say("after", outcome(client.ping))
            """,
            "127.0.0.1:%d" % listener.getsockname()[1],
        )
        connection, request = accept_request(listener)
        with connection:
            assert started.line() == "calling"
            started.wait_until_blocked()
            assert started.interrupt(signal.SIGUSR1) == (
                "in handler RuntimeError: gate connection busy: a signal handler called the client whose call it "
                "interrupted")
            assert_nothing_more(connection)
            connection.sendall(RELEASE)
            assert started.line() == "outer verdict release"
            connection.sendall(RELEASE)
            assert started.line() == "after verdict release"
            started.finish()
        assert request == b'{"op":"ping"}\n'


def test_an_interrupted_call_in_one_thread_leaves_another_threads_client_working(child):
    answer = threading.Event()

    def answer_when_told(_line: bytes) -> bytes:
        answer.wait(timeout=PATIENCE)
        return RELEASE

    with silent_peer() as listener, GateServer(answer_when_told) as server:
        started = child(
            """
            other = latchwork.GateClient(sys.argv[2])
            results = []
            def work():
                # Signals go to the main thread, whose call is the one to interrupt.
                signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
                results.append(outcome(other.ping))
                results.append(outcome(lambda: other.submit("r", "e")))
            worker = threading.Thread(target=work)
            worker.start()
            client = latchwork.GateClient(sys.argv[1])
            say("calling")
            say(outcome(client.ping))
            worker.join()
            say(*results)
            """,
            "127.0.0.1:%d" % listener.getsockname()[1], server.address,
        )
        connection, _ = accept_request(listener)
        with connection:
            server.wait_for_requests(1)  # the other thread waits in its ping
            assert started.line() == "calling"
            started.wait_until_blocked()
            assert started.interrupt() == "KeyboardInterrupt: "
            answer.set()
            assert started.line() == "verdict release verdict release"
            started.finish()
        assert server.requests == [b'{"op":"ping"}\n',
                                   b'{"effect_key":"e","needs_approval":false,"op":"submit","run_id":"r"}\n']
