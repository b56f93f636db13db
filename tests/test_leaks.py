"""Every entry point, on each success and error path, called thousands of times: no growth in
interpreter blocks, argument references, malloc'd bytes, resident memory or descriptors."""

from __future__ import annotations

import ctypes
import gc
import os
import signal
import socket
import subprocess
import sys
import textwrap

import numpy
import pytest

import latchwork
from support import UNDER_SANITIZER, CausedIndex, bound_but_not_listening

# A leaked native copy of an argument shows in resident memory only when it is large.
RUN = "r" * 4096
KEY = "e" * 4096
# Not an identifier, so not interned: "held" is also the name of a Verdict property, and
# the interpreter's attribute cache takes and drops references to that name as it likes.
HELD = "held effect"
SECRET = bytes(range(256)) * 16
SCALE = 0.01 if UNDER_SANITIZER else 1

ROUNDS = 3
# What a round of calls may add: interpreter blocks, malloc'd bytes, resident bytes, descriptors.
SLACK = {"fds": 0} if UNDER_SANITIZER else {"blocks": 256, "heap": 256 * 1024, "rss": 4 * 1024 * 1024, "fds": 0}


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2
except AttributeError:  # not glibc 2.33 or later
    _mallinfo2 = None


def heap_in_use() -> int:
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure() -> dict[str, int]:
    gc.collect()  # caught exceptions keep frames in cycles until collected
    return {"blocks": sys.getallocatedblocks(), "heap": heap_in_use(), "rss": resident_bytes(),
            "fds": len(os.listdir("/proc/self/fd"))}


def interesting(value) -> bool:
    """Objects of the call's own whose reference count no other code changes meanwhile."""
    return not isinstance(value, (bool, type(None), int, float, type)) and not callable(value)


def reference_counts(values) -> list[int]:
    """Without the interpreter's type attribute cache, which holds a reference to each name
    it has looked up: an argument such as "held" is such a name, and its count would move
    whenever an unrelated lookup takes over the name's cache slot."""
    sys._clear_type_cache()
    return [sys.getrefcount(value) for value in values]


def assert_no_growth(entry: str, call, args=(), kwargs=None, outcome=None, count=10000):
    """Runs call(*args, **kwargs) `count` times after a warm-up, checking each outcome: a
    value, a type, an exception type, or an exception type and how its message begins."""
    kwargs = kwargs or {}
    outcome, prefix = outcome if isinstance(outcome, tuple) else (outcome, "")
    raises = isinstance(outcome, type) and issubclass(outcome, BaseException)

    def once():
        try:
            result = call(*args, **kwargs)
        except BaseException as error:  # noqa: B036 - the expected type is checked below
            if not raises or type(error) is not outcome or not str(error).startswith(prefix):
                raise AssertionError(f"{entry}: unexpected {error!r}") from error
            return
        if raises:
            raise AssertionError(f"{entry}: no {outcome.__name__}")
        ok = isinstance(result, outcome) if isinstance(outcome, type) else result == outcome
        assert ok, f"{entry}: got {result!r}, expected {outcome!r}"

    count = max(3, int(count * SCALE))
    watched = [value for value in (*args, *kwargs.values(), getattr(call, "__self__", None)) if interesting(value)]
    for _ in range(max(1, count // 10)):
        once()
    gc.collect()  # earlier failures leave cycles that refer to shared arguments
    references = reference_counts(watched)
    # A leak grows in every round; a burst of noise (another thread's allocation, the
    # kernel's page accounting) in one round at most.
    for _ in range(ROUNDS):
        before = measure()
        for _ in range(count):
            once()
        after = measure()
        growth = {name: after[name] - before[name] for name in before}
        excess = [f"{name} grew by {growth[name]}" for name, slack in SLACK.items() if growth[name] > slack]
        if not excess:
            break
        print(f"{entry}: {excess}", file=sys.stderr)
    assert reference_counts(watched) == references, f"{entry}: argument references leaked"
    assert not excess, f"{entry}: in {count} calls " + ", ".join(excess)


# ---- in-process entries ---------------------------------------------------------------

def gate_with_every_state() -> latchwork.Gate:
    gate = latchwork.Gate()
    gate.submit(RUN, HELD, True)
    gate.submit(RUN, "done")
    gate.decide(RUN, "no", False)
    gate.cancel("cancelled")
    gate.close_run("closed")
    return gate


def holding(approval: bool = True):
    """A fresh gate holding (RUN, KEY): for calls that consume what they find."""
    gate = latchwork.Gate()
    gate.submit(RUN, KEY, approval)
    return gate


def numpy_like(bool_method=None):
    """An object the flag conversion takes for numpy's bool scalar."""
    kind = type("bool_", (), {"__module__": "numpy", **({"__bool__": bool_method} if bool_method else {})})
    return kind()


def raise_type_error(_self):
    raise TypeError("no truth")


class Index:
    """Raises a fresh error each time: a raised instance would grow its traceback."""

    def __init__(self, error_type):
        self.error_type = error_type

    def __index__(self):
        raise self.error_type(RUN)


class FailingItems:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise RuntimeError("no item")


G = gate_with_every_state()
V = G.submit(RUN, "fresh-verdict-source")
W = G.submit(RUN, HELD, True)
Gate, tag = latchwork.Gate, latchwork.decision_tag

IN_PROCESS = [
    ("Gate()", Gate, (), {}, Gate),
    ("Gate() too many", Gate, (RUN,), {}, TypeError),
    ("Gate() unexpected keyword", Gate, (), {"run_id": RUN}, TypeError),
    ("submit release", lambda *a: Gate().submit(*a), (RUN, KEY), {}, "release"),
    ("submit held", G.submit, (RUN, HELD, True), {}, "held_for_approval"),
    ("submit held numpy flag", G.submit, (RUN, HELD), {"needs_approval": numpy.True_}, "held_for_approval"),
    ("submit duplicate", G.submit, (RUN, "done"), {}, "refused_duplicate"),
    ("submit rejected", G.submit, (RUN, "no"), {}, "refused_rejected"),
    ("submit cancelled", G.submit, ("cancelled", KEY), {}, "refused_cancelled"),
    ("submit closed", G.submit, ("closed", KEY, True), {}, "refused_cancelled"),
    ("submit too many", G.submit, (RUN, KEY, True, True), {}, TypeError),
    ("submit unexpected keyword", G.submit, (RUN, KEY), {"approved": True}, TypeError),
    ("submit multiple values", G.submit, (RUN, KEY), {"run_id": RUN}, TypeError),
    ("submit missing", G.submit, (), {"needs_approval": True}, TypeError),
    ("submit text refusal", G.submit, (RUN.encode(), KEY), {}, TypeError),
    ("submit lone surrogate", G.submit, (RUN, KEY + "\udc80"), {}, UnicodeEncodeError),
    ("submit flag refusal", G.submit, (RUN, KEY, [1]), {}, TypeError),
    ("submit numpy-like without __bool__", G.submit, (RUN, KEY, numpy_like()), {}, TypeError),
    ("submit numpy-like __bool__ raising", G.submit, (RUN, KEY, numpy_like(raise_type_error)), {}, TypeError),
    ("submit numpy-like __bool__ not bool", G.submit, (RUN, KEY, numpy_like(lambda self: RUN)), {}, TypeError),
    ("decide release", lambda *a: holding().decide(*a), (RUN, KEY, True), {}, "release"),
    ("decide reject held", lambda *a: holding().decide(*a), (RUN, KEY, False), {}, "refused_rejected"),
    ("decide reject unknown", lambda *a: Gate().decide(*a), (RUN, KEY, False), {}, "refused_rejected"),
    ("decide duplicate", G.decide, (RUN, "done", True), {}, "refused_duplicate"),
    ("decide cancelled", G.decide, ("cancelled", KEY, True), {}, "refused_cancelled"),
    ("decide missing", G.decide, (), {"effect_key": KEY}, TypeError),
    ("decide flag refusal", G.decide, (RUN, KEY, RUN), {}, TypeError),
    ("decide text refusal", G.decide, (RUN, [KEY], True), {}, TypeError),
    ("cancel", G.cancel, ("cancelled",), {}, None),
    ("cancel new run", lambda *a: Gate().cancel(*a), (RUN,), {}, None),
    ("cancel text refusal", G.cancel, (RUN.encode(),), {}, TypeError),
    ("cancel lone surrogate", G.cancel, ("\ud800" + RUN,), {}, UnicodeEncodeError),
    ("close_run", G.close_run, ("closed",), {}, None),
    ("close_run of a busy run", lambda *a: holding().close_run(*a), (RUN,), {}, None),
    ("close_run too many", G.close_run, (RUN, RUN), {}, TypeError),
    ("is_cancelled", G.is_cancelled, ("cancelled",), {}, True),
    ("is_cancelled refusal", G.is_cancelled, (None,), {}, TypeError),
    ("is_closed", G.is_closed, (RUN,), {}, False),
    ("is_closed unexpected keyword", G.is_closed, (), {"run": RUN}, TypeError),
    ("pending_count", G.pending_count, (), {}, 1),
    ("pending_count argument", G.pending_count, (RUN,), {}, TypeError),
    ("state_len", G.state_len, (), {}, 4),
    ("state_len keyword", G.state_len, (), {"x": RUN}, TypeError),
    ("decision_tag bytes", tag, (SECRET, RUN, KEY, True), {}, str),
    ("decision_tag list", tag, (list(SECRET[:64]), RUN, KEY, False), {}, str),
    ("decision_tag memoryview", tag, (memoryview(SECRET), RUN, KEY, numpy.False_), {}, str),
    ("decision_tag str secret", tag, (RUN, RUN, KEY, True), {}, TypeError),
    ("decision_tag not a sequence", tag, (3.5, RUN, KEY, True), {}, TypeError),
    ("decision_tag item type", tag, ([1, RUN], RUN, KEY, True), {}, TypeError),
    ("decision_tag item overflow", tag, ([1, 256], RUN, KEY, True), {}, OverflowError),
    ("decision_tag item beyond long", tag, ([2 ** 70], RUN, KEY, True), {}, OverflowError),
    ("decision_tag item error", tag, ([Index(ValueError)], RUN, KEY, True), {}, ValueError),
    ("decision_tag item error with cause", tag, ([CausedIndex()], RUN, KEY, True), {}, TypeError),
    ("decision_tag sequence error", tag, (FailingItems(), RUN, KEY, True), {}, RuntimeError),
    ("decision_tag lone surrogate", tag, (SECRET, RUN, "\udfff", True), {}, UnicodeEncodeError),
    ("decision_tag flag refusal", tag, (SECRET, RUN, KEY, None), {}, TypeError),
    ("decision_tag missing", tag, (SECRET,), {}, TypeError),
    ("decision_tag too many", tag, (SECRET, RUN, KEY, True, True), {}, TypeError),
    ("decision_tag multiple values", tag, (SECRET,), {"secret": SECRET}, TypeError),
    ("Verdict str", str, (V,), {}, "release"),
    ("Verdict repr", repr, (W,), {}, "Verdict('held_for_approval')"),
    ("Verdict == str", V.__eq__, ("release",), {}, True),
    ("Verdict != str", V.__ne__, (RUN,), {}, True),
    ("Verdict == Verdict", V.__eq__, (W,), {}, False),
    ("Verdict == other", V.__eq__, (SECRET,), {}, False),
    ("Verdict == lone surrogate", V.__eq__, ("\udc80",), {}, False),
    ("Verdict ordering", V.__lt__, (W,), {}, False),
    ("Verdict.kind", lambda v: v.kind, (W,), {}, "held_for_approval"),
    ("Verdict.released", lambda v: v.released, (V,), {}, True),
    ("Verdict.held", lambda v: v.held, (V,), {}, False),
    ("Verdict.refused", lambda v: v.refused, (W,), {}, False),
    ("Verdict() refused", latchwork.Verdict, (), {}, TypeError),
    ("Verdict(kind) refused", latchwork.Verdict, (RUN,), {"kind": KEY}, TypeError),
    ("GateClient() no colon", latchwork.GateClient, ("localhost",), {}, (RuntimeError, "connect localhost failed: ")),
    ("GateClient() bad port", latchwork.GateClient, ("localhost:70000",), {}, RuntimeError),
    ("GateClient() NUL in host", latchwork.GateClient, ("local\0host:1",), {}, RuntimeError),
    ("GateClient() addr refusal", latchwork.GateClient, (None,), {}, TypeError),
    ("GateClient() secret refusal", latchwork.GateClient, ("127.0.0.1:1", RUN), {}, TypeError),
    ("GateClient() secret overflow", latchwork.GateClient, ("127.0.0.1:1", [0, 256]), {}, OverflowError),
    ("GateClient() too many", latchwork.GateClient, ("127.0.0.1:1", None, None), {}, TypeError),
    ("GateClient() unexpected keyword", latchwork.GateClient, (), {"address": RUN}, TypeError),
]


@pytest.mark.parametrize("entry, call, args, kwargs, outcome", IN_PROCESS, ids=[case[0] for case in IN_PROCESS])
def test_in_process_entry_does_not_grow(entry, call, args, kwargs, outcome):
    assert_no_growth(entry, call, args, kwargs, outcome)


# ---- entries that talk to a server ------------------------------------------------------

# A server in a process of its own, so that its memory never mixes with the client's.
# The run id's prefix picks the reply; "shut" ends the server's sending side and keeps
# reading, so that every later call meets the end of the stream.
SERVER = textwrap.dedent(
    """
    import json, socket, socketserver, sys, threading

    LONG = "k" * 2048
    REPLIES = {
        "ok": json.dumps({"verdict": LONG}),
        "error": json.dumps({"verdict": "error", "message": LONG}),
        "bad": "[" + json.dumps(LONG),
        "noverdict": json.dumps({"message": LONG}),
    }

    class Handler(socketserver.StreamRequestHandler):
        disable_nagle_algorithm = True

        def handle(self):
            try:
                self.serve()
            except OSError:  # a client that goes away with a reply unread resets the connection
                pass

        def serve(self):
            for line in self.rfile:
                prefix = json.loads(line).get("run_id", "ok").split(":")[0]
                if prefix == "close":
                    return
                if prefix == "shut":
                    self.connection.shutdown(socket.SHUT_WR)
                elif prefix == "utf8":
                    self.wfile.write(b"\\xff" + LONG.encode() + b"\\n")
                elif prefix in REPLIES:
                    self.wfile.write(REPLIES[prefix].encode() + b"\\n")

    class Server(socketserver.ThreadingTCPServer):
        daemon_threads = True
        request_queue_size = 1024  # connections come faster than threads start

    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.readline()
    """
)


@pytest.fixture(scope="module")
def server_address():
    child = subprocess.Popen([sys.executable, "-c", SERVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)
    try:
        yield f"127.0.0.1:{int(child.stdout.readline())}"
    finally:
        child.stdin.close()
        child.wait(timeout=10)


def client_call(method, *args, secret=None):
    """A factory for one shared client of its own per scenario, and the call on it."""
    def build(address):
        client = latchwork.GateClient(address, secret)
        return getattr(client, method), args
    return build


LONG_KIND = "k" * 2048
NETWORK = [
    ("GateClient.submit", client_call("submit", "ok:" + RUN, KEY), {}, LONG_KIND),
    ("GateClient.submit needs approval", client_call("submit", "ok:" + RUN, KEY, True), {}, LONG_KIND),
    ("GateClient.decide", client_call("decide", "ok:" + RUN, KEY, False), {}, LONG_KIND),
    ("GateClient.decide with secret", client_call("decide", "ok:" + RUN, KEY, True, secret=SECRET), {}, LONG_KIND),
    ("GateClient.cancel", client_call("cancel", "ok:" + RUN), {}, LONG_KIND),
    ("GateClient.ping", client_call("ping"), {}, LONG_KIND),
    ("GateClient gate error", client_call("cancel", "error:" + RUN), {}, (RuntimeError, "gate error: k")),
    ("GateClient bad reply", client_call("submit", "bad:" + RUN, KEY), {}, (RuntimeError, "bad gate reply ")),
    ("GateClient missing verdict", client_call("decide", "noverdict:" + RUN, KEY, True, secret=b""), {},
     (RuntimeError, "gate reply missing verdict: ")),
    ("GateClient invalid UTF-8", client_call("cancel", "utf8:" + RUN), {}, (RuntimeError, "gate read failed: ")),
    ("GateClient closed connection", client_call("cancel", "shut:" + RUN), {},
     (RuntimeError, "gate closed the connection")),
    ("GateClient write failure", client_call("submit", "close:" + RUN, KEY), {}, (RuntimeError, "gate ")),
    ("GateClient.submit missing", client_call("submit", RUN), {}, TypeError),
    ("GateClient.decide flag refusal", client_call("decide", RUN, KEY, 1), {}, TypeError),
    ("GateClient.cancel lone surrogate", client_call("cancel", RUN + "\udc80"), {}, UnicodeEncodeError),
    ("GateClient.cancel unexpected keyword", client_call("cancel", RUN), {"key": KEY}, TypeError),
]


@pytest.mark.parametrize("entry, build, kwargs, outcome", NETWORK, ids=[case[0] for case in NETWORK])
def test_client_entry_does_not_grow(server_address, entry, build, kwargs, outcome):
    call, args = build(server_address)
    assert_no_growth(entry, call, args, kwargs, outcome, count=2000)


def test_constructor_connecting_does_not_grow(server_address):
    assert_no_growth("GateClient() connected", latchwork.GateClient, (server_address, SECRET), {},
                     latchwork.GateClient, count=500)


def test_constructor_refused_does_not_grow():
    with bound_but_not_listening() as port:
        assert_no_growth("GateClient() refused", latchwork.GateClient, (f"127.0.0.1:{port}", SECRET), {},
                         (RuntimeError, f"connect 127.0.0.1:{port} failed: Connection refused"), count=1000)


# ---- calls ended by a signal handler's exception ------------------------------------------

class Interrupted(Exception):
    """What the alarm handler raises, a fresh instance each time."""


# Set while interrupted() waits for its call to be ended.
ALARM_ARMED = [False]


@pytest.fixture
def alarm_raises():
    def handler(signum, frame):
        # One interruption per call, and the alarms stopped by the one that makes it: a
        # later alarm would raise wherever the test happens to be, its finally clauses
        # and pytest's own included.
        if not ALARM_ARMED[0]:
            return
        ALARM_ARMED[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        raise Interrupted()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def interrupted(call, *args):
    """call(*args) with alarms every 2 ms until one ends it while it waits.

    One alarm is not enough: one that comes just before the call enters its system call
    only marks the handler as due, and the call then waits undisturbed."""
    ALARM_ARMED[0] = True
    signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
    try:
        return call(*args)
    finally:
        ALARM_ARMED[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)


def interrupted_exchange(address, method, *args, secret=None):
    """A fresh client's call, ended while it waits for a reply that never comes."""
    return interrupted(getattr(latchwork.GateClient(address, secret), method), *args)


def out_of_step_client(address):
    client = latchwork.GateClient(address, SECRET)
    with pytest.raises(Interrupted):
        interrupted(client.cancel, "hang:" + RUN)
    return client


INTERRUPTED = [
    ("GateClient.submit interrupted", lambda a: (interrupted_exchange, (a, "submit", "hang:" + RUN, KEY, True))),
    ("GateClient.decide interrupted", lambda a: (lambda *args: interrupted_exchange(*args, secret=SECRET),
                                                 (a, "decide", "hang:" + RUN, KEY, False))),
    ("GateClient.cancel interrupted", lambda a: (interrupted_exchange, (a, "cancel", "hang:" + RUN))),
    ("GateClient.submit out of step", lambda a: (out_of_step_client(a).submit, (RUN, KEY))),
    ("GateClient.decide out of step", lambda a: (out_of_step_client(a).decide, (RUN, KEY, True))),
    ("GateClient.ping out of step", lambda a: (out_of_step_client(a).ping, ())),
]
OUTCOMES = {"interrupted": Interrupted,
            "out of step": (RuntimeError, "gate connection out of step: an earlier call was interrupted")}


@pytest.mark.parametrize("entry, build", INTERRUPTED, ids=[case[0] for case in INTERRUPTED])
def test_client_entry_ended_by_a_signal_does_not_grow(server_address, alarm_raises, entry, build):
    call, args = build(server_address)
    outcome = OUTCOMES[entry.split(" ", 1)[1]]
    assert_no_growth(entry, call, args, {}, outcome, count=1000)


def test_constructor_ended_by_a_signal_does_not_grow(alarm_raises):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        # The listen queue's one place is taken and nothing accepts: connects wait.
        with socket.create_connection(listener.getsockname(), timeout=10):
            address = "127.0.0.1:%d" % listener.getsockname()[1]
            assert_no_growth("GateClient() interrupted", interrupted, (latchwork.GateClient, address, SECRET), {},
                             Interrupted, count=1000)
