"""test_store_contract.py: the native store contract (tests/native/store_contract_test.cpp) on
PostgreSQL, which the native tests have no database for of their own.

The native test binary is build/test/latchwork_native_tests (the test wheel's build tree:
`make wheel-test` builds it, and `make test` does before pytest), or the one
LATCHWORK_NATIVE_TESTS_BINARY names."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess

import pytest

from postgres_cluster import clean_environment

NATIVE_TESTS = pathlib.Path(os.environ.get(
    "LATCHWORK_NATIVE_TESTS_BINARY",
    pathlib.Path(__file__).resolve().parent.parent / "build" / "test" / "latchwork_native_tests"))


def test_the_store_contract_holds_on_postgresql(postgres_database):
    if not NATIVE_TESTS.is_file():
        pytest.skip(f"no native test binary at {NATIVE_TESTS}: `make wheel-test` builds it")
    # The binary is no sanitizer build: what a sanitizer run preloads stays out.
    env = dict(clean_environment(), LATCHWORK_TEST_POSTGRES_URL=postgres_database.url)
    done = subprocess.run([str(NATIVE_TESTS), "--gtest_filter=Stores/StoreContract.*/postgresql"],
                          capture_output=True, text=True, env=env, timeout=100,
                          stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stdout + done.stderr
    # Each case ran on the database: none skipped, and some passed.
    assert "[  SKIPPED ]" not in done.stdout, done.stdout
    assert re.search(r"\[  PASSED  \] [1-9]\d* tests?\.", done.stdout), done.stdout
