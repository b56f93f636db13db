"""Approve and Reject buttons in chat messages: the real latchwork-gate sends held
effects to a local HTTPS chat receiver, and the test clicks as the platform calls back,
signing each callback with hmac as the platform does. Forged, stale and foreign
callbacks change nothing; the approver's decision is theirs (chat:NAME) and the message
is replaced through its response_url; viewers, unmapped users and late clicks are
answered to them alone; two clicks at once decide once."""

from __future__ import annotations

import hashlib
import hmac
import itertools
import json
import os
import threading
import time
import urllib.parse

import pytest

from console_http import Console, write_approvers
from gate_process import run_gate
from test_line_tls import issue
from test_notify_webhooks import secret  # noqa: F401 (a fixture)
from webhook_receiver import Receiver

pytestmark = pytest.mark.server

SIGNING_SECRET = b"8f742231b10e8888abcd99yyyzzz85a5"
PEOPLE = ("ada:token-of-ada:approver:chat=UADA,email=ada@example.com\n"
          "bob:token-of-bob:approver:chat=UBOB\n"
          "eve:token-of-eve:viewer:chat=UEVE\n")
RULES = '[[rule]]\nname = "payments"\neffect = "pay:*"\naction = "hold"\nquorum = 2\n'
NOT_YOURS = "you may not decide this effect"
RESPONSES = itertools.count()


class Chat:
    """A gate whose chat messages carry buttons, its receiver, and clicks on them."""

    def __init__(self, gate, receiver):
        self.gate, self.receiver = gate, receiver
        self.console = Console(gate.console_port, "token-of-ada")

    def hold(self, key: str, wait_ms: int = 0):
        """Submits `key` in run "pay"; the connection, whose reply is a waiting worker's."""
        worker = self.gate.connect()
        worker.send(json.dumps({"op": "submit", "run_id": "pay", "effect_key": key,
                                "needs_approval": True, "wait_ms": wait_ms}).encode() + b"\n")
        if not wait_ms:
            assert worker.reply() == {"verdict": "held_for_approval"}
        return worker

    def click(self, user, action, key, *, secret=SIGNING_SECRET, age=0, host="127.0.0.1"):
        """The platform's callback; its status and the path of its response_url."""
        path = f"/respond/{next(RESPONSES)}"
        payload = {"type": "block_actions", "user": {"id": user, "name": user.lower()},
                   "actions": [{"type": "button", "action_id": action,
                                "value": json.dumps(["pay", key])}],
                   "response_url": f"https://{host}:{self.receiver.port}{path}"}
        body = urllib.parse.urlencode({"payload": json.dumps(payload)}).encode()
        timestamp = str(int(time.time()) - age)
        signature = hmac.new(secret, b"v0:" + timestamp.encode() + b":" + body, hashlib.sha256)
        reply = self.console.call("POST", "/chat/actions", raw=body, token="", headers={
            "Content-Type": "application/x-www-form-urlencoded",
            "X-Slack-Request-Timestamp": timestamp,
            "X-Slack-Signature": "v0=" + signature.hexdigest()})
        return reply.status, path

    def state(self, key):
        items = self.console.get("/api/pending?run=pay")["items"]
        return next((i["state"], i["approvals"]) for i in items if i["effect_key"] == key)

    def decisions(self):
        return [(i["effect_key"], i["verdict"], i["source"])
                for i in self.console.get("/api/audit")["items"] if i["event"] not in ("held", "taken")]


@pytest.fixture
def chat(gate_process, secret, tmp_path):  # noqa: F811
    ca = issue(tmp_path, "ca", "chat test CA")
    signing = tmp_path / "chat-signing-secret"
    signing.write_bytes(SIGNING_SECRET + b"\n")
    os.chmod(signing, 0o600)
    rules = tmp_path / "rules.toml"
    rules.write_text(RULES)
    with Receiver(tls=issue(tmp_path, "receiver", "127.0.0.1", ca="ca")) as receiver:
        gate = gate_process("--console", "127.0.0.1:0", "--approvers", str(write_approvers(tmp_path, PEOPLE)),
                            "--rules", str(rules), "--notify", "slack+" + receiver.url,
                            "--notify-secret-file", secret[1], "--notify-ca-file", ca[0],
                            "--notify-events", "held", "--console-url", "https://gate.example/",
                            "--chat-signing-secret-file", str(signing))
        yield Chat(gate, receiver)


def test_a_held_effects_message_carries_buttons_that_name_it(chat):
    chat.hold("invoice 7")
    message = chat.receiver.posted_to("/hook")
    buttons = message["blocks"][-1]["elements"]
    assert [(b["text"]["text"], b.get("action_id")) for b in buttons] == [
        ("Review", None), ("Approve", "approve"), ("Reject", "reject")]
    assert json.loads(buttons[1]["value"]) == ["pay", "invoice 7"] == json.loads(buttons[2]["value"])


@pytest.mark.parametrize("fault, status", [
    ({"secret": b"not the app's secret"}, 401),
    ({"age": 301}, 401),
    ({"age": -301}, 401),
    ({"host": "localhost"}, 400),  # a response_url on no chat target's host
])
def test_a_forged_stale_or_foreign_callback_changes_nothing(chat, fault, status):
    chat.hold("invoice 1")
    assert chat.click("UADA", "approve", "invoice 1", **fault)[0] == status
    assert chat.state("invoice 1") == ("held", [])
    assert chat.decisions() == []
    time.sleep(0.2)
    assert all(path.startswith("/hook") for path in chat.receiver.paths)


def test_clicks_decide_as_their_approver_and_replace_the_message(chat):
    for key in ("invoice 1", "invoice 2", "pay:3"):  # pay:3 by a rule's quorum of two
        chat.hold(key)

    status, approved = chat.click("UADA", "approve", "invoice 1")
    assert status == 200
    assert chat.receiver.posted_to(approved)["text"] == "Approved by ada — waiting for its worker"
    worker = chat.hold("invoice 1", wait_ms=30000)
    assert worker.reply() == {"verdict": "release"}
    assert chat.receiver.posted_to(approved, 2)["text"] == "Approved by ada — taken by its worker"
    _, rejected = chat.click("UBOB", "reject", "invoice 2")
    replaced = chat.receiver.posted_to(rejected)
    assert replaced["replace_original"] is True and replaced["text"] == "Rejected by bob"
    _, first = chat.click("UBOB", "approve", "pay:3")
    assert chat.receiver.posted_to(first)["text"] == "1 of 2 approvals: bob"
    assert chat.state("pay:3") == ("held", ["bob"])

    # Told to the one who clicked alone, and nothing changes.
    for user, action, key, said in [("UADA", "approve", "invoice 2", "already rejected by bob"),
                                    ("UEVE", "approve", "pay:3", NOT_YOURS),
                                    ("UNOBODY", "reject", "pay:3", NOT_YOURS)]:
        status, path = chat.click(user, action, key)
        assert status == 200
        assert chat.receiver.posted_to(path) == {
            "response_type": "ephemeral", "replace_original": False, "text": said}
    assert chat.state("pay:3") == ("held", ["bob"])
    assert chat.decisions() == [("invoice 1", "approved", "chat:ada"),
                                ("invoice 2", "refused_rejected", "chat:bob"),
                                ("pay:3", "approval_recorded", "chat:bob")]


def test_two_clicks_at_once_decide_once(chat):
    chat.hold("invoice 1")
    paths = {}

    def click(user, action):
        paths[user] = chat.click(user, action, "invoice 1")[1]

    clicks = [threading.Thread(target=click, args=args) for args in [("UADA", "approve"), ("UBOB", "reject")]]
    for thread in clicks:
        thread.start()
    for thread in clicks:
        thread.join()
    [(_, verdict, source)] = chat.decisions()
    winner = source.removeprefix("chat:")
    loser = "bob" if winner == "ada" else "ada"
    told = chat.receiver.posted_to(paths["U" + loser.upper()])
    word = "approved" if verdict == "approved" else "rejected"
    assert told["text"] == f"already {word} by {winner}" and told["response_type"] == "ephemeral"
    assert chat.receiver.posted_to(paths["U" + winner.upper()])["replace_original"] is True


@pytest.mark.parametrize("leave_out, said", [
    ("--approvers", "--chat-signing-secret-file needs --console and --approvers"),
    ("--console-url", "--chat-signing-secret-file needs --console-url"),
    ("slack+", "--chat-signing-secret-file needs a --notify slack+https://... target"),
    ("chmod", "group or others may access it"),
])
def test_buttons_need_what_they_use(tmp_path, secret, leave_out, said):  # noqa: F811
    signing = tmp_path / "chat-signing-secret"
    signing.write_bytes(SIGNING_SECRET)
    os.chmod(signing, 0o640 if leave_out == "chmod" else 0o600)
    options = {"--approvers": str(write_approvers(tmp_path, PEOPLE)),
               "--notify": ("" if leave_out == "slack+" else "slack+") + "https://127.0.0.1:9/hook",
               "--notify-secret-file": secret[1], "--console-url": "https://gate.example/",
               "--chat-signing-secret-file": str(signing)}
    options.pop(leave_out, None)
    done = run_gate("serve", "--store", "memory:", "--listen", "127.0.0.1:0", "--console", "127.0.0.1:0",
                    *itertools.chain.from_iterable(options.items()))
    assert done.returncode == 2 and said in done.stderr, done.stderr
