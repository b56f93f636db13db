#!/usr/bin/env bash
# Runs the pytest suite against the build with AddressSanitizer and UBSan, then judges
# the reports: any error, or any leak the module or the gate server made, fails it.
#   tools/pytest_under_asan.sh ASAN_PYTHON PYTHON REPORT_DIR
# ASAN_PYTHON's venv holds the sanitizer build; PYTHON's, the ordinary test build.
#
# Two runs, so that only what needs it pays the sanitizer's price:
#   - the module's tests, in ASAN_PYTHON with the sanitizer runtime preloaded (the
#     module lives in the interpreter, so the interpreter runs under the sanitizer);
#   - the gate server's tests, in the ordinary PYTHON, each server they start being
#     the sanitizer build's latchwork-gate (LATCHWORK_GATE). The server is a program
#     of its own: the interpreter that talks to it needs no sanitizer.
set -euo pipefail
asan_python=$1
python=$2
reports=$3
rm -rf "$reports" && mkdir -p "$reports"
# Absolute: the servers the tests start run in directories of their own, and a
# relative log path would put their reports (and a build/ folder) there.
reports=$(cd "$reports" && pwd)
gate=$(cd "$(dirname "$asan_python")" && pwd)/latchwork-gate
# Full stacks on every allocation, so a leak can be traced to the module or not (the
# interpreter has no frame pointers, so the slow unwinder; 16 frames reach from
# malloc through the interpreter's allocator to the module's caller).
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=16:log_path=$reports/asan"
export LSAN_OPTIONS="exitcode=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
status=0

echo "== the module's tests, in an interpreter under the sanitizer"
# Plugins are loaded only when named: the installed ones' imports (hypothesis,
# schemathesis, langsmith) take minutes under the sanitizer. Left out besides the
# server's tests: those that exercise no native code of ours beyond what the rest
# does (static typing, the approvals package and its framework tools and MCP gateway,
# which are Python talking to a server, the examples), each run in the ordinary
# suite. The leak tests interrupt calls with timer signals: they run in one process,
# since an alarm that lands while an xdist worker waits for work ends the worker.
module_run() {
  # The interpreter is not linked against libstdc++, so the runtime's exception
  # interceptors need it preloaded too. Every Python object allocated through malloc,
  # so the sanitizer sees each one.
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 \
    "$asan_python" -m pytest -q -p no:cacheprovider -m "not server and not postgres" \
      --ignore tests/test_server_openapi.py \
      --ignore-glob 'tests/test_approvals_*' --ignore tests/test_mcp_gateway.py \
      --ignore tests/test_typing.py \
      --ignore tests/test_examples.py "$@"
}
module_run -p xdist.plugin -n "${PYTEST_ASAN_WORKERS:-2}" --ignore tests/test_leaks.py || status=$?
module_run tests/test_leaks.py || status=$?

echo "== the gate server's tests, against the sanitizer build of latchwork-gate"
# The page's tests in a browser are left out: the console's routes they reach are the
# API tests' too, and a browser per test is slow beside a sanitized server.
LATCHWORK_GATE=$gate LATCHWORK_GATE_SANITIZED=1 "$python" -m pytest -q -p no:cacheprovider -m "server or postgres" \
  --ignore tests/test_console_browser.py -n "${PYTEST_WORKERS:-4}" || status=$?

"$python" "$(dirname "$0")/check_sanitizer_reports.py" "$reports" || status=1
exit $status
