"""TLS on the line port: --tls-cert and --tls-key, client certificates with
--tls-client-ca, and the files refused at start. Python's ssl module is the client;
the CA and certificates are made here with the openssl command."""
from __future__ import annotations

import json
import os
import socket
import ssl
import subprocess
import threading
import time

import pytest

from gate_process import encode, run_gate

SUBMIT = {"op": "submit", "run_id": "pay", "effect_key": "invoice-7"}


def openssl(*arguments, cwd) -> None:
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True, capture_output=True)


def issue(directory, name, common_name, ca=None) -> tuple[str, str]:
    """A P-256 key (owner-only) and a certificate for it, signed by `ca` (a name
    issued before) or by itself; the files' paths."""
    key, cert = f"{name}-key.pem", f"{name}.pem"
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
            "-out", key, cwd=directory)
    os.chmod(directory / key, 0o600)
    if ca is None:
        openssl("req", "-x509", "-new", "-key", key, "-out", cert, "-days", "2", "-subj",
                f"/CN={common_name}", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=directory)
    else:
        # What strict verifiers (Python 3.13's default) ask of a leaf certificate.
        (directory / f"{name}.ext").write_text(
            "subjectAltName=IP:127.0.0.1\nauthorityKeyIdentifier=keyid\n"
            "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth,clientAuth\n")
        openssl("req", "-new", "-key", key, "-out", f"{name}.csr", "-subj", f"/CN={common_name}",
                cwd=directory)
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}-key.pem",
                "-CAcreateserial", "-out", cert, "-days", "2", "-extfile", f"{name}.ext",
                cwd=directory)
    return str(directory / cert), str(directory / key)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """Two CAs: `ca` signs the server's and a client's certificate, `other` a stranger's."""
    directory = tmp_path_factory.mktemp("pki")
    files = {"ca": issue(directory, "ca", "test CA"),
             "other": issue(directory, "other", "other CA")}
    files["server"] = issue(directory, "server", "127.0.0.1", ca="ca")
    files["client"] = issue(directory, "client", "worker-1", ca="ca")
    files["stranger"] = issue(directory, "stranger", "worker-2", ca="other")
    files["dir"] = directory
    return files


def tls_options(pki, client_ca=False) -> tuple[str, ...]:
    cert, key = pki["server"]
    options = ("--tls-cert", cert, "--tls-key", key)
    return (*options, "--tls-client-ca", pki["ca"][0]) if client_ca else options


def tls_connect(server, pki, client=None) -> ssl.SSLSocket:
    context = ssl.create_default_context(cafile=pki["ca"][0])
    if client is not None:
        context.load_cert_chain(*pki[client])
    raw = socket.create_connection(("127.0.0.1", server.port), timeout=10)
    return context.wrap_socket(raw, server_hostname="127.0.0.1")


def said(server, line) -> bool:
    """Whether the server wrote this line to standard error (read by another thread)."""
    deadline = time.monotonic() + 10
    while line not in server.stderr_lines and time.monotonic() < deadline:
        time.sleep(0.02)
    return line in server.stderr_lines


def ask(connection, request) -> dict | None:
    """The reply to one request, or None when the server ended the session instead."""
    try:
        connection.sendall(encode(request))
        reader = connection.makefile("rb")
        line = reader.readline()
    except (ssl.SSLError, ConnectionError):
        return None
    return json.loads(line) if line else None


@pytest.mark.filterwarnings("ignore:ssl.TLSVersion.TLSv1_1 is deprecated:DeprecationWarning")
def test_tls_serves_requests_and_a_plain_client_gets_nothing_done(gate_process, pki):
    server = gate_process(*tls_options(pki))
    assert said(server, "latchwork-gate: line port: TLS")
    assert server.ready_line == f"listening on {server.address}"

    # Plain TCP to a TLS port: the request is not a handshake, so nothing is executed.
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as plain:
        plain.sendall(encode(SUBMIT))
        received = b""  # an alert at most, never a reply
        try:
            while chunk := plain.recv(4096):
                received += chunk
        except ConnectionError:
            pass
        assert b"verdict" not in received

    with tls_connect(server, pki) as connection:
        assert connection.version() in ("TLSv1.2", "TLSv1.3")
        assert ask(connection, {"op": "ping"}) == {"verdict": "pong"}
        assert ask(connection, SUBMIT) == {"verdict": "release"}  # the plain one did nothing
        assert ask(connection, SUBMIT) == {"verdict": "refused_duplicate"}

    # Below TLS 1.2 nothing is spoken.
    old = ssl.create_default_context(cafile=pki["ca"][0])
    old.minimum_version = old.maximum_version = ssl.TLSVersion.TLSv1_1
    old.set_ciphers("ALL:@SECLEVEL=0")
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as raw:
        with pytest.raises((ssl.SSLError, ConnectionError)):
            old.wrap_socket(raw, server_hostname="127.0.0.1")


def test_tls_connections_at_once_each_get_their_own_replies(gate_process, pki):
    """Many sessions sending at once: no reply lands on another's connection."""
    server = gate_process(*tls_options(pki))
    connections = [tls_connect(server, pki) for _ in range(12)]
    lines = 400
    senders = [threading.Thread(target=connection.sendall, args=(b"".join(
        encode({"op": f"c{index}_{n}"}) for n in range(lines)),))
        for index, connection in enumerate(connections)]
    for sender in senders:
        sender.start()
    for index, connection in enumerate(connections):
        reader = connection.makefile("rb")
        for n in range(lines):
            assert json.loads(reader.readline())["message"] == f"unknown op: c{index}_{n}"
    for sender in senders:
        sender.join()
    for connection in connections:
        connection.close()


def test_a_handshake_that_never_comes_is_closed_after_the_line_timeout(gate_process, pki):
    server = gate_process(*tls_options(pki), "--line-timeout", "1s")
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as silent:
        started = time.monotonic()
        assert silent.recv(4096) == b""
        assert 0.8 < time.monotonic() - started < 8


def test_client_certificates_are_required_and_checked(gate_process, pki):
    server = gate_process(*tls_options(pki, client_ca=True))
    assert said(server, "latchwork-gate: line port: TLS, client certificates required")

    # With TLS 1.3 the refusal may come after the client's handshake ends: either way,
    # the request is never answered nor executed.
    for client in (None, "stranger"):
        try:
            connection = tls_connect(server, pki, client)
        except (ssl.SSLError, ConnectionError):
            continue
        with connection:
            assert ask(connection, SUBMIT) is None

    with tls_connect(server, pki, "client") as connection:
        assert ask(connection, SUBMIT) == {"verdict": "release"}


@pytest.mark.parametrize("files, stderr", [
    (("server.pem", None), "latchwork-gate: --tls-cert and --tls-key go together: give both or neither\n"),
    (("absent.pem", "server-key.pem"), "latchwork-gate: --tls-cert {dir}/absent.pem: No such file or directory\n"),
    (("server-key.pem", "server-key.pem"), "latchwork-gate: --tls-cert {dir}/server-key.pem: no start line\n"),
    (("server.pem", "client-key.pem"),
     "latchwork-gate: --tls-key {dir}/client-key.pem: key values mismatch: not the key of {dir}/server.pem\n"),
    (("server.pem", "server.pem"), None),  # readable by others: refused like every secret file
])
def test_bad_certificate_or_key_files_are_refused_at_start(pki, files, stderr):
    directory = pki["dir"]
    cert, key = files
    options = ["--tls-cert", str(directory / cert)]
    if key is not None:
        options += ["--tls-key", str(directory / key)]
    if key == "server.pem":
        os.chmod(directory / key, 0o644)
    result = run_gate("serve", "--listen", "127.0.0.1:0", "--store", "memory:", *options)
    assert (result.returncode, result.stdout) == (2, "")
    if stderr is None:
        assert result.stderr.startswith(f"latchwork-gate: --tls-key {directory}/server.pem: ")
        assert "chmod 600" in result.stderr
    else:
        assert result.stderr == stderr.format(dir=directory)


def test_a_client_ca_that_is_not_a_certificate_is_refused(pki):
    directory = pki["dir"]
    result = run_gate("serve", "--listen", "127.0.0.1:0", "--store", "memory:",
                      *tls_options(pki), "--tls-client-ca", str(directory / "client-key.pem"))
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith(f"latchwork-gate: --tls-client-ca {directory}/client-key.pem: ")
