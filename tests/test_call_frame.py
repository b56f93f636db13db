"""The call frame: argument binding, the three conversions, their refusals and their order."""
import array
import collections
import ctypes
import gc
import operator
import sys

import numpy
import pytest

import latchwork
from support import CausedIndex, busy_gate, snapshot

TAG_ARGS = ("r", "e", True)


def target(name, gate):
    if name == "Gate":
        return latchwork.Gate
    if name == "decision_tag":
        return latchwork.decision_tag
    return getattr(gate, name)


def refuse(name, args, kwargs, expected_type):
    """Calls a callable that must refuse, and checks that the refusal changed nothing."""
    gate = busy_gate()
    before = snapshot(gate)
    with pytest.raises(BaseException) as caught:
        target(name, gate)(*args, **kwargs)
    assert type(caught.value) is expected_type
    assert snapshot(gate) == before
    return caught.value


def interpreter_message(call, *args):
    try:
        call(*args)
    except Exception as error:
        return str(error)
    raise AssertionError("expected a failure")


def surrogate_message(text):
    return interpreter_message(str.encode, text)


class Outer:
    class Inner:
        pass


class Named(str):
    """A str subclass whose own methods must never be consulted."""

    def __str__(self):
        return "other"

    def __eq__(self, other):
        return False

    def __hash__(self):
        return 0

    def encode(self, *args):
        return b"other"


BINDING = [
    # too many, every parameter required / some optional; "arguments" stays plural
    ("cancel", ("r", "s"), {}, "Gate.cancel() takes 1 positional arguments but 2 were given"),
    ("close_run", ("r", "s", "t"), {}, "Gate.close_run() takes 1 positional arguments but 3 were given"),
    ("is_cancelled", ("r", "s"), {}, "Gate.is_cancelled() takes 1 positional arguments but 2 were given"),
    ("is_closed", ("r", "s"), {}, "Gate.is_closed() takes 1 positional arguments but 2 were given"),
    ("decide", ("r", "e", True, True), {}, "Gate.decide() takes 3 positional arguments but 4 were given"),
    ("submit", ("r", "e", True, True), {}, "Gate.submit() takes from 2 to 3 positional arguments but 4 were given"),
    ("decision_tag", (b"", *TAG_ARGS, 1), {}, "decision_tag() takes 4 positional arguments but 5 were given"),
    ("Gate", (1,), {}, "Gate.__new__() takes 0 positional arguments but 1 was given"),
    ("Gate", (1, 2), {}, "Gate.__new__() takes 0 positional arguments but 2 were given"),
    # unexpected keyword, compared byte for byte
    ("Gate", (), {"x": 1}, "Gate.__new__() got an unexpected keyword argument 'x'"),
    ("cancel", ("r",), {"Run_id": "r"}, "Gate.cancel() got an unexpected keyword argument 'Run_id'"),
    ("cancel", (), {"rün_id": "r"}, "Gate.cancel() got an unexpected keyword argument 'rün_id'"),
    ("cancel", (), {"\udc80": "r"}, "Gate.cancel() got an unexpected keyword argument '\udc80'"),
    ("decision_tag", (), {"key": b""}, "decision_tag() got an unexpected keyword argument 'key'"),
    # multiple values
    ("cancel", ("r",), {"run_id": "r"}, "Gate.cancel() got multiple values for argument 'run_id'"),
    ("submit", ("r", "e"), {"effect_key": "e"}, "Gate.submit() got multiple values for argument 'effect_key'"),
    ("decide", ("r", "e", True), {"approved": True}, "Gate.decide() got multiple values for argument 'approved'"),
    # missing: one, two and three or more names
    ("submit", ("r",), {}, "Gate.submit() missing 1 required positional argument: 'effect_key'"),
    ("submit", (), {}, "Gate.submit() missing 2 required positional arguments: 'run_id' and 'effect_key'"),
    ("submit", (), {"needs_approval": True}, "Gate.submit() missing 2 required positional arguments: 'run_id' and 'effect_key'"),
    ("decide", (), {}, "Gate.decide() missing 3 required positional arguments: 'run_id', 'effect_key', and 'approved'"),
    ("decide", (), {"effect_key": "e"}, "Gate.decide() missing 2 required positional arguments: 'run_id' and 'approved'"),
    ("decide", ("r",), {"approved": True}, "Gate.decide() missing 1 required positional argument: 'effect_key'"),
    ("cancel", (), {}, "Gate.cancel() missing 1 required positional argument: 'run_id'"),
    ("decision_tag", (), {}, "decision_tag() missing 4 required positional arguments: 'secret', 'run_id', 'effect_key', and 'approved'"),
    ("decision_tag", (b"",), {}, "decision_tag() missing 3 required positional arguments: 'run_id', 'effect_key', and 'approved'"),
    ("decision_tag", (), {"run_id": "r"}, "decision_tag() missing 3 required positional arguments: 'secret', 'effect_key', and 'approved'"),
    # order: too many, then keywords in call order, then missing, then conversions
    ("cancel", (5, 6), {"x": 1}, "Gate.cancel() takes 1 positional arguments but 2 were given"),
    ("cancel", (5,), {"x": 1}, "Gate.cancel() got an unexpected keyword argument 'x'"),
    ("submit", (1,), {"x": 1, "run_id": 2}, "Gate.submit() got an unexpected keyword argument 'x'"),
    ("submit", (1,), {"run_id": 2, "x": 1}, "Gate.submit() got multiple values for argument 'run_id'"),
    ("submit", (), {"x": 1}, "Gate.submit() got an unexpected keyword argument 'x'"),
    ("decide", (1,), {}, "Gate.decide() missing 2 required positional arguments: 'effect_key' and 'approved'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING)
def test_binding_errors(name, args, kwargs, message):
    assert str(refuse(name, args, kwargs, TypeError)) == message


@pytest.mark.parametrize("name", ["pending_count", "state_len"])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_no_argument_methods_refuse_arguments_as_the_interpreter_does(name, args, kwargs):
    expected = interpreter_message(lambda: [].clear(*args, **kwargs))
    error = refuse(name, args, kwargs, TypeError)
    assert str(error) == expected.replace("list.clear", f"Gate.{name}")


def refusal(name, type_name, target_name):
    return f"argument '{name}': '{type_name}' object cannot be converted to '{target_name}'"


def fake_numpy(name="bool_", module="numpy", **members):
    return type(name, (), {"__module__": module, **members})()


def with_instance_bool():
    """__bool__ is looked up on the type, never on the instance."""
    instance = fake_numpy()
    instance.__bool__ = lambda: True
    return instance


class TruthyClass(type):
    def __bool__(cls):
        return True


class FalseBase:
    def __bool__(self):
        return False


def raising(error):
    def method(self):
        raise error
    return method


NO_TRUTH = ValueError("no truth")
NO_BOOL = "argument 'approved': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"
CONVERSION = [
    # text: anything but a str; the type's __qualname__ is named
    ("cancel", (b"r",), TypeError, refusal("run_id", "bytes", "PyString")),
    ("close_run", (None,), TypeError, refusal("run_id", "NoneType", "PyString")),
    ("is_cancelled", (1,), TypeError, refusal("run_id", "int", "PyString")),
    ("is_closed", (bytearray(b"r"),), TypeError, refusal("run_id", "bytearray", "PyString")),
    ("submit", ("r", Outer.Inner()), TypeError, refusal("effect_key", "Outer.Inner", "PyString")),
    ("decide", ("r", ["e"], True), TypeError, refusal("effect_key", "list", "PyString")),
    ("decide", ("r\udc80", "e", True), UnicodeEncodeError, surrogate_message("r\udc80")),
    ("submit", ("r", Named("\ud800e")), UnicodeEncodeError, surrogate_message("\ud800e")),
    # flag: True and False only, and numpy's booleans
    ("submit", ("r", "e", 1), TypeError, refusal("needs_approval", "int", "PyBool")),
    ("submit", ("r", "e", None), TypeError, refusal("needs_approval", "NoneType", "PyBool")),
    ("decide", ("r", "e", 0), TypeError, refusal("approved", "int", "PyBool")),
    ("decide", ("r", "e", ""), TypeError, refusal("approved", "str", "PyBool")),
    ("decide", ("r", "e", 1.0), TypeError, refusal("approved", "float", "PyBool")),
    ("decide", ("r", "e", numpy.int64(1)), TypeError, refusal("approved", "int64", "PyBool")),
    ("decide", ("r", "e", numpy.array(True)), TypeError, refusal("approved", "ndarray", "PyBool")),
    ("decide", ("r", "e", fake_numpy()), TypeError, NO_BOOL),
    ("decide", ("r", "e", with_instance_bool()), TypeError, NO_BOOL),
    ("decide", ("r", "e", TruthyClass("bool_", (), {"__module__": "numpy"})()), TypeError, NO_BOOL),
    ("decide", ("r", "e", fake_numpy("bool")), TypeError,
     "argument 'approved': object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion"),
    ("decide", ("r", "e", fake_numpy(__bool__=lambda self: 1)), TypeError, refusal("approved", "int", "PyBool")),
    ("submit", ("r", "e", fake_numpy(__bool__=lambda self: None)), TypeError,
     refusal("needs_approval", "NoneType", "PyBool")),
    ("decide", ("r", "e", fake_numpy(__bool__=raising(NO_TRUTH))), ValueError, "no truth"),
    ("decide", ("r", "e", fake_numpy(__bool__=raising(TypeError("no truth")))), TypeError,
     "argument 'approved': no truth"),
    ("decide", ("r", "e", fake_numpy("bool8", __bool__=lambda self: True)), TypeError,
     refusal("approved", "bool8", "PyBool")),
    ("decide", ("r", "e", fake_numpy(module="numpy.core", __bool__=lambda self: True)), TypeError,
     refusal("approved", "bool_", "PyBool")),
    # conversions run left to right, whatever order the keywords came in
    ("decide", (1, 2, 3), TypeError, refusal("run_id", "int", "PyString")),
    ("decide", ("r", 2, 3), TypeError, refusal("effect_key", "int", "PyString")),
    ("decide", ("\udc80", 2, 3), UnicodeEncodeError, surrogate_message("\udc80")),
    ("decide", (1, "\udc80", True), TypeError, refusal("run_id", "int", "PyString")),
]


@pytest.mark.parametrize("name, args, expected_type, message", CONVERSION)
def test_conversion_refusals(name, args, expected_type, message):
    error = refuse(name, args, {}, expected_type)
    assert str(error) == message
    if expected_type is ValueError:
        assert error is NO_TRUTH


def test_keywords_convert_in_signature_order():
    error = refuse("decide", (), {"approved": 3, "effect_key": 2, "run_id": 1}, TypeError)
    assert str(error) == refusal("run_id", "int", "PyString")


@pytest.mark.parametrize("flag, value", [
    (True, True), (False, False), (numpy.True_, True), (numpy.False_, False),
    (numpy.bool_(1), True), (fake_numpy(__bool__=lambda self: True), True),
    (fake_numpy("bool", __bool__=lambda self: False), False),
    (fake_numpy(__bool__=staticmethod(lambda: True)), True),
    (fake_numpy(__bool__=classmethod(lambda cls: cls.__name__ == "bool_")), True),
    (type("bool_", (FalseBase,), {"__module__": "numpy"})(), False),
])
def test_accepted_flags(flag, value):
    gate = latchwork.Gate()
    assert gate.submit("r", "e", flag).kind == ("held_for_approval" if value else "release")
    assert gate.decide("r", "f", flag).kind == ("refused_duplicate" if value else "refused_rejected")


def test_text_is_read_by_content_only():
    gate = latchwork.Gate()
    assert gate.submit(Named("r"), Named("e")).kind == "release"
    assert gate.submit("r", "e").kind == "refused_duplicate"
    gate.cancel(Named("c"))
    assert gate.is_cancelled("c") and not gate.is_cancelled("other")


def test_embedded_nul_is_kept():
    gate = latchwork.Gate()
    assert [gate.submit(run, key).kind for run, key in
            [("r\0x", "e"), ("r", "e"), ("r", "e\0"), ("r\0x", "e")]] == [
        "release", "release", "release", "refused_duplicate"]


def test_keyword_calls_in_any_order_match_positional_ones():
    by_position, by_keyword, mixed = latchwork.Gate(), latchwork.Gate(), latchwork.Gate()
    calls = [
        ("submit", ("r", "e"), {"effect_key": "e", "run_id": "r"}),
        ("submit", ("r", "f", True), {"needs_approval": True, "effect_key": "f", "run_id": "r"}),
        ("decide", ("r", "f", False), {"approved": False, "run_id": "r", "effect_key": "f"}),
        ("decide", ("r", "g", True), {"effect_key": "g", "approved": True, "run_id": "r"}),
        ("submit", ("r", "h", False), {"run_id": "r", "needs_approval": False, "effect_key": "h"}),
        ("cancel", ("c",), {"run_id": "c"}),
        ("close_run", ("d",), {"run_id": "d"}),
        ("is_cancelled", ("c",), {"run_id": "c"}),
        ("is_closed", ("d",), {"run_id": "d"}),
    ]
    for name, args, kwargs in calls:
        expected = getattr(by_position, name)(*args)
        assert getattr(by_keyword, name)(**kwargs) == expected
        rest = {k: v for k, v in kwargs.items() if k != "run_id"}
        assert getattr(mixed, name)(kwargs["run_id"], **rest) == expected
    assert snapshot(by_keyword, "cd") == snapshot(mixed, "cd") == snapshot(by_position, "cd")
    assert latchwork.decision_tag(approved=True, effect_key="e", run_id="r", secret=b"k") == \
        latchwork.decision_tag(b"k", "r", "e", True)


class Index:
    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error is not None:
            raise self.error
        return self.value


class Items:
    """A sequence by __getitem__ alone, which can fail on one index and in __len__, or
    claim a length of its own."""

    def __init__(self, items, fail_at=None, error=None, length_error=None, length=None):
        self.items, self.fail_at, self.error, self.length_error = items, fail_at, error, length_error
        self.length = len(items) if length is None else length

    def __len__(self):
        if self.length_error:
            raise self.length_error
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise self.error
        return self.items[index]


class Secret(bytes):
    pass


@pytest.mark.parametrize("secret, as_bytes", [
    (b"\x00\xff", b"\x00\xff"), (Secret(b"ab"), b"ab"), (bytearray(b"ab"), b"ab"),
    ([0, 255], b"\x00\xff"), ((1, 2), b"\x01\x02"), (range(256), bytes(range(256))),
    ([], b""), ([True, False], b"\x01\x00"), ([Index(7), numpy.uint8(9)], b"\x07\x09"),
    (memoryview(b"mv"), b"mv"), (array.array("B", b"ar"), b"ar"),
    (collections.deque(b"dq"), b"dq"), (numpy.frombuffer(b"np", numpy.uint8), b"np"),
    (Items([1, 2]), b"\x01\x02"), (Items([3], length_error=ValueError("no length")), b"\x03"),
    (Items([4, 5], length=2 ** 40), b"\x04\x05"), (Items([6], length=sys.maxsize), b"\x06"),
])
def test_accepted_byte_sequences(secret, as_bytes):
    assert latchwork.decision_tag(secret, *TAG_ARGS) == latchwork.decision_tag(as_bytes, *TAG_ARGS)


LONG_BITS = 8 * ctypes.sizeof(ctypes.c_long)
LONG_MAX, LONG_MIN = 2 ** (LONG_BITS - 1) - 1, -(2 ** (LONG_BITS - 1))
OUT_OF_RANGE = "out of range integral type conversion attempted"
TOO_LARGE = "Python int too large to convert to C long"  # the interpreter's own
ITER_FAILURE = RuntimeError("iteration failed")


@pytest.mark.parametrize("secret, expected_type, message", [
    (Named("key"), TypeError, "argument 'secret': Can't extract `str` to `Vec`"),
    ({}, TypeError, refusal("secret", "dict", "Sequence")),
    ({1}, TypeError, refusal("secret", "set", "Sequence")),
    (5, TypeError, refusal("secret", "int", "Sequence")),
    ((b for b in b"k"), TypeError, refusal("secret", "generator", "Sequence")),
    (iter(b"k"), TypeError, refusal("secret", "bytes_iterator", "Sequence")),
    ([256], OverflowError, OUT_OF_RANGE),
    ([1, -1], OverflowError, OUT_OF_RANGE),
    ([LONG_MAX], OverflowError, OUT_OF_RANGE),
    ([LONG_MIN], OverflowError, OUT_OF_RANGE),
    ([Index(300)], OverflowError, OUT_OF_RANGE),
    ([LONG_MAX + 1], OverflowError, TOO_LARGE),
    ([LONG_MIN - 1], OverflowError, TOO_LARGE),
    ([1.0], TypeError, "argument 'secret': " + interpreter_message(operator.index, 1.0)),
    ([0, "a"], TypeError, "argument 'secret': " + interpreter_message(operator.index, "a")),
    ([None], TypeError, "argument 'secret': " + interpreter_message(operator.index, None)),
    ([Index("x")], TypeError, "argument 'secret': " + interpreter_message(operator.index, Index("x"))),
    (Items([1, 2], 1, ITER_FAILURE), RuntimeError, "iteration failed"),
    (Items([1, 2], 0, TypeError("no item")), TypeError, "argument 'secret': no item"),
    ([Index(error=ValueError("bad"))], ValueError, "bad"),
    (range(2 ** 40), OverflowError, OUT_OF_RANGE),
    (range(sys.maxsize), OverflowError, OUT_OF_RANGE),
])
def test_byte_sequence_refusals(secret, expected_type, message):
    error = refuse("decision_tag", (secret, *TAG_ARGS), {}, expected_type)
    assert str(error) == message
    if expected_type is RuntimeError:
        assert error is ITER_FAILURE


class NotQuiteTypeError(TypeError):
    pass


def test_naming_an_argument_keeps_the_cause():
    error = refuse("decision_tag", ([1.0], *TAG_ARGS), {}, TypeError)
    assert error.__cause__ is None
    error = refuse("decision_tag", ([CausedIndex()], *TAG_ARGS), {}, TypeError)
    assert str(error) == "argument 'secret': bad index"
    assert type(error.__cause__) is KeyError and error.__cause__.args == ("root",)


def test_a_type_error_subclass_is_not_renamed():
    original = NotQuiteTypeError("subclass")
    error = refuse("decision_tag", ([Index(error=original)], *TAG_ARGS), {}, NotQuiteTypeError)
    assert error is original and str(error) == "subclass"


class HiddenName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return cls.stand_in()
        return super().__getattribute__(name)


def stand_in_raises():
    raise RuntimeError("no name")


@pytest.mark.parametrize("stand_in", [stand_in_raises, lambda: 42, lambda: "\udc80"])
def test_unreadable_qualname(stand_in):
    unnamed = HiddenName("Unnamed", (), {"stand_in": staticmethod(stand_in)})
    error = refuse("cancel", (unnamed(),), {}, TypeError)
    assert str(error) == refusal("run_id", "<failed to extract type name>", "PyString")


def test_calls_leak_no_references():
    gate = latchwork.Gate()
    run, key, secret = "".join(["run", "-1"]), "".join(["key", "-1"]), [1, 2, 3]
    watched = (latchwork.Verdict, latchwork.Gate, run, key, secret, numpy.True_)

    def exercise():
        for flag in (True, False, numpy.True_):
            gate.submit(run, key, flag)
            gate.decide(run, key, flag)
            latchwork.decision_tag(secret, run, key, flag)
        for call in (lambda: gate.submit(run, key, 1), lambda: gate.decide(run, 5, True),
                     lambda: gate.cancel(run, x=secret), lambda: latchwork.Gate(secret),
                     lambda: latchwork.decision_tag([*secret, 256], run, key, True)):
            with pytest.raises((TypeError, OverflowError)):
                call()
        gate.is_cancelled(run), gate.close_run(run), latchwork.Gate()

    def counts():
        gc.collect()  # caught exceptions keep frames, and with them gates, in cycles
        return [sys.getrefcount(item) for item in watched]

    exercise()
    before = counts()
    for _ in range(50):
        exercise()
    assert counts() == before
