"""decision_tag against Python's hmac and hashlib, and its argument refusals in signature order."""
import hashlib
import hmac
import random
import re

import numpy
import pytest

from latchwork import decision_tag
from support import SECRET_FORMS, RefusingBytes

HEX64 = re.compile(r"[0-9a-f]{64}")
ALPHABET = "ab\nZ0 é∂😀\0"


def oracle(secret, run_id, effect_key, approved):
    message = b"\n".join([run_id.encode(), effect_key.encode(), b"1" if approved else b"0"])
    return hmac.new(bytes(secret), message, hashlib.sha256).hexdigest()


def random_case(rng):
    secret = rng.randbytes(rng.choice([0, 1, 31, 32, 63, 64, 65, 100, 200]))
    text = lambda: "".join(rng.choices(ALPHABET, k=rng.choice([0, 1, 5, 55, 56, 64, 120, 300])))
    return secret, text(), text(), rng.random() < 0.5


@pytest.mark.parametrize("seed", range(4))
def test_matches_hmac_sha256_of_the_decision_message(seed):
    rng = random.Random(seed)
    for _ in range(100):
        case = random_case(rng)
        tag = decision_tag(*case)
        assert HEX64.fullmatch(tag), tag
        assert tag == oracle(*case)


@pytest.mark.parametrize("case", [
    (b"", "", "", False), (b"", "", "", True), (b"k", "run\n", "", True),
    (b"\xff" * 64, "r" * 64, "e" * 64, False), (bytes(range(256)), "ü", "\n\n", True),
])
def test_edge_inputs(case):
    assert decision_tag(*case) == oracle(*case)
    assert decision_tag(*case[:3], not case[3]) != decision_tag(*case)


def test_every_byte_sequence_of_the_same_secret_gives_the_same_tag():
    secret = bytes(range(0, 256, 7))
    forms = [secret, bytearray(secret), list(secret), tuple(secret), memoryview(secret)]
    assert {decision_tag(form, "r", "e", True) for form in forms} == {oracle(secret, "r", "e", True)}


def test_numpy_bool_approval():
    assert decision_tag(b"k", "r", "e", numpy.True_) == decision_tag(b"k", "r", "e", True)
    assert decision_tag(b"k", "r", "e", numpy.False_) == decision_tag(b"k", "r", "e", False)


def test_line_feeds_are_not_escaped():
    assert decision_tag(b"k", "r\n", "e", True) == decision_tag(b"k", "r", "\ne", True)
    assert decision_tag(b"k", "r\ne", "", True) == decision_tag(b"k", "r", "e\n", True)


def test_long_secret_is_hashed_first():
    secret = bytes(range(100))
    assert decision_tag(secret, "r", "e", True) == \
        decision_tag(hashlib.sha256(secret).digest(), "r", "e", True)


@pytest.mark.parametrize("args, expected_type, message", [
    (("key", 1, 2, 3), TypeError, "argument 'secret': Can't extract `str` to `Vec`"),
    ((None, 1, 2, 3), TypeError,
     "argument 'secret': 'NoneType' object cannot be converted to 'Sequence'"),
    (([1.5], 1, 2, 3), TypeError,
     "argument 'secret': 'float' object cannot be interpreted as an integer"),
    (([256], 1, 2, 3), OverflowError, "out of range integral type conversion attempted"),
    (([-1], 1, 2, 3), OverflowError, "out of range integral type conversion attempted"),
    (([2 ** 64], 1, 2, 3), OverflowError, "Python int too large to convert to C long"),
    ((b"", 1, 2, 3), TypeError, "argument 'run_id': 'int' object cannot be converted to 'PyString'"),
    ((b"", "\udc80", 2, 3), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
    ((b"", "r", b"e", 3), TypeError,
     "argument 'effect_key': 'bytes' object cannot be converted to 'PyString'"),
    ((b"", "r", "e\udfff", 3), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udfff' in position 1: surrogates not allowed"),
    ((b"", "r", "e", 1), TypeError, "argument 'approved': 'int' object cannot be converted to 'PyBool'"),
    ((b"", "r", "e", None), TypeError,
     "argument 'approved': 'NoneType' object cannot be converted to 'PyBool'"),
])
def test_refusals_name_the_earliest_argument(args, expected_type, message):
    with pytest.raises(BaseException) as caught:
        decision_tag(*args)
    assert type(caught.value) is expected_type
    assert str(caught.value) == message


@pytest.mark.parametrize("secret, as_iterated", SECRET_FORMS)
def test_a_secret_is_the_bytes_it_iterates_to(secret, as_iterated):
    for approved in (True, False):
        assert decision_tag(secret, "r", "e", approved) == oracle(as_iterated, "r", "e", approved)


def test_a_subclass_that_refuses_iteration_is_refused():
    with pytest.raises(LookupError, match="no iteration"):
        decision_tag(RefusingBytes(b"k"), "r", "e", True)
