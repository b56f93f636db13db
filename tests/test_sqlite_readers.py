"""A SQLite store file while its server serves: one server per file, kept by a lock that
dies with the process, and readers beside it (`latchwork-gate log`, the sqlite3 shell,
a backup under load that a fresh server opens with every change answered before it)."""

import shutil
import subprocess
import threading
import time

import pytest

import latchwork
from gate_process import GateProcess, run_gate


def sqlite_shell(*arguments) -> str:
    """The sqlite3 shell's output; the shell comes with `make install-test`."""
    shell = shutil.which("sqlite3")
    if shell is None:
        pytest.skip("the sqlite3 shell is missing (make install-test installs it)")
    result = subprocess.run([shell, *map(str, arguments)], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def refused_second_server(database):
    second = GateProcess("--store", f"sqlite:{database}")
    with pytest.raises(RuntimeError):
        second.start()
    assert second.wait() == 2
    return second.stderr_lines


def test_one_server_per_file_and_the_lock_goes_with_a_killed_server(gate_process, tmp_path):
    database = tmp_path / "gate.db"
    refusal = [f"latchwork-gate: store {database} is in use by another process "
               "(database is locked)"]
    first = gate_process("--store", f"sqlite:{database}")
    assert latchwork.GateClient(first.address).submit("r", "before") == "release"
    assert refused_second_server(database) == refusal
    # Through another name of the same file, too.
    (tmp_path / "link.db").symlink_to(database)
    assert refused_second_server(tmp_path / "link.db") == [refusal[0].replace("gate.db", "link.db")]

    first.kill()  # SIGKILL: no clean-up ran, the kernel let go of the lock
    second = gate_process("--store", f"sqlite:{database}")  # at once, no retry
    assert latchwork.GateClient(second.address).submit("r", "before") == "refused_duplicate"
    assert refused_second_server(database) == refusal


def test_log_and_the_shell_read_a_live_file(gate_process, tmp_path):
    database = tmp_path / "gate.db"
    server = gate_process("--store", f"sqlite:{database}")
    gate = latchwork.GateClient(server.address)
    for n in range(3):
        assert gate.submit("r", f"e{n}", True) == "held_for_approval"
    gate.decide("r", "e0", True)

    def log():
        started = time.monotonic()
        result = run_gate("log", "--store", f"sqlite:{database}")
        assert time.monotonic() - started < 10  # never waiting the server out
        assert (result.returncode, result.stderr) == (0, ""), result.stderr
        return result.stdout.splitlines()

    lines = log()
    assert [line.split()[1:3] for line in lines] == [
        ["held", 'run="r"'], ["held", 'run="r"'], ["held", 'run="r"'], ["decided", 'run="r"']]
    assert sqlite_shell(database, "SELECT count(*) FROM audit") == "4\n"
    # The state tables lag until a fold, and the journal holds the rest; an idle fold
    # may come at any moment, so both are read in one snapshot.
    assert sqlite_shell(database, "SELECT coalesce((SELECT sum(change_count) FROM journal), 0)"
                        " || ' ' || (SELECT count(*) FROM effects)") in {"4 0\n", "0 3\n"}

    gate.decide("r", "e1", False)  # readers see each answered change, not a snapshot
    assert log()[:4] == lines and len(log()) == 5
    assert sqlite_shell(database, "SELECT count(*) FROM audit") == "5\n"
    assert server.stop() == 0


@pytest.mark.parametrize("command", [".backup {copy}", "VACUUM INTO '{copy}'"])
def test_a_backup_under_load_holds_every_change_answered_before_it(gate_process, tmp_path,
                                                                   command):
    database, copy = tmp_path / "gate.db", tmp_path / "copy.db"
    server = gate_process("--store", f"sqlite:{database}")
    answered, stop = [], threading.Event()

    def submit_until_stopped():
        gate = latchwork.GateClient(server.address)
        while not stop.is_set():
            key = f"e{len(answered)}"
            assert gate.submit("load", key, len(answered) % 3 == 0) in (
                "release", "held_for_approval")
            answered.append(key)

    writer = threading.Thread(target=submit_until_stopped)
    writer.start()
    try:
        deadline = time.monotonic() + 60
        while len(answered) < 200 and writer.is_alive():
            assert time.monotonic() < deadline, "the writer is stuck"
            time.sleep(0.01)
        before = list(answered)  # answered before the backup started
        sqlite_shell(database, command.format(copy=copy))
        # The writer went on around the backup (a quick backup may fall between two
        # of its requests): it answers again within a bounded wait.
        after = len(answered)
        while len(answered) == after and writer.is_alive():
            assert time.monotonic() < deadline, "the writer stood still after the backup"
            time.sleep(0.01)
    finally:
        stop.set()
        writer.join(60)
    assert not writer.is_alive() and len(answered) > len(before)

    restored = gate_process("--store", f"sqlite:{copy}")
    gate = latchwork.GateClient(restored.address)
    for n, key in enumerate(before):
        # Without the change in the copy, the same submit would answer "release".
        expected = "held_for_approval" if n % 3 == 0 else "refused_duplicate"
        assert gate.submit("load", key) == expected, key
    assert restored.stop() == 0
    held = len(range(0, len(before), 3))
    assert int(sqlite_shell(copy, "SELECT count(*) FROM audit WHERE event = 'held'")) >= held
