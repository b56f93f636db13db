#!/usr/bin/env bash
# Runs the pytest suite with one wheel under the main venv's interpreter and under each
# CPython version asked for that the machine has, each in a virtual environment of its own;
# the other interpreters' suites run side by side once the main one has passed or failed.
# Tests marked postgres or server (the gate server on its stores) run under the main one
# only: what they test does not depend on the interpreter, and they take a while.
#   tools/test_interpreters.sh WHEEL MAIN_PYTHON "3.10 3.11 3.12 3.13"
set -uo pipefail
wheel=$1
main_python=$2
versions=$3

# python3.X on PATH when it runs (a pyenv shim may exist without its version being
# active), else the newest pyenv build of 3.X.
find_python() {
    local version=$1 candidate
    for candidate in $(command -v "python$version") \
        $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" 2>/dev/null | sort -V -r); do
        if "$candidate" -c 'import sys' >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

version_of() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }
full_version_of() { "$1" -c 'import platform; print(platform.python_version())'; }

# The main interpreter also gets the frameworks tested under it alone (the OpenAI Agents
# SDK, the MCP SDK); the others only what the test extra holds.
install_wheel() {
    local python=$1 extras=test
    [ "$python" = "$main_python" ] && extras=test,openai-agents,mcp
    "$python" -m pip uninstall --quiet --yes latchwork >/dev/null 2>&1
    "$python" -m pip install --quiet "$wheel[$extras]"
}

main_version=$(version_of "$main_python")
declare -a summary
status=0

# One suite: its output in $3, its verdict line in $3.verdict.
run_suite() {
    local label=$1 python=$2 log=$3
    shift 3
    {
        echo "== pytest under Python $(full_version_of "$python") ($label)"
        if install_wheel "$python" && "$python" -m pytest -q -p no:cacheprovider "$@"; then
            echo "passed   Python $(full_version_of "$python") ($label)" >"$log.verdict"
        else
            echo "FAILED   Python $(full_version_of "$python") ($label)" >"$log.verdict"
        fi
    } >"$log" 2>&1
}

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
report() {
    cat "$1"
    summary+=("$(cat "$1.verdict" 2>/dev/null || echo "FAILED   $(basename "$1") (no verdict)")")
    case "${summary[-1]}" in FAILED*) status=1 ;; esac
}

# The whole suite under the main interpreter first, on every worker; then the other
# interpreters' suites (the module's tests, no server's) side by side, two workers
# each: each waits mostly on its own scripted servers.
run_suite "$(dirname "$(dirname "$main_python")")" "$main_python" "$logs/main" -n "${PYTEST_WORKERS:-4}"
report "$logs/main"
others=()
for version in $versions; do
    [ "$version" = "$main_version" ] && continue
    if ! interpreter=$(find_python "$version"); then
        echo "== Python $version: not found on this machine, skipped"
        summary+=("skipped  Python $version (not found)")
        continue
    fi
    venv=.venv-$version
    (
        if [ ! -x "$venv/bin/python" ]; then
            "$interpreter" -m venv "$venv" && "$venv/bin/python" -m pip install --quiet --upgrade pip
        fi >"$logs/$version.venv" 2>&1
        run_suite "$venv" "$venv/bin/python" "$logs/$version" -n 2 -m "not postgres and not server"
    ) &
    others+=("$version")
done
wait
for version in "${others[@]}"; do
    cat "$logs/$version.venv" 2>/dev/null
    report "$logs/$version"
done

echo "== the wheel $(basename "$wheel") under each interpreter:"
printf '   %s\n' "${summary[@]}"
exit $status
