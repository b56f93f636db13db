"""Approvals and details on the SQLite store of the real latchwork-gate: an approval
survives SIGKILL and is taken exactly once, a held effect's detail survives a restart,
and a file of the layout before them is upgraded in place."""
import sqlite3

import pytest

import latchwork
from console_http import Console, write_approvers
from gate_process import run_gate

DETAIL = {"amount": 120, "to": "acct-9"}
DIFFERS = {"message": "detail differs from the waiting effect's", "verdict": "error"}


@pytest.fixture
def serve(gate_process, tmp_path):
    """Starts (again) a server with a console on the same store file."""
    approvers = write_approvers(tmp_path, "alice:token-of-alice\n")

    def start(*options):
        return gate_process("--store", f"sqlite:{tmp_path / 'gate.db'}",
                            "--console", "127.0.0.1:0", "--approvers", str(approvers), *options)
    return start


def submit(server, run_id, key, detail=None, client=False):
    """A held submit's verdict: through the module's client, or a raw line with a detail."""
    if client:
        return latchwork.GateClient(server.address).submit(run_id, key, True).kind
    request = {"op": "submit", "run_id": run_id, "effect_key": key, "needs_approval": True}
    if detail is not None:
        request["detail"] = detail
    return server.request(request)["verdict"]


@pytest.mark.parametrize("detail, client", [(DETAIL, False), (None, True)],
                         ids=["raw_line_with_detail", "gate_client"])
def test_an_approval_survives_sigkill_and_is_taken_once(serve, detail, client):
    server = serve()
    assert submit(server, "pay", "invoice-7", detail, client) == "held_for_approval"
    console = Console(server.console_port, "token-of-alice")
    assert console.decide("pay", "invoice-7", True) == "approved"
    server.kill()  # at once after the answer: the approval is on disk or it was not given
    server = serve()
    assert submit(server, "pay", "invoice-7", detail, client) == "release"
    assert submit(server, "pay", "invoice-7", detail, client) == "refused_duplicate"
    server.kill()
    server = serve()
    assert submit(server, "pay", "invoice-7", detail, client) == "refused_duplicate"


@pytest.mark.parametrize("how", ["sigkill", "sigterm"])
@pytest.mark.parametrize("approved", [False, True], ids=["held", "approved"])
def test_a_waiting_effects_detail_survives_a_restart(serve, how, approved):
    """Killed, the detail is in the journal alone; stopped, in the folded tables."""
    server = serve()
    assert submit(server, "pay", "invoice-7", DETAIL) == "held_for_approval"
    if approved:
        assert Console(server.console_port, "token-of-alice").decide(
            "pay", "invoice-7", True) == "approved"
    if how == "sigkill":
        server.kill()
    else:
        assert server.stop() == 0
    server = serve()
    other = server.request({"op": "submit", "run_id": "pay", "effect_key": "invoice-7",
                            "needs_approval": True, "detail": {"amount": 121, "to": "acct-9"}})
    assert other == DIFFERS
    # The same detail, its members in another order, is the same effect.
    same = {"to": "acct-9", "amount": 120}
    assert submit(server, "pay", "invoice-7", same) == ("release" if approved else
                                                        "held_for_approval")


# The layout before approvals and details (schema version 2), as that program made it.
VERSION_TWO = """
CREATE TABLE schema_version (version INTEGER NOT NULL);
CREATE TABLE runs (run_id BLOB PRIMARY KEY NOT NULL,
  cancelled INTEGER NOT NULL DEFAULT 0 CHECK (cancelled IN (0, 1)),
  closed INTEGER NOT NULL DEFAULT 0 CHECK (closed IN (0, 1))) WITHOUT ROWID;
CREATE TABLE effects (run_id BLOB NOT NULL, effect_key BLOB NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('pending', 'released', 'rejected')),
  changed_at INTEGER NOT NULL, PRIMARY KEY (run_id, effect_key)) WITHOUT ROWID;
CREATE TABLE journal (seq INTEGER PRIMARY KEY, change_count INTEGER NOT NULL,
  changed_at INTEGER NOT NULL, changes BLOB NOT NULL);
CREATE TABLE audit (seq INTEGER PRIMARY KEY, at INTEGER NOT NULL,
  event TEXT NOT NULL CHECK (event IN ('held', 'decided', 'expired', 'cancelled', 'closed')),
  run_id BLOB NOT NULL, effect_key BLOB NOT NULL,
  approved INTEGER NOT NULL CHECK (approved IN (0, 1)), verdict TEXT NOT NULL,
  source BLOB NOT NULL, mac_verified INTEGER NOT NULL CHECK (mac_verified IN (0, 1)),
  reason BLOB NOT NULL, deadline INTEGER);
CREATE INDEX audit_by_effect ON audit (run_id, effect_key, seq);
INSERT INTO schema_version (version) VALUES (2);
PRAGMA application_id = 1280788308;
INSERT INTO effects VALUES (CAST('pay' AS BLOB), CAST('old' AS BLOB), 'pending', 1000);
INSERT INTO audit VALUES (1, 1000, 'held', CAST('pay' AS BLOB), CAST('old' AS BLOB), 0,
  'held_for_approval', CAST('line:127.0.0.1:1' AS BLOB), 0, X'', NULL);
"""


def test_a_version_two_file_is_upgraded_in_place_and_logs_takings_details_and_would(
        serve, tmp_path):
    path = tmp_path / "gate.db"
    with sqlite3.connect(path) as db:
        db.executescript(VERSION_TWO)
    url = f"sqlite:{path}"
    before = run_gate("log", "--store", url)
    assert before.returncode == 0, before.stderr
    assert before.stdout.splitlines()[0].endswith(
        ' held run="pay" effect="old" source="line:127.0.0.1:1"')

    # Shadow rules, so that the upgraded log also takes what a rule would have done.
    rules = tmp_path / "rules.toml"
    rules.write_text('[[rule]]\nname = "new"\neffect = "new"\naction = "release"\n')
    server = serve("--rules", str(rules), "--rules-mode", "shadow")
    assert Console(server.console_port, "token-of-alice").decide("pay", "old", True) == "approved"
    assert submit(server, "pay", "old") == "release"
    assert submit(server, "pay", "new", DETAIL) == "held_for_approval"
    # The upgraded file keeps attempts and results.
    assert server.request({"op": "submit", "run_id": "pay", "effect_key": "sent",
                           "attempt": "a1"}) == {"verdict": "release"}
    assert server.request({"op": "complete", "run_id": "pay", "effect_key": "sent",
                           "attempt": "a1", "result": {"id": 3}}) == {"verdict": "completed"}
    assert server.stop() == 0

    with sqlite3.connect(path) as db:
        assert db.execute("SELECT version FROM schema_version").fetchall() == [(9,)]
        kept = db.execute("SELECT CAST(effect_key AS TEXT), CAST(attempt AS TEXT), result,"
                          " substr(CAST(decided_by AS TEXT), 1, 5) FROM releases ORDER BY 1")
        assert kept.fetchall() == [("old", "", None, "alice"), ("sent", "a1", '{"id":3}', "line:")]
        # Entries from before edits existed read as unedited.
        assert db.execute("SELECT count(*) FROM audit WHERE edited = 0 AND editable IS NULL").fetchone() == (6,)
    after = run_gate("log", "--store", url)
    assert after.returncode == 0, after.stderr
    events = [line.split(" ")[1] for line in after.stdout.splitlines()]
    assert events == ["held", "decided", "taken", "held", "would", "completed"]
    assert after.stdout.splitlines()[4].endswith(
        ' would run="pay" effect="new" verdict=release source="rule:new"'
        ' detail="{\\"amount\\":120,\\"to\\":\\"acct-9\\"}"')
    assert after.stdout.splitlines()[3].endswith(
        ' detail="{\\"amount\\":120,\\"to\\":\\"acct-9\\"}"')
