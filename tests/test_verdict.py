"""Verdict: predicates, text forms, equality without order or hash, and immutability."""
import operator
import weakref

import pytest

import latchwork
from support import GATE_KINDS, verdict_of

PREDICATES = {  # kind -> (released, held, refused)
    "release": (True, False, False),
    "held_for_approval": (False, True, False),
    "refused_cancelled": (False, False, True),
    "refused_duplicate": (False, False, True),
    "refused_rejected": (False, False, True),
}
ORDERINGS = (operator.lt, operator.le, operator.gt, operator.ge)
STRANGERS = (None, 0, 1.5, b"release", ["release"], object(), "\udc80")


@pytest.mark.parametrize("kind", GATE_KINDS)
def test_kind_predicates_and_text_forms(kind):
    verdict = verdict_of(kind)
    assert type(verdict) is latchwork.Verdict
    assert verdict.kind == kind and type(verdict.kind) is str
    assert (verdict.released, verdict.held, verdict.refused) == PREDICATES[kind]
    assert str(verdict) == kind
    assert repr(verdict) == f"Verdict('{kind}')"
    assert bool(verdict) is True


@pytest.mark.parametrize("kind", GATE_KINDS)
@pytest.mark.parametrize("other_kind", GATE_KINDS)
def test_equality_with_verdicts_and_str_on_either_side(kind, other_kind):
    verdict, other = verdict_of(kind), verdict_of(other_kind)
    same = kind == other_kind
    assert (verdict == other, verdict != other) == (same, not same)
    assert (verdict == other_kind, other_kind == verdict) == (same, same)
    assert (verdict != other_kind, other_kind != verdict) == (not same, not same)


class Kind(str):
    def __eq__(self, other):
        return False


@pytest.mark.parametrize("other", [Kind("release"), "release"])
def test_str_subclass_compares_by_content(other):
    assert verdict_of("release") == other


@pytest.mark.parametrize("other", STRANGERS)
def test_equality_with_anything_else_is_false(other):
    verdict = verdict_of("release")
    assert (verdict == other, other == verdict) == (False, False)
    assert (verdict != other, other != verdict) == (True, True)


@pytest.mark.parametrize("compare", ORDERINGS)
@pytest.mark.parametrize("other", (*STRANGERS, "release", "zzz", verdict_of("release")))
def test_orderings_are_always_false_and_never_raise(compare, other):
    verdict = verdict_of("release")
    assert compare(verdict, other) is False
    assert compare(other, verdict) is False
    assert compare(verdict, verdict) is False


def test_unhashable():
    verdict = verdict_of("release")
    assert latchwork.Verdict.__hash__ is None
    for use in (hash, lambda v: {v}, lambda v: {v: 1}, lambda v: frozenset([v])):
        with pytest.raises(TypeError, match="unhashable type: 'latchwork.Verdict'"):
            use(verdict)


@pytest.mark.parametrize("name", ["kind", "released", "held", "refused", "other", "__dict__"])
def test_attributes_cannot_be_set_or_deleted(name):
    verdict = verdict_of("held_for_approval")
    with pytest.raises(AttributeError):
        setattr(verdict, name, "release")
    with pytest.raises(AttributeError):
        delattr(verdict, name)
    assert verdict.kind == "held_for_approval"


@pytest.mark.parametrize("args, kwargs", [((), {}), (("release",), {}), ((), {"kind": "x"})])
def test_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as caught:
        latchwork.Verdict(*args, **kwargs)
    assert str(caught.value) == "No constructor defined for Verdict"
    assert type(caught.value) is TypeError


def test_final_and_without_weak_references():
    with pytest.raises(TypeError):
        type("Sub", (latchwork.Verdict,), {})
    with pytest.raises(TypeError):
        weakref.ref(verdict_of("release"))


def test_each_result_is_a_fresh_object():
    gate = latchwork.Gate()
    assert gate.decide("r", "e", True) is not gate.decide("r", "e", True)
