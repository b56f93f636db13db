"""The connections of latchwork_approvals' clients: a request whose connection dies
after it was written raises OutcomeUnknown and is never sent again; Ctrl-C ends a
blocking wait and leaves the client usable."""

from __future__ import annotations

import asyncio
import json
import signal
import socket
import ssl
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from gate_server import CLOSE
from latchwork_approvals import AsyncClient, Client, OutcomeUnknown, requires_approval

FLAVOURS = ["blocking", "asyncio"]


def call(flavour: str, address: str, method: str, *args, **kwargs):
    if flavour == "blocking":
        with Client(address, timeout=10) as client:
            return getattr(client, method)(*args, **kwargs)

    async def main():
        async with AsyncClient(address, timeout=10) as client:
            return await getattr(client, method)(*args, **kwargs)
    return asyncio.run(main())


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_a_server_killed_under_a_waiting_call_leaves_its_outcome_unknown(gate_process, flavour):
    process = gate_process()

    def kill_once_held() -> None:
        while process.request({"op": "pending_count"})["value"] < 1:
            time.sleep(0.02)
        process.signal(signal.SIGKILL)

    threading.Thread(target=kill_once_held, daemon=True).start()
    with pytest.raises(OutcomeUnknown) as unknown:
        call(flavour, process.address, "submit", "run-k", "payout", needs_approval=True, wait=30)
    assert (unknown.value.op, unknown.value.run_id, unknown.value.effect_key) == \
        ("submit", "run-k", "payout")
    process.process.wait()  # its sockets close before it can be waited for


class DroppingServer(threading.Thread):
    """Records every line it reads; drops its first connection after one line unanswered
    and answers pong on every later one."""

    def __init__(self):
        super().__init__(daemon=True)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.lines: list[tuple[int, bytes]] = []
        self.start()

    def run(self) -> None:
        for number in range(2):
            connection, _ = self.listener.accept()
            with connection, connection.makefile("rb") as reader:
                while line := reader.readline():
                    self.lines.append((number, line))
                    if number == 0:
                        break
                    connection.sendall(b'{"verdict":"pong"}\n')


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_a_request_is_never_resent_and_a_new_connection_serves_the_next(flavour):
    server = DroppingServer()
    if flavour == "blocking":
        client = Client(server.address, timeout=10)
        with pytest.raises(OutcomeUnknown, match="closed the connection"):
            client.submit("run-d", "email:1", wait=5)
        assert client.ping() == "pong"
    else:
        async def main():
            async with AsyncClient(server.address, timeout=10) as client:
                with pytest.raises(OutcomeUnknown, match="closed the connection"):
                    await client.submit("run-d", "email:1", wait=5)
                assert await client.ping() == "pong"
        asyncio.run(main())
    assert server.lines == [
        (0, b'{"effect_key":"email:1","needs_approval":false,"op":"submit","run_id":"run-d",'
            b'"wait_ms":5000}\n'),
        (1, b'{"op":"ping"}\n'),
    ]


WAITING_CHILD = textwrap.dedent("""
    import signal, sys
    from latchwork_approvals import Client
    signal.signal(signal.SIGINT, signal.default_int_handler)
    client = Client(sys.argv[1])
    try:
        client.submit("run-i", "k", needs_approval=True, wait=60)
    except KeyboardInterrupt:
        print("interrupted", client.ping().kind, flush=True)
""")


def test_ctrl_c_ends_a_blocking_wait_and_the_client_goes_on(gate_process):
    process = gate_process()
    child = subprocess.Popen([sys.executable, "-c", WAITING_CHILD, process.address],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    while process.request({"op": "pending_count"})["value"] < 1:
        time.sleep(0.02)
    child.send_signal(signal.SIGINT)
    # Far less than the minute the submit asked the server to wait.
    out, err = child.communicate(timeout=10)
    assert (child.returncode, out, err) == (0, "interrupted pong\n", "")


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_both_clients_speak_tls_to_a_tls_line_port(gate_process, tmp_path, flavour):
    from test_line_tls import issue  # the openssl-made CA and server certificate

    ca_cert, _ = issue(tmp_path, "ca", "test CA")
    cert, key = issue(tmp_path, "server", "127.0.0.1", ca="ca")
    process = gate_process("--tls-cert", cert, "--tls-key", key)
    context = ssl.create_default_context(cafile=ca_cert)
    if flavour == "blocking":
        client = Client(process.address, ssl_context=context)
        kinds = [client.ping().kind, client.submit("run-t", "k", wait=0).kind]
    else:
        async def main():
            async with AsyncClient(process.address, ssl_context=context) as client:
                return [(await client.ping()).kind, (await client.submit("run-t", "k", wait=0)).kind]
        kinds = asyncio.run(main())
    assert kinds == ["pong", "release"]


@pytest.mark.parametrize("flavour", FLAVOURS)
def test_a_gated_call_asks_again_with_its_attempt_after_a_lost_reply(gate_server, flavour):
    # The first submit's connection dies unanswered; the retry, on a new connection, is
    # told "release" once more, as a server that knows the attempt answers it.
    server = gate_server([CLOSE, b'{"again":true,"verdict":"release"}\n'])
    performed = []
    options = dict(run_id="run-r", key="pay:{n}", timeout=30, record_result=False)

    async def pay(n: int) -> None:
        performed.append(n)
    if flavour == "blocking":
        requires_approval(Client(server.address), **options)(lambda n: performed.append(n))(7)
    else:
        async def main() -> None:
            async with AsyncClient(server.address) as client:
                await requires_approval(client, **options)(pay)(7)
        asyncio.run(main())
    attempts = {json.loads(line)["attempt"] for line in server.requests}
    assert performed == [7] and len(server.requests) == 2
    assert len(attempts) == 1 and len(attempts.pop()) == 32
