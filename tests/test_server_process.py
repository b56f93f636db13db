"""latchwork-gate as a program: its command line, its start-up refusals, the ready line,
the diagnostics, and the orderly stop on SIGTERM and SIGINT."""
import importlib.metadata
import os
import pathlib
import signal
import socket
import time

import pytest

from gate_process import GateProcess, encode, run_gate

MEMORY_STORE = "latchwork-gate: store memory:"
NOT_AUTHENTICATED = "latchwork-gate: no --secret-file: decisions are not authenticated"


def test_version_is_the_package_version():
    result = run_gate("--version")
    assert result.returncode == 0
    assert result.stdout == f"latchwork-gate {importlib.metadata.version('latchwork')}\n"


@pytest.mark.parametrize("arguments, shown", [
    (["--help"], ["serve"]),
    (["serve", "--help"], ["--listen", "127.0.0.1:8796", "--store",
                           "sqlite:/state-of-the-help/latchwork/gate.db", "--secret-file",
                           "--max-line", "1048576", "--max-connections", "10000",
                           "--max-id-bytes", "4096", "--create"]),
])
def test_help(arguments, shown):
    result = run_gate(*arguments, env=dict(os.environ, XDG_STATE_HOME="/state-of-the-help"))
    assert result.returncode == 0
    for text in shown:
        assert text in result.stdout


@pytest.mark.parametrize("arguments", [
    [],
    ["frobnicate"],
    ["serve", "--no-such-option"],
    ["serve", "--max-line", "0"],
    ["serve", "--max-line", "lots"],
    ["serve", "--max-connections", "-1"],
])
def test_usage_errors_exit_non_zero(arguments):
    result = run_gate(*arguments)
    assert result.returncode != 0
    assert result.stdout == ""


@pytest.mark.parametrize("arguments, message", [
    (["--store", "redis:gate"],
     'latchwork-gate: unsupported store "redis:gate": the stores are sqlite:PATH, postgresql://... and memory:'),
    (["--store", ""], 'latchwork-gate: unsupported store "": the stores are sqlite:PATH, postgresql://... and memory:'),
    (["--store", "sqlite:"], "latchwork-gate: store path is empty (sqlite:PATH)"),
    (["--listen", "nonsense"],
     'latchwork-gate: invalid listen address "nonsense": invalid socket address'),
    (["--listen", "127.0.0.1:65536"],
     'latchwork-gate: invalid listen address "127.0.0.1:65536": invalid port value'),
    (["--listen", "127.0.0.1:"],
     'latchwork-gate: invalid listen address "127.0.0.1:": invalid port value'),
    (["--approvers", "approvers"],
     "latchwork-gate: --approvers needs --console: the approvers are who may use the console"),
    (["--rules-mode", "shadow"], "latchwork-gate: --rules-mode needs --rules: the rules it enforces or shadows"),
])
def test_start_up_refusals_are_one_line_and_non_zero(arguments, message):
    result = run_gate("serve", *arguments)
    assert result.returncode != 0
    assert result.stdout == ""
    assert result.stderr == message + "\n"


def test_a_port_in_use_is_refused():
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        result = run_gate("serve", "--listen", f"127.0.0.1:{port}", "--store", "memory:")
    assert result.returncode != 0
    assert result.stderr.startswith(f"latchwork-gate: cannot listen on 127.0.0.1:{port}: bind failed: ")
    assert result.stderr.count("\n") == 1


def test_ready_line_names_the_real_port_and_diagnostics_go_to_stderr(gate_process):
    server = gate_process()
    assert server.ready_line == f"listening on 127.0.0.1:{server.port}"
    assert server.port != 0
    assert server.request({"op": "ping"}) == {"verdict": "pong"}
    assert server.stop() == 0
    assert server.process.stdout.closed
    assert server.stderr_lines == [MEMORY_STORE, NOT_AUTHENTICATED]


@pytest.mark.parametrize("listen, host", [("localhost:0", None), ("[::1]:0", "[::1]")])
def test_names_and_ipv6_addresses(gate_process, listen, host):
    if host == "[::1]" and not socket.has_ipv6:
        pytest.skip("no IPv6")
    try:
        server = gate_process(listen=listen)
    except RuntimeError as error:
        pytest.skip(f"cannot listen on {listen}: {error}")
    line_host = server.ready_line.removeprefix("listening on ").rsplit(":", 1)[0]
    assert line_host == host or (host is None and line_host in ("127.0.0.1", "[::1]"))
    family = socket.AF_INET6 if line_host.startswith("[") else socket.AF_INET
    with socket.socket(family) as opened:
        opened.connect((line_host.strip("[]"), server.port))
        opened.sendall(b'{"op":"ping"}\n')
        assert opened.makefile("rb").readline() == b'{"verdict":"pong"}\n'


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT])
def test_signals_answer_what_was_read_then_exit_zero(gate_process, number):
    server = gate_process()
    connections = [server.connect() for _ in range(4)]
    requests = [{"op": "submit", "run_id": f"r{i % 7}", "effect_key": str(i)} for i in range(300)]
    for connection in connections:
        connection.send(b"".join(encode(request) for request in requests))
    # Give the server time to read what was sent; nobody reads a reply before the signal.
    time.sleep(0.5)
    server.signal(number)
    replies = []
    for connection in connections:
        received = b""
        while chunk := connection.reader.read1(65536):
            received += chunk
        replies.append(received.splitlines(keepends=True))
        connection.close()
    assert server.wait() == 0
    # Each effect was released once, by the first connection, and every reply came whole.
    assert replies[0] == [b'{"verdict":"release"}\n'] * len(requests)
    assert all(reply == [b'{"verdict":"refused_duplicate"}\n'] * len(requests)
               for reply in replies[1:])
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", server.port), timeout=5).close()


def test_a_stop_with_idle_and_half_sent_connections_exits_zero(gate_process):
    server = gate_process()
    idle = [server.connect() for _ in range(20)]
    half = server.connect()
    half.send(b'{"op":"pi')
    assert server.request({"op": "ping"}) == {"verdict": "pong"}
    server.signal()
    for connection in idle + [half]:
        assert connection.read_line() == b""
        connection.close()
    assert server.wait() == 0


def write_secret(tmp_path, content: bytes, mode: int) -> str:
    path = tmp_path / "secret"
    path.write_bytes(content)
    os.chmod(path, mode)
    return str(path)


@pytest.mark.parametrize("content, mode, reason", [
    (b"", 0o600, "empty"),
    (b"k", 0o644, "group or others may access it (mode 0644); allow its owner only (chmod 600)"),
    (b"k", 0o640, "group or others may access it (mode 0640); allow its owner only (chmod 600)"),
    (b"k", 0o602, "group or others may access it (mode 0602); allow its owner only (chmod 600)"),
    (b"k", 0o610, "group or others may access it (mode 0610); allow its owner only (chmod 600)"),
])
def test_secret_files_that_are_refused(tmp_path, content, mode, reason):
    path = write_secret(tmp_path, content, mode)
    result = run_gate("serve", "--listen", "127.0.0.1:0", "--secret-file", path)
    assert result.returncode != 0
    assert result.stdout == ""
    assert result.stderr == f"latchwork-gate: secret file {path}: {reason}\n"


@pytest.mark.parametrize("path, reason", [
    ("missing", "No such file or directory"),
    (".", "not a regular file"),
])
def test_secret_paths_that_are_refused(tmp_path, path, reason):
    full = str(tmp_path / path)
    if path == ".":
        os.chmod(tmp_path, 0o700)
    result = run_gate("serve", "--listen", "127.0.0.1:0", "--secret-file", full)
    assert result.returncode != 0
    assert result.stderr == f"latchwork-gate: secret file {full}: {reason}\n"


@pytest.mark.parametrize("mode", [0o600, 0o400])
def test_a_private_secret_file_is_taken_silently(gate_process, tmp_path, mode):
    server = gate_process("--secret-file", write_secret(tmp_path, b"k" * 16, mode))
    assert server.request({"op": "ping"}) == {"verdict": "pong"}
    assert server.stop() == 0
    assert server.stderr_lines == [MEMORY_STORE]


def test_each_server_has_its_own_ledger(gate_process):
    first, second = gate_process(), gate_process()
    first.request({"op": "submit", "run_id": "r", "effect_key": "e"})
    assert second.request({"op": "submit", "run_id": "r", "effect_key": "e"}) == {
        "verdict": "release"}


def test_gate_process_finds_the_installed_program():
    server = GateProcess()
    assert os.access(server.command[0], os.X_OK)
    assert server.command[1:] == ["serve", "--listen", "127.0.0.1:0", "--store", "memory:"]


def test_the_open_files_limit_is_raised_to_the_hard_limit(gate_process):
    server = gate_process()
    limits = pathlib.Path(f"/proc/{server.process.pid}/limits").read_text().splitlines()
    soft, hard = next(line for line in limits if line.startswith("Max open files")).split()[3:5]
    assert soft == hard
