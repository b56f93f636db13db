"""A walk through the in-process gate: every way an effect can be answered."""

import latchwork


def show(action: str, verdict: latchwork.Verdict) -> None:
    flags = [name for name in ("released", "held", "refused") if getattr(verdict, name)]
    print(f"{action:<52} -> {verdict.kind:<18} ({', '.join(flags) or 'no flag'})")


gate = latchwork.Gate()

print("== release: an effect that needs no approval happens now")
show('submit("run-1", "log:started")', gate.submit("run-1", "log:started"))

print("\n== hold, then approve")
show('submit("run-1", "email:42", needs_approval=True)',
     gate.submit("run-1", "email:42", needs_approval=True))
print(f"   pending effects: {gate.pending_count()}")
show('decide("run-1", "email:42", approved=True)', gate.decide("run-1", "email:42", approved=True))

print("\n== hold, then reject")
show('submit("run-1", "payment:7", needs_approval=True)',
     gate.submit("run-1", "payment:7", needs_approval=True))
show('decide("run-1", "payment:7", approved=False)',
     gate.decide("run-1", "payment:7", approved=False))
show('submit("run-1", "payment:7")  # asked again', gate.submit("run-1", "payment:7"))

print("\n== reject before submit: the later submission is refused")
show('decide("run-1", "delete:db", approved=False)',
     gate.decide("run-1", "delete:db", approved=False))
show('submit("run-1", "delete:db")', gate.submit("run-1", "delete:db"))

print("\n== duplicate: an effect is released at most once")
show('submit("run-1", "log:started")', gate.submit("run-1", "log:started"))

print("\n== cancel: held effects are dropped, later ones refused")
show('submit("run-2", "email:9", needs_approval=True)',
     gate.submit("run-2", "email:9", needs_approval=True))
gate.cancel("run-2")
print(f'   cancel("run-2"); is_cancelled -> {gate.is_cancelled("run-2")}, '
      f"pending effects: {gate.pending_count()}")
show('decide("run-2", "email:9", approved=True)', gate.decide("run-2", "email:9", approved=True))
show('submit("run-2", "email:10")', gate.submit("run-2", "email:10"))

print("\n== close: everything the gate remembers of the run goes")
print(f"   remembered effects before: {gate.state_len()}")
gate.close_run("run-1")
print(f'   close_run("run-1"); is_closed -> {gate.is_closed("run-1")}, '
      f"remembered effects: {gate.state_len()}")
show('submit("run-1", "log:started")', gate.submit("run-1", "log:started"))

print("\n== decision tags authenticate decisions sent to a gate server")
print("   decision_tag(b'secret', 'run-1', 'email:42', True) =")
print("  ", latchwork.decision_tag(b"secret", "run-1", "email:42", True))
