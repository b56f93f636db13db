"""console_http.py: a plain HTTP client for the console of a running latchwork-gate."""

from __future__ import annotations

import http.client
import json
import os
import pathlib
import urllib.parse


def quote(text: str) -> str:
    """A run id or effect key as one path segment: every reserved character escaped."""
    return urllib.parse.quote(text, safe="")


def write_approvers(directory: pathlib.Path, text: str, mode: int = 0o600) -> pathlib.Path:
    path = directory / "approvers"
    path.write_text(text)
    os.chmod(path, mode)
    return path


class Reply:
    def __init__(self, response: http.client.HTTPResponse):
        self.status = response.status
        self.headers = {name.lower(): value for name, value in response.getheaders()}
        self.body = response.read()

    def json(self):
        assert self.headers["content-type"].startswith("application/json"), self.headers
        return json.loads(self.body)


class Console:
    """Calls the console at 127.0.0.1:port, each on a fresh connection."""

    def __init__(self, port: int, token: str | None = None):
        self.port = port
        self.token = token

    def connection(self, timeout: float = 30) -> http.client.HTTPConnection:
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def headers(self, extra=None, token: str | None = None) -> dict:
        headers = {}
        token = self.token if token is None else token
        if token:
            headers["Authorization"] = f"Bearer {token}"
        headers.update(extra or {})
        return headers

    def call(self, method: str, path: str, body=None, *, token: str | None = None,
             headers=None, raw: bytes | None = None) -> Reply:
        extra = dict(headers or {})
        data = raw
        if body is not None:
            data = json.dumps(body).encode()
            extra.setdefault("Content-Type", "application/json")
        connection = self.connection()
        try:
            connection.request(method, path, body=data, headers=self.headers(extra, token))
            return Reply(connection.getresponse())
        finally:
            connection.close()

    def get(self, path: str, **keywords):
        reply = self.call("GET", path, **keywords)
        assert reply.status == 200, (reply.status, reply.body)
        return reply.json()

    def decide_call(self, run_id: str, effect_key: str, approved: bool, reason: str = "",
                    token: str | None = None) -> Reply:
        return self.call("POST", "/api/decide", {"run_id": run_id, "effect_key": effect_key,
                                                 "approved": approved, "reason": reason},
                         token=token)

    def decide(self, run_id: str, effect_key: str, approved: bool, reason: str = "") -> str:
        reply = self.decide_call(run_id, effect_key, approved, reason)
        assert reply.status == 200, (reply.status, reply.body)
        return reply.json()["verdict"]


class EventStream:
    """GET /api/events held open; events() reads them one by one."""

    def __init__(self, console: Console, timeout: float = 10, last_event_id: str | None = None):
        self.connection = console.connection(timeout)
        extra = {"Last-Event-ID": last_event_id} if last_event_id is not None else None
        self.connection.request("GET", "/api/events", headers=console.headers(extra))
        self.response = self.connection.getresponse()
        assert self.response.status == 200, self.response.status
        assert self.response.getheader("Content-Type") == "text/event-stream"
        self.last_id: str | None = None  # the id of the event read last, if it had one

    def next_event(self) -> tuple[str, dict]:
        name, data, self.last_id = None, "", None
        while True:
            line = self.response.fp.readline()
            if not line:
                raise EOFError("the event stream ended")
            line = line.decode().rstrip("\n")
            if line == "":
                if name is not None:
                    return name, json.loads(data)
                continue
            if line.startswith(":"):
                continue
            field, _, value = line.partition(": ")
            if field == "event":
                name = value
            elif field == "id":
                self.last_id = value
            elif field == "data":
                data += value

    def close(self) -> None:
        self.connection.close()
