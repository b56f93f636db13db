# Set-up and checks. Every dependency is installed from here, never by hand.
PYTHON ?= python3
VENV   ?= .venv
VPY    := $(VENV)/bin/python
TEST_BUILD   := build/test
BENCH_BUILD  := build/bench

.PHONY: deps deps-browser deps-postgres deps-sqlite-shell demo test pytest pytest-interpreters native-test wheel-test install-test docs deps-build deps-native deps-bench deps-fuzz bench fuzz fuzz-build fuzz-run check-asan asan-build asan-tests clean

# Build-time packages from Debian: boost (the ledger's hash map, the server's Asio); CLI11
# for the server's command line; toml++ for the server's rules file; SQLite for the server's store; GoogleTest for the
# native units; libpq for the shared PostgreSQL store; OpenSSL for TLS on the line port; Google Benchmark and Redis (the server benchmark's yardstick) for the
# benchmarks. Installed when missing and we may (as root).
APT_INSTALL = apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends
define need_debian_package
	@if ! ls $(1) >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then $(APT_INSTALL) $(2); \
	  else echo "$(2) is missing: install it (apt-get install $(2))" >&2; exit 1; fi; \
	fi
endef

deps-build:
	$(call need_debian_package,/usr/include/boost/unordered/unordered_flat_map.hpp,libboost1.81-dev)
	$(call need_debian_package,/usr/include/CLI/CLI.hpp,libcli11-dev)
	$(call need_debian_package,/usr/include/toml++/toml.h,libtomlplusplus-dev)
	$(call need_debian_package,/usr/include/sqlite3.h,libsqlite3-dev)
	$(call need_debian_package,/usr/include/postgresql/libpq-fe.h,libpq-dev)
	$(call need_debian_package,/usr/include/openssl/ssl.h,libssl-dev)

# Every Debian package the targets below may install, in one apt-get (CI's first step):
# each target still checks for what it needs, and finds it there.
DEBIAN_PACKAGES := libboost1.81-dev libcli11-dev libtomlplusplus-dev libsqlite3-dev libpq-dev libssl-dev \
  libgtest-dev libbenchmark-dev redis-server postgresql postgresql-client sqlite3 \
  chromium chromium-driver clang-14 libclang-rt-14-dev debootstrap \
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest wine wine64 iproute2
deps:
	@missing=$$(for package in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$package 2>/dev/null | grep -q '^install ok installed' || echo $$package; \
	done); \
	if [ -z "$$missing" ]; then echo "every Debian package is installed"; \
	elif [ "$$(id -u)" = 0 ]; then $(APT_INSTALL) $$missing; \
	else echo "missing Debian packages (install them as root): $$missing" >&2; exit 1; fi

# The console's browser test drives Debian's headless Chromium through its driver.
CHROMIUM_INSTALL = apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends chromium chromium-driver
deps-browser:
	@if ! ls /usr/bin/chromedriver >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ]; then $(CHROMIUM_INSTALL) || echo "chromium could not be installed: the browser test will be skipped" >&2; \
	  else echo "chromium-driver is missing: the browser test will be skipped (apt-get install chromium chromium-driver)" >&2; fi; \
	fi

# The server's shared store is tested against a real PostgreSQL, which the tests start
# themselves in a temporary directory: Debian's server programs, psql and pgbench.
deps-postgres:
	$(call need_debian_package,/usr/lib/postgresql/*/bin/initdb,postgresql)
	$(call need_debian_package,/usr/bin/psql,postgresql-client)

# The readers' tests read a live store file with the sqlite3 shell, as an operator would.
deps-sqlite-shell:
	$(call need_debian_package,/usr/bin/sqlite3,sqlite3)

deps-native: deps-build
	$(call need_debian_package,/usr/include/gtest/gtest.h,libgtest-dev)

deps-bench: deps-build
	$(call need_debian_package,/usr/include/benchmark/benchmark.h,libbenchmark-dev)
	$(call need_debian_package,/usr/bin/redis-server,redis-server)

# libFuzzer comes with Clang's runtime libraries.
deps-fuzz: deps-build
	$(call need_debian_package,/usr/bin/clang++-14,clang-14)
	$(call need_debian_package,/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a,libclang-rt-14-dev)

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

demo: $(VPY) deps-build
	$(VPY) -m pip install --quiet .
	$(VPY) examples/quickstart.py
	$(VPY) examples/durable_gate.py

# The test build carries the fault-injection hooks; the release wheel never does. It
# has a build tree of its own, so the hooks never carry over into a later wheel build.
# Built once as a wheel, it is installed as it is into every interpreter's venv; the
# same build tree holds the native GoogleTest units, so the core is compiled once for
# both (the product code has no assertions a Debug build would add).
WHEEL_DIR := build/wheel-test
TEST_WHEEL = $$(echo $(WHEEL_DIR)/latchwork-*.whl)
wheel-test: $(VPY) deps-native
	rm -rf $(WHEEL_DIR)
	$(VPY) -m pip wheel --quiet --no-deps -C cmake.define.LATCHWORK_TEST_HOOKS=ON \
	  -C cmake.define.LATCHWORK_NATIVE_TESTS=ON -C build-dir=$(TEST_BUILD) -w $(WHEEL_DIR) .

install-test: wheel-test deps-browser deps-postgres deps-sqlite-shell
	$(VPY) -m pip uninstall --quiet --yes latchwork >/dev/null 2>&1 || true
	$(VPY) -m pip install --quiet "$(TEST_WHEEL)[test,openai-agents,mcp]"

# The suite runs in PYTEST_WORKERS processes (pytest-xdist): most of its time is spent
# waiting on servers, so more workers than cores pay. Every test takes its own ports,
# directories and databases, so they share nothing.
PYTEST_WORKERS ?= 4
export PYTEST_WORKERS

pytest: install-test
	$(VPY) -m pytest -n $(PYTEST_WORKERS)

# The same wheel under the main venv's interpreter and each of these CPython versions
# that the machine has (on PATH or in pyenv), each in .venv-3.X; a missing one is
# skipped with a line. The PostgreSQL tests are about the server, not the interpreter:
# they run under the main venv's interpreter only.
PYTHON_VERSIONS ?= 3.10 3.11 3.12 3.13
pytest-interpreters: wheel-test deps-browser deps-postgres deps-sqlite-shell
	tools/test_interpreters.sh "$(TEST_WHEEL)" $(VPY) "$(PYTHON_VERSIONS)"

native-test: wheel-test
	ctest --test-dir $(TEST_BUILD) --output-on-failure -j2

# The test wheel's build holds the native units, so pytest can run the native store
# contract on its PostgreSQL (tests/test_store_contract.py); CTest runs the rest after.
test: pytest-interpreters native-test

# The pytest suite against a build with AddressSanitizer and UBSan, in a virtual
# environment of its own so the ordinary one never holds that build. At -O1 with line
# tables only: what the sanitizer needs for its reports, at a fraction of the compile.
# asan-build and asan-tests are check-asan's halves, for CI to build ahead.
ASAN_VENV := .venv-asan
ASAN_VPY  := $(ASAN_VENV)/bin/python
$(ASAN_VPY):
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VPY) -m pip install --quiet --upgrade pip

asan-build: $(ASAN_VPY) deps-build
	$(ASAN_VPY) -m pip install --quiet -C cmake.define.LATCHWORK_SANITIZE=ON \
	  -C cmake.define.LATCHWORK_TEST_HOOKS=ON -C cmake.build-type=RelWithDebInfo \
	  -C "cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" \
	  -C build-dir=build/asan '.[test]'

# The module's tests run in that venv; the server's in the ordinary one (install-test),
# against that venv's latchwork-gate (tools/pytest_under_asan.sh says why).
asan-tests: deps-browser deps-postgres
	tools/pytest_under_asan.sh $(ASAN_VPY) $(VPY) build/asan/reports

check-asan: asan-build install-test
	$(MAKE) asan-tests

# Each harness runs FUZZ_SECONDS (default 60) from a copy of its seed corpus in fuzz/corpus.
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
fuzz-build: deps-fuzz
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLATCHWORK_PYTHON_MODULE=OFF -DLATCHWORK_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j2

fuzz-run:
	tools/run_fuzzers.sh $(FUZZ_BUILD)/fuzz $(FUZZ_SECONDS) 2

fuzz: fuzz-build
	$(MAKE) fuzz-run

# Reports only: a missed target never fails it. With LATCHWORK_BASELINE_GATE set to
# another latchwork-gate (an earlier commit's Release build), the server benchmarks
# measure it in the same rounds beside this one. The wheel measured is the release
# build, without the test hooks (said explicitly, whatever the build tree holds).
# Writes bench/results/ and the README's table.
bench: $(VPY) deps-bench deps-postgres
	$(VPY) -m pip install --quiet -C cmake.define.LATCHWORK_TEST_HOOKS=OFF '.[bench]'
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DLATCHWORK_PYTHON_MODULE=OFF \
	  -DLATCHWORK_BENCH=ON -DPython_EXECUTABLE=$(abspath $(VPY))
	cmake --build $(BENCH_BUILD) -j2
	$(VPY) bench/run_bench.py --build-dir $(BENCH_BUILD)

# The pictures in the README and the guide, drawn by Graphviz from their sources.
docs/%.png: docs/%.dot
	$(call need_debian_package,/usr/bin/dot,graphviz)
	dot -Tpng -Gdpi=110 $< -o $@

docs: docs/effect-states.png docs/shared-store.png

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) .venv-3.*

# Wheels (make dist, make dist-check) and the Windows build (make windows-test).
include mk/dist.mk mk/windows.mk mk/faults.mk
