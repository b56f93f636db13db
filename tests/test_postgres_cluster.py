"""The test PostgreSQL cluster itself: it runs where it should, keeps data and port over a
restart, keeps databases apart, and leaves no server behind."""
import os
import pathlib
import pwd

import pytest

from postgres_cluster import PostgresCluster, Unavailable, _is_postmaster_of, _postmaster_pid

pytestmark = pytest.mark.postgres


def test_the_cluster_listens_on_loopback_with_durable_settings(postgres_cluster):
    rows = postgres_cluster.psql("postgres", "SELECT name, setting FROM pg_settings WHERE name "
                                 "IN ('fsync', 'listen_addresses', 'port', 'max_connections') "
                                 "ORDER BY name")
    assert rows == [("fsync", "on"), ("listen_addresses", "127.0.0.1"),
                    ("max_connections", "200"), ("port", str(postgres_cluster.port))]
    owner = pathlib.Path(postgres_cluster.data).stat().st_uid
    # root hands the cluster to the postgres user, anyone else runs it as themselves
    assert owner == (os.geteuid() if os.geteuid() != 0 else pwd.getpwnam("postgres").pw_uid)


def test_psql_returns_rows_as_text_with_null_and_awkward_values(postgres_database):
    assert postgres_database.psql("SELECT 1, NULL, 'a,b\"c', E'two\\nlines', ''") == [
        ("1", None, 'a,b"c', "two\nlines", "")]
    postgres_database.psql("CREATE TABLE t (k int); INSERT INTO t VALUES (1), (2)")
    assert postgres_database.psql("SELECT k FROM t ORDER BY k") == [("1",), ("2",)]
    assert postgres_database.psql("SELECT k FROM t WHERE k > 5") == []
    with pytest.raises(RuntimeError, match="does_not_exist"):
        postgres_database.psql("SELECT * FROM does_not_exist")


def test_each_database_is_fresh_and_named_in_its_url(new_postgres_database, postgres_cluster):
    first, second = new_postgres_database(), new_postgres_database()
    assert first.name != second.name
    assert first.url == f"postgresql://latchwork@127.0.0.1:{postgres_cluster.port}/{first.name}"
    first.psql("CREATE TABLE only_here (k int)")
    assert second.psql("SELECT count(*) FROM pg_tables WHERE tablename = 'only_here'") == [
        ("0",)]


def test_stop_and_start_keep_the_port_and_the_data(postgres_cluster, postgres_database):
    postgres_database.psql("CREATE TABLE kept (k int); INSERT INTO kept VALUES (7)")
    port = postgres_cluster.port
    postgres_cluster.stop()
    assert not postgres_cluster.running
    with pytest.raises(RuntimeError):
        postgres_database.psql("SELECT 1")
    postgres_cluster.start()
    assert postgres_cluster.port == port
    assert postgres_database.psql("SELECT k FROM kept") == [("7",)]


def test_a_cluster_of_its_own_starts_and_is_gone_after_destroy():
    cluster = PostgresCluster()
    try:
        cluster.start()
    except Unavailable as why:
        pytest.skip(str(why))
    try:
        directory, data = cluster.directory, cluster.data
        pid = _postmaster_pid(data)
        assert pid is not None and _is_postmaster_of(pid, data)
        assert cluster.psql("postgres", "SELECT current_user") == [("latchwork",)]
    finally:
        cluster.destroy()
    assert not _is_postmaster_of(pid, data)  # a zombie not yet reaped counts as gone
    assert not directory.exists()
    cluster.destroy()  # twice is harmless


def test_without_the_server_programs_the_reason_says_how_to_get_them(monkeypatch):
    import postgres_cluster

    monkeypatch.setattr(postgres_cluster, "find_server_binaries", lambda: None)
    with pytest.raises(Unavailable, match=r"install Debian's postgresql .*`make test` installs "
                                          r"it when run as root"):
        PostgresCluster().start()
