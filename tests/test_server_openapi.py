"""test_server_openapi.py: the console's OpenAPI document (src/server/console/openapi.json):
valid, served as it is, naming every route, and held to by a live server under requests
schemathesis generates for each operation, with the token and without."""

from __future__ import annotations

import json
import pathlib
import re

import pytest

from console_http import Console, write_approvers
from gate_process import GateProcess
from support import UNDER_SANITIZER

# Schemathesis and Hypothesis are not ours to run under a preloaded sanitizer; the
# server's own paths are the other tests' to walk there.
if UNDER_SANITIZER:
    pytest.skip("schemathesis is not run under the sanitizer", allow_module_level=True)

# schemathesis needs Python 3.11 or later; the server's tests run under one interpreter.
schemathesis = pytest.importorskip("schemathesis")

from hypothesis import HealthCheck, Phase, given, settings  # noqa: E402  (after the skip)
from schemathesis import GenerationMode  # noqa: E402
from schemathesis.checks import not_a_server_error  # noqa: E402
from schemathesis.specs.openapi.checks import (  # noqa: E402
    content_type_conformance,
    response_schema_conformance,
    status_code_conformance,
)

ROOT = pathlib.Path(__file__).resolve().parent.parent
CONSOLE = ROOT / "src" / "server" / "console"
DOCUMENT = CONSOLE / "openapi.json"
TOKEN = "token-of-alice"
CHECKS = [not_a_server_error, status_code_conformance, content_type_conformance,
          response_schema_conformance]
# Generated requests per operation and per mode (valid, then invalid, data); each is sent
# twice, with the token and without.
EXAMPLES = 25

# Routes the document names that this server may not answer yet.
NOT_YET_EVERYWHERE = {"/api/me"}

DETAIL = {"to": "finance@example.com", "amount": {"value": 249, "currency": "EUR"}}


def document() -> dict:
    return json.loads(DOCUMENT.read_text())


def operations() -> list[tuple[str, str]]:
    return [(method.upper(), path) for path, item in document()["paths"].items()
            for method in item if method in ("get", "post", "put", "delete", "patch")]


@pytest.fixture(scope="module")
def console(tmp_path_factory):
    approvers = write_approvers(tmp_path_factory.mktemp("openapi"), f"alice:{TOKEN}\n")
    process = GateProcess("--console", "127.0.0.1:0", "--approvers", str(approvers)).start()
    # Something to find: held effects (the document's examples name deploy-42), a decided one.
    with process.connect() as worker:
        for run_id, key, extra in (("deploy-42", "send invoice #7", {"detail": DETAIL}),
                                   ("deploy-42", "refund 3", {}), ("deploy-43", "send invoice #8", {}),
                                   ("deploy-44", "wipe disk", {})):
            reply = worker.request({"op": "submit", "run_id": run_id, "effect_key": key,
                                    "needs_approval": True, **extra})
            assert reply["verdict"] == "held_for_approval", reply
        assert worker.request({"op": "decide", "run_id": "deploy-44", "effect_key": "wipe disk",
                               "approved": False})["verdict"] == "refused_rejected"
    yield Console(process.console_port, TOKEN)
    code = process.stop()
    assert code == 0, process.stderr()


@pytest.fixture(scope="module")
def schema(console):
    loaded = schemathesis.openapi.from_dict(document())
    loaded.config.update(base_url=f"http://127.0.0.1:{console.port}")
    return loaded


def test_document_is_openapi_3_1():
    loaded = schemathesis.openapi.from_dict(document())
    loaded.validate()  # against the OpenAPI 3.1 schema; raises on any fault
    assert document()["openapi"].startswith("3.1.")
    assert all(result.ok() for result in loaded.get_all_operations())


def test_document_is_served_as_kept_and_needs_no_token(console):
    reply = console.call("GET", "/api/openapi.json", token="")
    assert reply.status == 200
    assert reply.headers["content-type"] == "application/json"
    assert reply.body == DOCUMENT.read_bytes()
    assert console.call("POST", "/api/openapi.json", token="").status == 405


def routes_in_source() -> set[str]:
    """The paths the router compares with, read from its source."""
    text = (CONSOLE / "console_routes.cpp").read_text() + (CONSOLE / "console_assets.cpp").read_text()
    found = set(re.findall(r'path == "(/[^"]*)"', text)) - {"/api"}  # "/api" opens the prefix
    assert 'kRuns = "/api/runs/"' in text
    found.add("/api/runs/{run_id}")
    found |= {f"/api/runs/{{run_id}}/{action}" for action in re.findall(r'action == "(\w+)"', text)}
    assert 'kGrants = "/api/grants/"' in text and 'ends_with("/revoke")' in text
    found.add("/api/grants/{id}/revoke")
    return found


def test_every_route_is_documented():
    documented = set(document()["paths"])
    routes = routes_in_source()
    assert len(routes) >= 14, routes
    assert routes - documented == set()
    assert documented - routes <= NOT_YET_EVERYWHERE


def check_replies(case, console_port: int) -> None:
    base_url = f"http://127.0.0.1:{console_port}"
    headers = {name: value for name, value in (case.headers or {}).items()
               if name.lower() != "authorization"}
    for token in (TOKEN, None):
        case.headers = dict(headers, **({"Authorization": f"Bearer {token}"} if token else {}))
        response = case.call(base_url=base_url, timeout=10)
        case.validate_response(response, checks=CHECKS)


@pytest.mark.parametrize("method,path", [
    # Reads first, then decisions, then cancel and close, so each finds the held effects.
    pytest.param(method, path, id=f"{method} {path}")
    for method, path in sorted(operations(), key=lambda op: (op[0], op[1].endswith(("/cancel", "/close"))))
    # The stream never ends: its short read is below.
    if path != "/api/events"])
def test_operation_keeps_to_the_document(console, schema, method, path):
    if path in NOT_YET_EVERYWHERE and console.call("GET", path).status == 404:
        pytest.skip(f"this server has no {path} yet")
    operation = schema[path][method]
    modes = [GenerationMode.POSITIVE]
    definition = operation.definition.raw
    if definition.get("parameters") or definition.get("requestBody") or \
            schema.raw_schema["paths"][path].get("parameters"):
        modes.append(GenerationMode.NEGATIVE)
    for mode in modes:
        @given(case=operation.as_strategy(generation_mode=mode))
        @settings(max_examples=EXAMPLES, deadline=None, database=None,
                  phases=[Phase.explicit, Phase.generate, Phase.shrink],
                  suppress_health_check=list(HealthCheck))
        def run(case):
            check_replies(case, console.port)

        run()


def test_event_stream_keeps_to_the_document(console, schema):
    operation = schema["/api/events"]["GET"]
    for token, status in ((TOKEN, 200), ("", 401), ("not-a-token", 401)):
        connection = console.connection(timeout=10)
        headers = {"Authorization": f"Bearer {token}"} if token else {}
        connection.request("GET", "/api/events", headers=headers)
        response = connection.getresponse()
        assert str(response.status) in operation.definition.raw["responses"]
        assert response.status == status
        media = response.getheader("Content-Type").split(";")[0]
        documented = operation.definition.raw["responses"][str(status)]
        if "$ref" in documented:
            documented = schema.raw_schema["components"]["responses"][documented["$ref"].rsplit("/", 1)[1]]
        assert media in documented["content"]
        if status == 200:
            assert response.fp.readline() == b": stream open\n"  # the short read
        else:
            assert set(json.loads(response.read())) == {"error"}
        connection.close()


def test_schemathesis_sees_every_operation(schema):
    seen = {(result.ok().method.upper(), result.ok().path) for result in schema.get_all_operations()}
    assert seen == set(operations())
