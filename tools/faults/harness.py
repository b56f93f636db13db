"""harness.py: two gate servers and PostgreSQL on hosts of their own, faults between them, and a check of what came out.

    python tools/faults/harness.py [--seconds 60] [--gate PATH] [--seed N]

Needs root (network namespaces) and Debian's postgresql and iproute2. It builds three
hosts as network namespaces: the database, and two gate servers, each joined to the
database by one veth pair and to this host (where the workers, the approvers and a
webhook receiver run) by another. Each server reaches PostgreSQL through a relay of
ours on its own host (relay.py), which delays, freezes or resets on command.

Workers submit effects that need approval to either server and ask again until they
are decided; approvers decide them through either console, and now and then cancel a
run; a prober pings both servers' line ports and asks their /healthz four times a
second. Meanwhile, in turn: a server's link to the database goes down; its relay
delays every packet by 200 ms, resets its connections mid-transaction, or holds them
open forwarding nothing; PostgreSQL is paused (SIGSTOP) and restarted; a server is
killed and started again, or paused.

Then the checker reads the store and the recorded history and fails on: an effect
released twice; a release that the store does not hold, or after its rejection or its
run's cancel was answered; an answered decision missing from the store; a committed
entry the receiver never got, or a notification not signed with the key; a server that
failed every ping and /healthz for longer than its store timeout and a margin, unless the
harness had it paused or killed. A history too thin to check (no submit answered, no
release, no decision, nothing in the store or at the receiver) fails as well.

Everything it started is stopped and every namespace removed, however it ends (SIGTERM
and SIGHUP included); hosts that a run killed outright left behind are removed first.
"""
from __future__ import annotations

import argparse
import base64
import collections
import glob
import hashlib
import hmac
import http.client
import http.server
import json
import math
import os
import pathlib
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

STORE_TIMEOUT_S = 2
# How long past its store timeout a server may leave a ping unanswered: scheduling on
# a loaded two-core machine, and the probe's own timeout.
MARGIN_S = 3
TOKEN = "harness-approver-token-0123456789"
LINE_PORT, CONSOLE_PORT, RELAY_PORT, PG_PORT = 7000, 8000, 6432, 5432
ANNOUNCED = {"held", "expired", "taken", "cancelled", "closed"}


def run(*command: str, check: bool = True, timeout: float = 120, **options) -> subprocess.CompletedProcess:
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, **options)
    if check and done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({done.returncode}): {done.stderr.strip()}")
    return done


def clean_environment() -> dict[str, str]:
    """This one without what would point libpq or PostgreSQL's programs elsewhere."""
    return {**{name: value for name, value in os.environ.items()
               if not name.startswith("PG") and name not in ("LD_PRELOAD", "PSQLRC")}, "LC_ALL": "C"}


def server_binaries() -> pathlib.Path:
    """Debian's newest PostgreSQL programs."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda path: int(pathlib.Path(path).parent.parent.name.split(".")[0]))
    if not found:
        raise SystemExit("PostgreSQL's programs are missing: apt-get install postgresql")
    return pathlib.Path(found[-1]).parent


class Hosts:
    """The namespaces and links, named after this process; removed by close(), with
    every process still inside them."""

    def __init__(self):
        prefix = f"lwf{os.getpid()}"
        self.db = f"{prefix}-db"
        self.servers = [f"{prefix}-s1", f"{prefix}-s2"]
        self.links = [f"{prefix}h1", f"{prefix}h2"]  # this host's ends (at most 15 characters)
        self.made: list[str] = []

    def make(self) -> None:
        sweep_abandoned_hosts()
        for name in [self.db, *self.servers]:
            run("ip", "netns", "add", name)
            self.made.append(name)
            run("ip", "-n", name, "link", "set", "lo", "up")
        for number, server in enumerate(self.servers, start=1):
            # To the database: d<N> on the server's host, db<N> on the database's.
            self.pair(f"d{number}", server, f"10.77.{number}.1/30", f"db{number}", self.db, f"10.77.{number}.2/30")
            # To this host: c<N> on the server's host, the harness's end here.
            self.pair(f"c{number}", server, f"10.78.{number}.1/30", self.links[number - 1], None,
                      f"10.78.{number}.2/30")
            # Another link holding these addresses (a run that could not clean up) would
            # take the workers to its servers, and the checker would read a store they
            # never wrote to.
            route = run("ip", "-o", "route", "get", f"10.78.{number}.1").stdout
            if f" dev {self.links[number - 1]} " not in route:
                raise SystemExit(f"10.78.{number}.1 is not reached through {self.links[number - 1]}: {route.strip()}"
                                 " (another link holds 10.78.0.0/16: remove it)")

    def pair(self, a: str, a_ns: str, a_addr: str, b: str, b_ns: str | None, b_addr: str) -> None:
        run("ip", "link", "add", a, "netns", a_ns, "type", "veth", "peer", "name", b,
            *(["netns", b_ns] if b_ns else []))
        for name, ns, address in ((a, a_ns, a_addr), (b, b_ns, b_addr)):
            prefix = ["ip", "-n", ns] if ns else ["ip"]
            run(*prefix, "addr", "add", address, "dev", name)
            run(*prefix, "link", "set", name, "up")

    def close(self) -> None:
        for name in self.made:
            remove_host(name)
        for link in self.links:
            run("ip", "link", "del", link, check=False)


def remove_host(name: str) -> None:
    """Ends every process in a namespace, then removes it (and with it its links)."""
    for pid in run("ip", "netns", "pids", name, check=False).stdout.split():
        try:
            os.kill(int(pid), signal.SIGKILL)
        except ProcessLookupError:
            pass
    run("ip", "netns", "del", name, check=False)


def sweep_abandoned_hosts() -> None:
    """Removes the hosts of harness runs that ended without removing them (SIGKILL)."""
    for line in run("ip", "netns", "list").stdout.splitlines():
        name = line.split()[0] if line.strip() else ""
        owner = name[3:].split("-")[0]
        if not (name.startswith("lwf") and owner.isdigit()):
            continue
        try:
            alive = b"harness.py" in pathlib.Path(f"/proc/{owner}/cmdline").read_bytes()
        except OSError:
            alive = False
        if not alive:
            print(f"removing {name}, left by a harness run that is gone", flush=True)
            remove_host(name)


class Postgres:
    """A cluster on the database's host, for every address there, trusting 10/8."""

    def __init__(self, hosts: Hosts, directory: pathlib.Path):
        self.hosts = hosts
        self.bin = server_binaries()
        self.data = directory / "pg"

    def as_owner(self, *command: str, check: bool = True) -> subprocess.CompletedProcess:
        return run("ip", "netns", "exec", self.hosts.db, "runuser", "-u", "postgres", "--", *command,
                   check=check, env=clean_environment())

    def start(self) -> None:
        self.data.mkdir()
        shutil.chown(self.data, "postgres", "postgres")
        self.as_owner(str(self.bin / "initdb"), "-D", str(self.data), "-U", "latchwork", "-A", "trust")
        with open(self.data / "postgresql.conf", "a") as conf:
            conf.write(f"listen_addresses = '*'\nport = {PG_PORT}\nunix_socket_directories = '{self.data}'\n"
                       "fsync = on\nmax_connections = 100\n")
        with open(self.data / "pg_hba.conf", "a") as hba:
            hba.write("host all all 10.0.0.0/8 trust\n")
        self.pg_ctl("start")
        self.sql("postgres", "CREATE DATABASE gate")

    def pg_ctl(self, action: str) -> None:
        self.as_owner(str(self.bin / "pg_ctl"), "-D", str(self.data), "-l", str(self.data / "log"),
                      "-w", "-m", "fast", action)

    def pids(self) -> list[int]:
        """The postmaster and its children: this cluster's processes alone."""
        try:
            postmaster = int((self.data / "postmaster.pid").read_text().split()[0])
        except (OSError, ValueError, IndexError):
            return []
        children = run("pgrep", "-P", str(postmaster), check=False).stdout.split()
        return [postmaster, *(int(pid) for pid in children)]

    def signal(self, number: int) -> None:
        for pid in set(self.pids()):
            try:
                os.kill(pid, number)
            except ProcessLookupError:
                pass

    def sql(self, database: str, text: str) -> list[list[str]]:
        done = self.as_owner(str(self.bin / "psql"), "-X", "-h", str(self.data), "-p", str(PG_PORT), "-U", "latchwork",
                             "-d", database, "-At", "-F", "\t", "-c", text)
        return [line.split("\t") for line in done.stdout.splitlines() if line]

    def stop(self) -> None:
        self.signal(signal.SIGCONT)
        self.as_owner(str(self.bin / "pg_ctl"), "-D", str(self.data), "-m", "immediate", "stop", check=False)


class Receiver:
    """Webhook receiver on this host: the seqs it was told (by their webhook-id), and
    the notifications whose signature is not the key's."""

    def __init__(self, key: bytes):
        self.seqs: set[int] = set()
        self.forged: list[str] = []
        lock = threading.Lock()
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("content-length", 0)))
                webhook_id = self.headers.get("webhook-id", "")
                signed = f"{webhook_id}.{self.headers.get('webhook-timestamp')}.".encode() + body
                expected = "v1," + base64.b64encode(hmac.new(key, signed, hashlib.sha256).digest()).decode()
                genuine = any(hmac.compare_digest(expected.encode(), each.encode("latin-1"))
                              for each in self.headers.get("webhook-signature", "").split())
                with lock:
                    if genuine:
                        receiver.seqs.add(int(webhook_id.rsplit("_", 1)[1]))
                    else:
                        receiver.forged.append(webhook_id)
                self.send_response(204 if genuine else 401)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("0.0.0.0", 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


class Gate:
    """One latchwork-gate on a server's host, its relay, and how to reach it."""

    def __init__(self, number: int, hosts: Hosts, gate: str, directory: pathlib.Path, receiver: Receiver):
        self.number = number
        self.ns = hosts.servers[number - 1]
        self.address = f"10.78.{number}.1"
        self.mode_file = directory / f"relay{number}.mode"
        self.mode_file.write_text("pass")
        secret = directory / "notify.secret"
        approvers = directory / "approvers"
        self.command = [
            "ip", "netns", "exec", self.ns, gate, "serve", "--listen", f"0.0.0.0:{LINE_PORT}",
            "--allow", "10.0.0.0/8", "--console", f"0.0.0.0:{CONSOLE_PORT}", "--approvers", str(approvers),
            "--store", f"postgresql://latchwork@127.0.0.1:{RELAY_PORT}/gate",
            "--store-timeout", f"{STORE_TIMEOUT_S}s",
            "--notify", f"http://10.78.{number}.2:{receiver.port}/hook", "--notify-secret-file", str(secret)]
        self.log = open(directory / f"gate{number}.log", "ab")
        self.relay = subprocess.Popen(
            ["ip", "netns", "exec", self.ns, sys.executable, str(pathlib.Path(__file__).parent / "relay.py"),
             f"127.0.0.1:{RELAY_PORT}", f"10.77.{number}.2:{PG_PORT}", str(self.mode_file)],
            stdout=self.log, stderr=self.log)
        self.process: subprocess.Popen | None = None

    def start(self) -> None:
        """Starts the server, again while it exits at once (its database away, say)."""
        ready = pathlib.Path(str(self.mode_file) + ".ready")
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if not ready.exists():
                time.sleep(0.1)
                continue
            if self.process is None or self.process.poll() is not None:
                self.process = subprocess.Popen(self.command, stdout=self.log, stderr=self.log)
            try:
                if request(self.address, {"op": "ping"}, 1) == {"verdict": "pong"}:
                    return
            except OSError:
                time.sleep(0.2)
        raise SystemExit(f"gate {self.number} did not start: see {self.log.name}")

    def stop(self) -> None:
        for each in (self.process, self.relay):
            if each is not None and each.poll() is None:
                each.send_signal(signal.SIGCONT)
                each.kill()
                each.wait()


def request(address: str, message: dict, timeout: float) -> dict:
    with socket.create_connection((address, LINE_PORT), timeout=timeout) as connection:
        connection.sendall(json.dumps(message).encode() + b"\n")
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = connection.recv(65536)
            if not chunk:
                raise ConnectionError("closed without a reply")
            reply += chunk
        return json.loads(reply)


def console(address: str, method: str, path: str, body: dict | None = None) -> tuple[int, dict]:
    connection = http.client.HTTPConnection(address, CONSOLE_PORT, timeout=STORE_TIMEOUT_S + 3)
    try:
        connection.request(method, path, body=json.dumps(body) if body is not None else None,
                           headers={"Authorization": f"Bearer {TOKEN}", "Content-Type": "application/json"})
        response = connection.getresponse()
        return response.status, json.loads(response.read() or b"{}")
    finally:
        connection.close()


class History:
    """Every request sent and what came back, in the order the harness saw them."""

    def __init__(self):
        self.started = time.monotonic()
        self.lock = threading.Lock()
        self.replies: list[tuple[float, str, str, str, dict | None]] = []   # sent, who, run, key, reply
        self.decisions: list[tuple[float, str, str, bool, int, dict]] = []  # sent, run, key, approved, status, body
        self.cancels: list[tuple[float, str]] = []                          # answered, run
        self.probes: dict[int, list[tuple[float, float, bool]]] = collections.defaultdict(list)  # sent, done, answered
        self.windows: list[tuple[str, int | None, float, float]] = []        # fault, server, from, to

    def add(self, kind: str, item) -> None:
        with self.lock:
            getattr(self, kind).append(item)


def worker(number: int, gates: list[Gate], history: History, stop: threading.Event, rng: random.Random):
    count = 0
    while not stop.is_set():
        count += 1
        run_id, key = f"run-{number}-{count // 5}", f"effect-{count}"
        submit = {"op": "submit", "run_id": run_id, "effect_key": key, "needs_approval": True}
        deadline = time.monotonic() + 20
        while not stop.is_set() and time.monotonic() < deadline:
            gate = rng.choice(gates)
            sent = time.monotonic()
            try:
                reply = request(gate.address, submit, STORE_TIMEOUT_S + 2)
            except (OSError, ValueError):
                reply = None  # outcome unknown: asking again is safe
            history.add("replies", (sent, f"worker{number}@{gate.number}", run_id, key, reply))
            if reply is not None and reply.get("verdict") not in ("held_for_approval", "error"):
                break
            time.sleep(0.3)


def approver(gates: list[Gate], history: History, stop: threading.Event, rng: random.Random):
    while not stop.is_set():
        gate = rng.choice(gates)
        try:
            status, page = console(gate.address, "GET", "/api/pending?limit=20")
            for item in page.get("items", []) if status == 200 else []:
                run_id, key = item["run_id"], item["effect_key"]
                if rng.random() < 0.03:
                    sent = time.monotonic()
                    status, body = console(gate.address, "POST", f"/api/runs/{run_id}/cancel")
                    if status == 200:
                        history.add("cancels", (time.monotonic(), run_id))
                    continue
                approved = rng.random() < 0.8
                sent = time.monotonic()
                status, body = console(gate.address, "POST", "/api/decide",
                                       {"run_id": run_id, "effect_key": key, "approved": approved})
                history.add("decisions", (sent, run_id, key, approved, status, body))
        except (OSError, ValueError, http.client.HTTPException):
            pass
        time.sleep(0.2)


def prober(gates: list[Gate], history: History, stop: threading.Event):
    while not stop.is_set():
        for gate in gates:
            answered, sent = False, time.monotonic()
            try:
                answered = request(gate.address, {"op": "ping"}, 1) == {"verdict": "pong"}
            except (OSError, ValueError):
                try:  # /healthz answers whatever its status, if the server is awake
                    connection = http.client.HTTPConnection(gate.address, CONSOLE_PORT, timeout=1)
                    connection.request("GET", "/healthz")
                    connection.getresponse().read()
                    answered = True
                except (OSError, http.client.HTTPException):
                    pass
            history.probes[gate.number].append((sent, time.monotonic(), answered))
        time.sleep(0.25)


def inject(hosts: Hosts, postgres: Postgres, gates: list[Gate], history: History, seconds: float,
           rng: random.Random) -> None:
    """The faults, one after another with calm between them, until `seconds` have passed."""
    def relay(gate: Gate, mode: str, hold: float) -> None:
        gate.mode_file.write_text(mode)
        time.sleep(hold)
        gate.mode_file.write_text("pass")

    def link(gate: Gate, hold: float) -> None:
        run("ip", "-n", gate.ns, "link", "set", f"d{gate.number}", "down")
        time.sleep(hold)
        run("ip", "-n", gate.ns, "link", "set", f"d{gate.number}", "up")

    def pause_database(hold: float) -> None:
        postgres.signal(signal.SIGSTOP)
        time.sleep(hold)
        postgres.signal(signal.SIGCONT)

    def kill(gate: Gate, hold: float) -> None:
        gate.process.kill()
        gate.process.wait()
        time.sleep(hold)
        gate.start()

    def pause(gate: Gate, hold: float) -> None:
        gate.process.send_signal(signal.SIGSTOP)
        time.sleep(hold)
        gate.process.send_signal(signal.SIGCONT)

    faults = [
        ("partition", True, lambda g: link(g, 4)),
        ("delay", True, lambda g: relay(g, "delay", 4)),
        ("reset", True, lambda g: relay(g, "reset", 1)),
        ("freeze", True, lambda g: relay(g, "freeze", 2 * STORE_TIMEOUT_S)),
        ("database paused", False, lambda g: pause_database(4)),
        ("database restarted", False, lambda g: postgres.pg_ctl("restart")),
        ("killed", True, lambda g: kill(g, 2)),
        ("paused", True, lambda g: pause(g, 3)),
    ]
    started = time.monotonic()
    index = 0
    while time.monotonic() - started < seconds:
        name, per_server, action = faults[index % len(faults)]
        gate = rng.choice(gates)
        began = time.monotonic()
        action(gate)
        history.add("windows", (name, gate.number if per_server else None, began, time.monotonic()))
        print(f"  {began - started:6.1f}s {name}{f' (server {gate.number})' if per_server else ''}", flush=True)
        index += 1
        time.sleep(rng.uniform(1.5, 3))


def announced_entries(postgres: Postgres) -> set[int]:
    """The seqs of the committed entries that notifications tell."""
    return {int(seq) for seq, event, verdict, approved in postgres.sql(
        "gate", "SELECT seq, event, verdict, approved FROM latchwork_audit")
        if event in ANNOUNCED or (event == "decided" and (
            (approved == "t" and verdict in ("approved", "release")) or
            (approved == "f" and verdict == "refused_rejected")))}


def check(history: History, postgres: Postgres, receiver: Receiver) -> tuple[list[str], list[str]]:
    """The violations found, and what kept the history from being checked."""
    violations = []
    releases = collections.Counter((run_id, key) for _, _, run_id, key, reply in history.replies
                                   if reply and reply.get("verdict") == "release")
    for effect, count in releases.items():
        if count > 1:
            violations.append(f"{effect} released {count} times")
    states = {(run_id, key): state for run_id, key, state in postgres.sql(
        "gate", "SELECT convert_from(run_id, 'UTF8'), convert_from(effect_key, 'UTF8'), state"
                " FROM latchwork_effects")}
    for effect in releases:
        if states.get(effect) != "1":
            violations.append(f"{effect} was released to a worker but the store holds state {states.get(effect)}")
    decided = {(run_id, key, approved == "t") for run_id, key, approved in postgres.sql(
        "gate", "SELECT convert_from(run_id, 'UTF8'), convert_from(effect_key, 'UTF8'), approved"
                " FROM latchwork_audit WHERE event = 'decided'")}
    for _, run_id, key, approved, status, body in history.decisions:
        if status == 200 and (run_id, key, approved) not in decided:
            violations.append(f"the decision on {(run_id, key)} was answered {body} but is not in the store")
        if status == 200 and not approved and body.get("verdict") == "refused_rejected" and (run_id, key) in releases:
            violations.append(f"{(run_id, key)} was released although its rejection was answered")
    cancelled = {}
    for answered, run_id in history.cancels:
        cancelled.setdefault(run_id, answered)
    for sent, _, run_id, key, reply in history.replies:
        if reply and reply.get("verdict") == "release" and run_id in cancelled and sent > cancelled[run_id]:
            violations.append(f"{(run_id, key)} was released by a submit sent after its run's cancel was answered")
    announced = announced_entries(postgres)
    missing = sorted(announced - receiver.seqs)
    if missing:
        violations.append(f"{len(missing)} committed entries never reached the receiver: seqs {missing[:20]}")
    # A server was silent from the end of the last probe it answered to the end of the
    # last one in a row it did not: the time between probes alone (this harness slowed
    # down by a loaded machine) is no evidence.
    for number, probes in history.probes.items():
        excused = [(began, ended + 5) for name, server, began, ended in history.windows
                   if server == number and name in ("killed", "paused")]
        last_answer, silent_until = probes[0][0] if probes else 0, None
        for sent, done, answered in [*probes, (math.inf, math.inf, True)]:
            if not answered:
                silent_until = done
                continue
            if silent_until is not None and silent_until - last_answer > STORE_TIMEOUT_S + MARGIN_S and not any(
                    began <= silent_until and ended >= last_answer for began, ended in excused):
                violations.append(f"server {number} answered no probe for {silent_until - last_answer:.1f}s"
                                  f" (from {last_answer - history.started:.1f}s)")
            last_answer, silent_until = done, None
    worst = max((b[0] - a[0] for probes in history.probes.values() for a, b in zip(probes, probes[1:])), default=0)
    answered = sum(1 for *_, reply in history.replies if reply and reply.get("verdict") != "error")
    decided_ok = sum(1 for *_, status, _ in history.decisions if status == 200)
    print(f"submits {len(history.replies)} ({answered} answered), releases {sum(releases.values())}, decisions "
          f"{len(history.decisions)} ({decided_ok} answered), cancels {len(history.cancels)}, faults "
          f"{len(history.windows)}, entries in the store {len(states)} effects and {len(announced)} announced, "
          f"received {len(receiver.seqs)}, slowest probe round {worst:.1f}s", flush=True)
    if receiver.forged:
        violations.append(f"{len(receiver.forged)} notifications with a wrong signature: {receiver.forged[:5]}")
    # Every check passes on a history in which nothing happened: that fails too.
    nothing = [what for what, count in (
        ("submit answered", answered), ("release", sum(releases.values())), ("decision answered", decided_ok),
        ("effect in the store", len(states)), ("entry announced", len(announced)),
        ("notification received", len(receiver.seqs))) if count == 0]
    return violations, [f"too little happened to check: no {', no '.join(nothing)}"] if nothing else []


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--gate", default=shutil.which("latchwork-gate"))
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--workers", type=int, default=6)
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("the fault harness makes network namespaces: run it as root")
    if not args.gate:
        raise SystemExit("no latchwork-gate: pass --gate or install the wheel")
    rng = random.Random(args.seed)
    directory = pathlib.Path(tempfile.mkdtemp(prefix="latchwork-faults-"))
    print(f"fault harness: {args.seconds:.0f}s, seed {args.seed}, gate {args.gate}, logs in {directory}", flush=True)
    os.chmod(directory, 0o755)
    key = os.urandom(32)
    (directory / "notify.secret").write_text("whsec_" + base64.b64encode(key).decode())
    os.chmod(directory / "notify.secret", 0o600)
    (directory / "approvers").write_text(f"ada:{TOKEN}\n")
    os.chmod(directory / "approvers", 0o600)
    hosts = Hosts()
    postgres = Postgres(hosts, directory)
    gates: list[Gate] = []
    stop = threading.Event()

    def interrupted(number, frame):
        raise SystemExit(f"stopped by signal {number}")

    for number in (signal.SIGTERM, signal.SIGHUP):  # what CI and a closed terminal send
        signal.signal(number, interrupted)
    try:
        hosts.make()
        postgres.start()
        run("ip", "netns", "exec", hosts.servers[0], args.gate, "migrate", "--store",
            f"postgresql://latchwork@10.77.1.2:{PG_PORT}/gate")
        receiver = Receiver(key)
        gates = [Gate(number, hosts, args.gate, directory, receiver) for number in (1, 2)]
        for gate in gates:
            gate.start()
        history = History()
        threads = [threading.Thread(target=worker, args=(n, gates, history, stop, random.Random(rng.random())),
                                    daemon=True)
                   for n in range(args.workers)]
        threads += [threading.Thread(target=approver, args=(gates, history, stop, random.Random(rng.random())),
                                     daemon=True),
                    threading.Thread(target=prober, args=(gates, history, stop), daemon=True)]
        for thread in threads:
            thread.start()
        inject(hosts, postgres, gates, history, args.seconds, rng)
        stop.set()
        for thread in threads:
            thread.join()
        # Every entry committed is told in the end: give the senders time to catch up.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not announced_entries(postgres) <= receiver.seqs:
            time.sleep(1)
        violations, unchecked = check(history, postgres, receiver)
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
        stop.set()
        for gate in gates:
            gate.stop()
        postgres.stop()
        hosts.close()
    for violation in violations:
        print("VIOLATION:", violation)
    for reason in unchecked:
        print("NOT CHECKED:", reason)
    if violations or unchecked:
        print(f"FAILED: the servers' logs are in {directory}")
        return 1
    print("no violation")
    shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
