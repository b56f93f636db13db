"""Signed webhooks from the real latchwork-gate to receivers started here: the body
and its signature (checked by the standardwebhooks package, or by hmac where it is
missing), retries, a receiver that comes up late, delivery resumed after kill -9, a
dead notification, and the chat format's escaping."""

from __future__ import annotations

import base64
import hashlib
import hmac
import json
import os
import socket
import time

import pytest

from console_http import Console, EventStream
from gate_process import encode, run_gate
from test_line_tls import issue
from webhook_receiver import Receiver, free_port

pytestmark = pytest.mark.server

HOSTILE = "<@U123> <!channel> & *bold* <https://evil|x>"


@pytest.fixture
def secret(tmp_path):
    """A signing key made by `latchwork-gate new-secret`, in an owner-only file."""
    made = run_gate("new-secret")
    assert made.returncode == 0, made.stderr
    text = made.stdout.strip()
    assert text.startswith("whsec_") and len(base64.b64decode(text.removeprefix("whsec_"))) == 32
    path = tmp_path / "notify-secret"
    path.write_text(made.stdout)
    os.chmod(path, 0o600)
    return text, str(path)


def verify(secret_text: str, headers: dict, body: bytes) -> None:
    """Raises unless the signature is the key's over id.timestamp.body."""
    try:
        from standardwebhooks import Webhook
    except ImportError:
        key = base64.b64decode(secret_text.removeprefix("whsec_"))
        signed = f"{headers['webhook-id']}.{headers['webhook-timestamp']}.".encode() + body
        expected = base64.b64encode(hmac.new(key, signed, hashlib.sha256).digest()).decode()
        if f"v1,{expected}" not in headers["webhook-signature"].split(" "):
            raise ValueError("signature does not match")
        return
    Webhook(secret_text).verify(body, headers)


def hold(gate, run_id, key, detail=None) -> None:
    request = {"op": "submit", "run_id": run_id, "effect_key": key, "needs_approval": True}
    if detail is not None:
        request["detail"] = detail
    assert gate.request(request)["verdict"] == "held_for_approval"


def notifications(gate) -> dict:
    return Console(gate.console_port).get("/api/notifications")


def wait_until(check, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("not reached in time")


def test_events_reach_an_https_receiver_signed_in_order(gate_process, secret, tmp_path):
    ca = issue(tmp_path, "ca", "webhook test CA")
    with Receiver(tls=issue(tmp_path, "receiver", "127.0.0.1", ca="ca")) as receiver:
        gate = gate_process("--console", "127.0.0.1:0", "--notify", receiver.url,
                            "--notify-secret-file", secret[1], "--notify-ca-file", ca[0],
                            "--console-url", "https://gate.example/")
        hold(gate, "pay", "invoice 7", {"amount": 12})
        Console(gate.console_port).decide("pay", "invoice 7", True, reason="ok by me")
        (held_headers, held), (approved_headers, approved) = receiver.wait_for(2)

    assert held["type"] == "held"
    data = held["data"]
    assert (data["run_id"], data["effect_key"], data["detail"]) == ("pay", "invoice 7", {"amount": 12})
    assert data["link"] == "https://gate.example/#/effect/pay/invoice%207"
    assert data["source"].startswith("line:127.0.0.1:")
    assert approved["type"] == "approved"
    assert (approved["data"]["decided_by"], approved["data"]["reason"]) == ("console:console", "ok by me")
    assert approved["data"]["seq"] > data["seq"]
    assert held_headers["webhook-id"] != approved_headers["webhook-id"]
    for headers, body in receiver.received:
        verify(secret[0], headers, body)
    # The check is real: a body changed on the way fails it.
    with pytest.raises(Exception):
        verify(secret[0], held_headers, receiver.received[0][1].replace(b"pay", b"pax"))


@pytest.mark.parametrize("trusted, host", [(False, "127.0.0.1"), (True, "localhost")])
def test_a_receiver_is_refused_unless_its_certificate_is_trusted_for_its_name(
        gate_process, secret, tmp_path, trusted, host):
    ca = issue(tmp_path, "ca", "webhook test CA")
    with Receiver(tls=issue(tmp_path, "receiver", "127.0.0.1", ca="ca")) as receiver:
        # The system's CAs do not know the test CA; the certificate names 127.0.0.1 only.
        trust = ("--notify-ca-file", ca[0]) if trusted else ()
        gate = gate_process("--console", "127.0.0.1:0", "--notify",
                            receiver.url.replace("127.0.0.1", host),
                            "--notify-secret-file", secret[1], *trust)
        hold(gate, "pay", "invoice-1")
        target = wait_until(lambda: [t for t in notifications(gate)["targets"] if t["failed_attempts"]])
        assert "handshake" in target[0]["last_problem"]
        assert receiver.received == []


def test_only_the_chosen_events_are_sent_expiry_and_rejection_among_them(gate_process, secret):
    with Receiver() as receiver:
        gate = gate_process("--console", "127.0.0.1:0", "--hold-timeout", "900ms",
                            "--notify", receiver.url, "--notify-secret-file", secret[1],
                            "--notify-events", "expired,rejected")
        hold(gate, "pay", "invoice-1")
        hold(gate, "pay", "invoice-2")
        Console(gate.console_port).decide("pay", "invoice-2", False, reason="too much")
        received = receiver.wait_for(2)
    by_key = {body["data"]["effect_key"]: body for _, body in received}
    assert (by_key["invoice-2"]["type"], by_key["invoice-2"]["data"]["reason"]) == ("rejected", "too much")
    assert (by_key["invoice-1"]["type"], by_key["invoice-1"]["data"]["decided_by"]) == ("expired", "expiry")
    assert len(receiver.received) == 2  # the holds were not sent


def test_failures_are_retried_with_the_same_id(gate_process, secret):
    with Receiver(statuses=[500, 302]) as receiver:  # a redirect is a failure too
        gate = gate_process("--notify", receiver.url, "--notify-secret-file", secret[1])
        hold(gate, "pay", "invoice-1")
        hold(gate, "pay", "invoice-2")
        first, second = receiver.wait_for(2)
    assert receiver.answered[:3] == [500, 302, 204]
    assert receiver.ids[0] == receiver.ids[1] == receiver.ids[2] != receiver.ids[3]
    assert [body["data"]["effect_key"] for _, body in (first, second)] == ["invoice-1", "invoice-2"]


def test_a_receiver_that_comes_up_late_is_told_after(gate_process, secret):
    port = free_port()
    gate = gate_process("--console", "127.0.0.1:0", "--notify", f"http://127.0.0.1:{port}/hook",
                        "--notify-secret-file", secret[1])
    hold(gate, "pay", "invoice-1")
    wait_until(lambda: notifications(gate)["targets"][0]["failed_attempts"] >= 1)
    with Receiver(port=port) as receiver:
        (headers, body), = receiver.wait_for(1)
    assert body["data"]["effect_key"] == "invoice-1"
    verify(secret[0], headers, receiver.received[0][1])


def test_a_receiver_that_never_answers_is_timed_out_and_the_gate_goes_on(gate_process, secret):
    with socket.create_server(("127.0.0.1", 0)) as silent:  # accepts, never answers
        gate = gate_process("--console", "127.0.0.1:0", "--notify",
                            f"http://127.0.0.1:{silent.getsockname()[1]}/hook",
                            "--notify-secret-file", secret[1], "--notify-timeout", "1s")
        hold(gate, "pay", "invoice-1")
        for number in range(2, 20):  # the gate answers while the receiver stalls
            hold(gate, "pay", f"invoice-{number}")
        target = wait_until(lambda: [t for t in notifications(gate)["targets"] if t["failed_attempts"]])
        assert "timeout" in target[0]["last_problem"] or "timed out" in target[0]["last_problem"], target


def test_kill_9_resumes_delivery_from_the_sqlite_store(gate_process, secret, tmp_path):
    store = f"sqlite:{tmp_path / 'gate.db'}"
    port = free_port()
    options = ("--store", store, "--console", "127.0.0.1:0",
               "--notify", f"http://127.0.0.1:{port}/hook", "--notify-secret-file", secret[1])
    gate = gate_process(*options)
    hold(gate, "pay", "invoice-1")
    hold(gate, "pay", "invoice-2")
    wait_until(lambda: notifications(gate)["targets"][0]["failed_attempts"] >= 1)
    gate.kill()
    with Receiver(port=port) as receiver:
        gate_process(*options)
        received = receiver.wait_for(2)
    assert [body["data"]["effect_key"] for _, body in received] == ["invoice-1", "invoice-2"]


def test_a_notification_too_old_is_dead_and_listed(gate_process, secret):
    with Receiver(statuses=[500] * 1000) as receiver:
        gate = gate_process("--console", "127.0.0.1:0", "--notify", receiver.url,
                            "--notify-secret-file", secret[1], "--notify-max-age", "2s")
        hold(gate, "pay", "invoice-1")
        dead = wait_until(lambda: notifications(gate)["dead"])
        assert (dead[0]["event"], dead[0]["run_id"], dead[0]["effect_key"]) == ("held", "pay", "invoice-1")
        assert dead[0]["problem"] == "HTTP 500"
        assert "/hook" not in json.dumps(notifications(gate))  # a target's path may be secret
        metrics = Console(gate.console_port).call("GET", "/metrics").body.decode()
        assert f'latchwork_notifications_dead_total{{target="http://127.0.0.1:{receiver.port}/…"}} 1' in metrics
        # Given up on, it no longer holds up what comes after.
        receiver.statuses.clear()
        hold(gate, "pay", "invoice-2")
        (_, body), = receiver.wait_for(1)
        assert body["data"]["effect_key"] == "invoice-2"


def test_chat_messages_escape_what_submitters_wrote(gate_process, secret):
    with Receiver() as receiver:
        gate = gate_process("--notify", "slack+" + receiver.url, "--notify-secret-file", secret[1],
                            "--notify-events", "held", "--console-url", "https://gate.example")
        hold(gate, HOSTILE, HOSTILE, {"note": HOSTILE})
        gate.request({"op": "cancel", "run_id": HOSTILE})  # not among the chosen events
        hold(gate, "pay", "invoice-2")
        (_, message), (_, plain) = receiver.wait_for(2)

    texts = []

    def walk(value):
        if isinstance(value, dict):
            if value.get("type") == "plain_text":
                assert value["emoji"] is False
            for item in value.values():
                walk(item)
        elif isinstance(value, list):
            for item in value:
                walk(item)
        elif isinstance(value, str):
            texts.append(value)

    walk(message)
    escaped = "&lt;@U123&gt; &lt;!channel&gt; &amp; *bold* &lt;https://evil|x&gt;"
    assert message["text"] == "Waiting for approval: " + escaped
    assert [block["type"] for block in message["blocks"]] == ["header", "section", "section", "actions"]
    button = message["blocks"][3]["elements"][0]
    assert button["text"]["text"] == "Review"
    assert button["url"].startswith("https://gate.example/#/effect/%3C%40U123%3E")
    for text in texts:  # the button's link included: percent-encoded
        assert "<" not in text and ">" not in text, text
    assert plain["text"] == "Waiting for approval: invoice-2"
    # Who asked, as a person reads it: the line peer's host, not its port.
    assert "Asked by: 127.0.0.1" in [field["text"] for field in plain["blocks"][1]["fields"]]


@pytest.mark.parametrize("options, said", [
    (("--notify", "http://127.0.0.1:9/hook"), "--notify needs --notify-secret-file"),
    (("--notify", "ftp://example/", "--notify-secret-file", "SECRET"), "not an http:// or https:// URL"),
    (("--notify", "http://127.0.0.1:9/", "--notify-secret-file", "SECRET", "--notify-events", "held,sent"),
     'unknown event "sent"'),
    (("--notify-max-age", "2s",), "need --notify"),
])
def test_options_that_do_not_go_together_are_refused(options, said, secret):
    options = tuple(secret[1] if option == "SECRET" else option for option in options)
    done = run_gate("serve", "--store", "memory:", "--listen", "127.0.0.1:0", *options)
    assert done.returncode == 2, done.stderr
    assert said in done.stderr


@pytest.mark.postgres
def test_servers_sharing_postgres_deliver_each_event_once(new_postgres_store, gate_process, secret):
    url = new_postgres_store()
    with Receiver() as receiver:
        gates = [gate_process("--store", url, "--console", "127.0.0.1:0", "--notify", receiver.url,
                              "--notify-secret-file", secret[1]) for _ in range(2)]
        for number in range(6):
            hold(gates[number % 2], "pay", f"invoice-{number}")
        received = receiver.wait_for(6)
        assert [body["data"]["effect_key"] for _, body in received] == [f"invoice-{n}" for n in range(6)]
        # One server delivers; killed, it hands the target to the other.
        delivering = wait_until(lambda: [g for g in gates if notifications(g)["targets"][0]["delivering"]])
        assert len(delivering) == 1
        survivor = next(g for g in gates if g is not delivering[0])
        delivering[0].kill()
        hold(survivor, "pay", "invoice-6")
        # A kill between a delivery and the save of its cursor sends that one again,
        # under the same id (at least once); nothing is missed.
        wait_until(lambda: len({headers["webhook-id"] for headers, _ in receiver.received}) == 7)
    ids = [headers["webhook-id"] for headers, _ in receiver.received]
    assert len(set(ids[:6])) == 6, ids  # while both lived, none twice
    keys = [json.loads(body)["data"]["effect_key"] for _, body in receiver.received]
    assert set(keys) == {f"invoice-{n}" for n in range(7)}, keys


@pytest.mark.postgres
@pytest.mark.parametrize("store_timeout,held_for,order", [
    # Held past the wait for a missing seq: the later entry goes first, the held one late.
    (None, None, ["later", "stalled"]),
    # Held for less than a server's transaction may stay open: waited for, told in order.
    ("10s", 5, ["stalled", "later"]),
])
def test_an_entry_committed_after_later_ones_is_still_told(new_postgres_store, gate_process, secret,
                                                           tmp_path, store_timeout, held_for, order):
    """One server's commit is held back (a test-build hook) while the other commits a later
    one: every entry reaches the receiver and an event stream alike, each under its own seq."""
    url = new_postgres_store()
    held_back = tmp_path / "hold-commit"
    with Receiver() as receiver:
        options = ("--store", url, "--console", "127.0.0.1:0", "--notify", receiver.url,
                   "--notify-secret-file", secret[1])
        if store_timeout:
            options += ("--store-timeout", store_timeout)
        prompt = gate_process(*options)
        stalled = gate_process(*options, env={**os.environ, "LATCHWORK_TEST_HOLD_COMMIT": str(held_back)})
        stream = EventStream(Console(prompt.console_port), timeout=60)
        held_back.touch()
        waiting = stalled.connect(timeout=60)
        waiting.send(encode({"op": "submit", "run_id": "slow", "effect_key": "stalled", "needs_approval": True}))
        wait_until(lambda: any("a commit waits" in line for line in stalled.stderr_lines))
        hold(prompt, "quick", "later")
        if held_for is None:
            [(_, first)] = receiver.wait_for(1)  # told once the missing seq was passed over
            assert first["data"]["effect_key"] == "later"
        else:
            time.sleep(held_for)
        held_back.unlink()
        assert waiting.reply() == {"verdict": "held_for_approval"}
        waiting.close()
        received = receiver.wait_for(2)
        events = [(stream.next_event()[1]["effect_key"], int(stream.last_id)) for _ in range(2)]
        stream.close()
    assert [body["data"]["effect_key"] for _, body in received] == order
    seqs = {body["data"]["effect_key"]: int(headers["webhook-id"].rsplit("_", 1)[1])
            for headers, body in received}
    assert seqs["stalled"] < seqs["later"]
    assert events == [(key, seqs[key]) for key in order]
