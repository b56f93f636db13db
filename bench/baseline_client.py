"""baseline_client.py: the gate client a user would write in plain Python, to compare against.

One TCP connection, one compact JSON object per line out, one line back; the same
requests and verdicts as latchwork.GateClient. A lock makes it safe to share between
threads, as GateClient is.
"""

import hashlib
import hmac
import json
import socket
import threading

from baseline_gate import Verdict


class GateClient:
    def __init__(self, addr="127.0.0.1:8796", secret=None):
        host, _, port = addr.rpartition(":")
        self._sock = socket.create_connection((host.strip("[]"), int(port)))
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._reader = self._sock.makefile("rb")
        self._secret = None if secret is None else bytes(secret)
        self._lock = threading.Lock()

    def close(self):
        self._reader.close()
        self._sock.close()

    def _exchange(self, request):
        line = json.dumps(request, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
        data = line.encode() + b"\n"
        with self._lock:
            self._sock.sendall(data)
            reply = self._reader.readline()
        if not reply:
            raise RuntimeError("gate closed the connection")
        answer = json.loads(reply)
        verdict = answer["verdict"]
        if verdict == "error":
            raise RuntimeError(f"gate error: {answer.get('message', '?')}")
        return Verdict(verdict)

    def ping(self):
        return self._exchange({"op": "ping"})

    def cancel(self, run_id):
        return self._exchange({"op": "cancel", "run_id": run_id})

    def submit(self, run_id, effect_key, needs_approval=False):
        return self._exchange({"op": "submit", "run_id": run_id, "effect_key": effect_key,
                               "needs_approval": needs_approval})

    def decide(self, run_id, effect_key, approved):
        request = {"op": "decide", "run_id": run_id, "effect_key": effect_key,
                   "approved": approved}
        if self._secret is not None:
            message = f"{run_id}\n{effect_key}\n{'1' if approved else '0'}".encode()
            request["mac"] = hmac.new(self._secret, message, hashlib.sha256).hexdigest()
        return self._exchange(request)
