"""postgres_cluster.py: a throw-away PostgreSQL cluster in a temporary directory, for tests
and benchmarks.

PostgresCluster.start() runs Debian's initdb and pg_ctl (the newest under
/usr/lib/postgresql/*/bin, else those on PATH) on a free port of 127.0.0.1 with a
Unix socket inside its own directory, trust authentication and fsync on; stop() and
start() again keep the port and the data, destroy() stops it for good and removes
the directory. initdb and postgres refuse to run as root, so under root they run as
the `postgres` system user. psql() runs SQL through the psql binary and returns rows.
"""

from __future__ import annotations

import csv
import glob
import io
import os
import pathlib
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time

SUPERUSER = "latchwork"
DIRECTORY_PREFIX = "latchwork-pg-"
OWNER_FILE = "owner.pid"
COMMAND_SECONDS = 120
HOW_TO_GET_IT = ("install Debian's postgresql (apt-get install postgresql); "
                 "`make test` installs it when run as root")

# What a sanitizer run puts into the environment must not reach PostgreSQL's programs:
# they are not ours, and their reports would be judged as if they were.
_FOREIGN_ENVIRONMENT = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                        "PYTHONMALLOC")
# libpq's defaults would override what a command names explicitly or point elsewhere.
_LIBPQ_ENVIRONMENT = ("PGHOST", "PGPORT", "PGUSER", "PGDATABASE", "PGPASSWORD", "PGSERVICE",
                      "PGOPTIONS", "PGSSLMODE")


class Unavailable(Exception):
    """PostgreSQL cannot run here; the message says why and how to get it."""


def clean_environment() -> dict[str, str]:
    environment = dict(os.environ)
    for name in _FOREIGN_ENVIRONMENT + _LIBPQ_ENVIRONMENT:
        environment.pop(name, None)
    environment["LC_ALL"] = "C"
    return environment


def _version_key(path: str) -> tuple:
    version = pathlib.Path(path).parent.parent.name
    return tuple(int(part) if part.isdigit() else 0 for part in version.split("."))


def find_server_binaries() -> pathlib.Path | None:
    """The directory that holds initdb, pg_ctl and postgres: the newest Debian version,
    else the one initdb on PATH lives in."""
    installed = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=_version_key)
    for initdb in reversed(installed):
        directory = pathlib.Path(initdb).parent
        if all((directory / name).is_file() for name in ("pg_ctl", "postgres")):
            return directory
    on_path = shutil.which("initdb")
    if on_path:
        directory = pathlib.Path(on_path).resolve().parent
        if (directory / "pg_ctl").is_file():
            return directory
    return None


def find_client(name: str, server_binaries: pathlib.Path | None) -> str | None:
    """psql or pgbench: beside the server's programs (same version) or on PATH."""
    if server_binaries is not None and (server_binaries / name).is_file():
        return str(server_binaries / name)
    return shutil.which(name)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _postmaster_pid(data: pathlib.Path) -> int | None:
    try:
        return int((data / "postmaster.pid").read_text().split("\n", 1)[0])
    except (OSError, ValueError):
        return None


class PostgresCluster:
    def __init__(self, parent: str | None = None):
        self.binaries = find_server_binaries()
        self.psql_binary = find_client("psql", self.binaries)
        self.parent = parent
        self.directory: pathlib.Path | None = None
        self.port = 0
        self._account: pwd.struct_passwd | None = None
        self._running = False

    # -- where and as whom ---------------------------------------------------------

    def check_available(self) -> None:
        if self.binaries is None:
            raise Unavailable(f"no PostgreSQL server programs (initdb, pg_ctl): {HOW_TO_GET_IT}")
        if self.psql_binary is None:
            raise Unavailable(f"no psql: {HOW_TO_GET_IT}")
        if os.geteuid() == 0:
            try:
                self._account = pwd.getpwnam("postgres")
            except KeyError:
                raise Unavailable("running as root, and there is no `postgres` user to run "
                                  f"PostgreSQL as: {HOW_TO_GET_IT}") from None
            if shutil.which("runuser") is None:
                raise Unavailable("running as root, and there is no runuser to run "
                                  "PostgreSQL as the postgres user")

    @property
    def data(self) -> pathlib.Path:
        return self.directory / "data"

    @property
    def socket_directory(self) -> pathlib.Path:
        return self.directory / "sockets"

    @property
    def log_path(self) -> pathlib.Path:
        return self.directory / "server.log"

    def _as_owner(self, command: list[str]) -> list[str]:
        if self._account is None:
            return command
        return ["runuser", "-u", "postgres", "--", *command]

    def _run_as_owner(self, *command: str, timeout: float = COMMAND_SECONDS,
                      check: bool = True) -> subprocess.CompletedProcess:
        done = subprocess.run(self._as_owner(list(command)), capture_output=True, text=True,
                              timeout=timeout, env=clean_environment(), cwd=self.directory,
                              stdin=subprocess.DEVNULL)
        if check and done.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed ({done.returncode}): "
                               f"{done.stderr.strip() or done.stdout.strip()}\n{self.log_tail()}")
        return done

    def _make_directory(self) -> None:
        # Our own directory straight under the system's temporary one: pytest's may be
        # reachable by root alone, and the postgres user must own what it writes.
        base = self.parent or tempfile.gettempdir()
        self.directory = pathlib.Path(tempfile.mkdtemp(prefix=DIRECTORY_PREFIX, dir=base))
        (self.directory / OWNER_FILE).write_text(f"{os.getpid()}\n")
        self.socket_directory.mkdir()
        if self._account is not None:
            for path in (self.directory, self.socket_directory):
                os.chown(path, self._account.pw_uid, self._account.pw_gid)

    # -- life ---------------------------------------------------------------------

    def start(self) -> "PostgresCluster":
        """Creates the cluster on the first call; later calls start it again as it was."""
        if self._running:
            return self
        if self.directory is None:
            self.check_available()
            sweep_abandoned_clusters(self.parent or tempfile.gettempdir())
            self._make_directory()
            self._initdb()
            # A port taken between the probe and the start: a new one and again.
            for attempt in range(5):
                self.port = free_port()
                self._write_settings()
                if self._pg_ctl_start(check=attempt == 4):
                    break
        else:
            self._pg_ctl_start(check=True)
        return self

    def _initdb(self) -> None:
        # --no-sync: whether the freshly created files survive a crash of this machine
        # does not matter; the server itself runs with fsync on.
        self._run_as_owner(str(self.binaries / "initdb"), "--pgdata", str(self.data),
                           "--username", SUPERUSER, "--auth", "trust", "--encoding", "UTF8",
                           "--locale", "C", "--no-sync", "--no-instructions")

    def _write_settings(self) -> None:
        settings = {
            "listen_addresses": "'127.0.0.1'",
            "port": str(self.port),
            "unix_socket_directories": f"'{self.socket_directory}'",
            "fsync": "on",
            "synchronous_commit": "on",
            "max_connections": "200",
            "shared_buffers": "'32MB'",
            "logging_collector": "off",
        }
        # The last line of a setting wins, so a retry on another port just appends.
        with open(self.data / "postgresql.conf", "a") as conf:
            conf.write("\n# written by the test cluster\n")
            conf.writelines(f"{name} = {value}\n" for name, value in settings.items())

    def _pg_ctl_start(self, check: bool) -> bool:
        done = self._run_as_owner(str(self.binaries / "pg_ctl"), "start", "--pgdata",
                                  str(self.data), "--log", str(self.log_path), "--wait",
                                  "--timeout", "60", check=check)
        self._running = done.returncode == 0
        return self._running

    def stop(self, mode: str = "fast") -> None:
        """Stops the server; the data stays, start() brings it back on the same port."""
        if self.directory is None or not self.data.exists():
            return
        done = self._run_as_owner(str(self.binaries / "pg_ctl"), "stop", "--pgdata",
                                  str(self.data), "--mode", mode, "--wait", "--timeout", "60",
                                  check=False)
        if done.returncode != 0 and mode != "immediate":
            self._run_as_owner(str(self.binaries / "pg_ctl"), "stop", "--pgdata",
                               str(self.data), "--mode", "immediate", "--wait", check=False)
        _kill_postmaster(self.data)
        self._running = False

    @property
    def running(self) -> bool:
        return self._running

    def destroy(self) -> None:
        """Stops the server (if it runs) and removes everything it wrote. Idempotent."""
        if self.directory is None:
            return
        try:
            self.stop()
        finally:
            shutil.rmtree(self.directory, ignore_errors=True)
            self.directory = None

    def log_tail(self, lines: int = 20) -> str:
        try:
            return "\n".join(self.log_path.read_text(errors="replace").splitlines()[-lines:])
        except (OSError, TypeError):
            return ""

    # -- speaking to it -----------------------------------------------------------

    def url(self, database: str) -> str:
        return f"postgresql://{SUPERUSER}@127.0.0.1:{self.port}/{database}"

    def psql(self, database: str, sql: str) -> list[tuple[str | None, ...]]:
        """Runs SQL (one or more statements) and returns the rows of the last one as
        tuples of text, None for NULL."""
        null = "\x01null\x01"
        done = subprocess.run(
            [self.psql_binary, "--no-psqlrc", "--quiet", "--tuples-only", "--csv",
             "--set", "ON_ERROR_STOP=1", "--pset", f"null={null}", "--host", "127.0.0.1",
             "--port", str(self.port), "--username", SUPERUSER, "--dbname", database,
             "--command", sql],
            capture_output=True, text=True, timeout=COMMAND_SECONDS, env=clean_environment(),
            stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            raise RuntimeError(f"psql: {done.stderr.strip()}")
        return [tuple(None if value == null else value for value in row)
                for row in csv.reader(io.StringIO(done.stdout))]

    def create_database(self, name: str) -> str:
        """A new empty database; its URL."""
        self.psql("postgres", f'CREATE DATABASE "{name}"')
        return self.url(name)

    def drop_database(self, name: str) -> None:
        # FORCE ends what a stopped test left connected.
        self.psql("postgres", f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')


def _is_postmaster_of(pid: int, data: pathlib.Path) -> bool:
    """Whether pid is still the server of that data directory (and not a process that
    got its number since)."""
    try:
        arguments = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
    except OSError:
        return False
    return str(data).encode() in arguments


def _kill_postmaster(data: pathlib.Path) -> None:
    """The last resort when pg_ctl could not stop it: no server outlives its test run."""
    pid = _postmaster_pid(data)
    if pid is None or not _process_alive(pid) or not _is_postmaster_of(pid, data):
        return
    os.kill(pid, signal.SIGQUIT)
    deadline = time.monotonic() + 10
    while _process_alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    if _process_alive(pid):
        os.kill(pid, signal.SIGKILL)


def sweep_abandoned_clusters(parent: str) -> None:
    """Stops and removes the clusters of test runs that ended without cleaning up (a
    watchdog's hard exit, SIGKILL): those whose owning process is gone."""
    for owner_file in glob.glob(os.path.join(parent, DIRECTORY_PREFIX + "*", OWNER_FILE)):
        directory = pathlib.Path(owner_file).parent
        try:
            owner = int(pathlib.Path(owner_file).read_text())
        except (OSError, ValueError):
            continue
        if _process_alive(owner):
            continue
        try:
            _kill_postmaster(directory / "data")
        except PermissionError:
            continue  # someone else's, not ours to stop
        shutil.rmtree(directory, ignore_errors=True)
