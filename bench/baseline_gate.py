"""baseline_gate.py: the approval gate a user would write in plain Python, to compare against.

Same verdicts as latchwork.Gate, written the idiomatic way: effects kept per run in a
dict, run flags in two sets, counters beside them so the two queries are O(1). It is
meant to be a fair opponent, so it has no argument checks and no locking (a single
interpreter lock already makes each method atomic enough for a benchmark).
"""

RELEASE = "release"
HELD = "held_for_approval"
REFUSED_CANCELLED = "refused_cancelled"
REFUSED_DUPLICATE = "refused_duplicate"
REFUSED_REJECTED = "refused_rejected"

# Effect states, stored as the values of each run's dict.
_PENDING = 0
_RELEASED = 1
_REJECTED = 2

# What a repeated submit answers for an effect already in a state.
_RESUBMIT_VERDICT = (HELD, REFUSED_DUPLICATE, REFUSED_REJECTED)


class Verdict:
    __slots__ = ("kind",)

    def __init__(self, kind):
        self.kind = kind

    @property
    def released(self):
        return self.kind == RELEASE

    @property
    def held(self):
        return self.kind == HELD

    @property
    def refused(self):
        return self.kind.startswith("refused_")

    def __eq__(self, other):
        if isinstance(other, Verdict):
            return self.kind == other.kind
        if isinstance(other, str):
            return self.kind == other
        return NotImplemented

    def __hash__(self):
        return hash(self.kind)

    def __str__(self):
        return self.kind

    def __repr__(self):
        return f"Verdict({self.kind!r})"


class Gate:
    def __init__(self):
        self._runs = {}  # run_id -> {effect_key: state}
        self._cancelled = set()
        self._closed = set()
        self._pending = 0
        self._stored = 0

    def submit(self, run_id, effect_key, needs_approval=False):
        if run_id in self._cancelled or run_id in self._closed:
            return Verdict(REFUSED_CANCELLED)
        effects = self._runs.get(run_id)
        if effects is None:
            effects = self._runs[run_id] = {}
        else:
            state = effects.get(effect_key)
            if state is not None:
                return Verdict(_RESUBMIT_VERDICT[state])
        self._stored += 1
        if needs_approval:
            effects[effect_key] = _PENDING
            self._pending += 1
            return Verdict(HELD)
        effects[effect_key] = _RELEASED
        return Verdict(RELEASE)

    def decide(self, run_id, effect_key, approved):
        effects = self._runs.get(run_id)
        state = None if effects is None else effects.get(effect_key)
        if state == _PENDING:
            self._pending -= 1
            if approved:
                effects[effect_key] = _RELEASED
                return Verdict(RELEASE)
            effects[effect_key] = _REJECTED
            return Verdict(REFUSED_REJECTED)
        if run_id in self._cancelled or run_id in self._closed:
            return Verdict(REFUSED_CANCELLED)
        if approved or state == _RELEASED:
            return Verdict(REFUSED_DUPLICATE)
        if state is None:
            # A rejection before the submission is remembered.
            if effects is None:
                effects = self._runs[run_id] = {}
            effects[effect_key] = _REJECTED
            self._stored += 1
        return Verdict(REFUSED_REJECTED)

    def cancel(self, run_id):
        self._cancelled.add(run_id)
        effects = self._runs.get(run_id)
        if effects:
            held = [key for key, state in effects.items() if state == _PENDING]
            for key in held:
                del effects[key]
            self._pending -= len(held)
            self._stored -= len(held)

    def close_run(self, run_id):
        self._closed.add(run_id)
        effects = self._runs.pop(run_id, None)
        if effects:
            held = sum(1 for state in effects.values() if state == _PENDING)
            self._pending -= held
            self._stored -= len(effects)

    def is_cancelled(self, run_id):
        return run_id in self._cancelled

    def is_closed(self, run_id):
        return run_id in self._closed

    def pending_count(self):
        return self._pending

    def state_len(self):
        return self._stored
