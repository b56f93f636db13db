#!/usr/bin/env bash
# Runs the pytest suite in an interpreter with the sanitizer runtime preloaded,
# then judges the reports: any error, or any leak the module made, fails the run.
set -euo pipefail
python=$1
reports=$2
rm -rf "$reports" && mkdir -p "$reports"
# Absolute: the servers the tests start run in directories of their own, and a
# relative log path would put their reports (and a build/ folder) there.
reports=$(cd "$reports" && pwd)
# The interpreter is not linked against libstdc++, so the runtime's exception
# interceptors need it preloaded too.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
# Full stacks on every allocation, so a leak can be traced to the module or not;
# every Python object allocated through malloc, so the sanitizer sees each one.
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=40:log_path=$reports/asan"
export LSAN_OPTIONS="exitcode=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export PYTHONMALLOC=malloc
status=0
# Two workers, not the ordinary run's four: under the sanitizer every import is slow
# (each allocation records its stack), and each worker imports and collects the suite.
"$python" -m pytest -q -p no:cacheprovider -n "${PYTEST_ASAN_WORKERS:-2}" || status=$?
unset LD_PRELOAD
"$python" "$(dirname "$0")/check_sanitizer_reports.py" "$reports" || status=1
exit $status
