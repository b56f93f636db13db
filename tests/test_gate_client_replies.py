"""test_gate_client_replies.py: how GateClient reads and interprets the server's reply lines."""

from __future__ import annotations

import json
import random
import re

import pytest

import latchwork
import gate_server as gs

# The 64 MiB cap on one reply line, line feed not counted.
LINE_CAP = 64 * 1024 * 1024


@pytest.fixture(scope="module")
def echo():
    """A client whose server answers each cancel with the bytes hex-encoded in its run id."""
    with gs.GateServer(lambda line: bytes.fromhex(json.loads(line)["run_id"])) as server:
        yield latchwork.GateClient(server.address)


def kind_for(client, reply: bytes) -> str:
    return client.cancel(reply.hex()).kind


def failure_for(client, reply: bytes) -> str:
    with pytest.raises(RuntimeError) as caught:
        client.cancel(reply.hex())
    assert type(caught.value) is RuntimeError
    return str(caught.value)


@pytest.mark.parametrize(
    "reply, kind",
    [
        (b'{"verdict":"release"}\n', "release"),
        (b'{"verdict":"release"}\r\n', "release"),
        (b'   {"verdict":"release"}\n', "release"),
        (b'\t{ "verdict" : "held_for_approval" }  \n', "held_for_approval"),
        ('\u00a0\u3000{"verdict":"a"}\u2029\u0085\n'.encode(), "a"),
        (b'{"verdict":"refused_duplicate","verdict":"release"}\n', "release"),
        (b'{"verdict":1,"verdict":"release"}\n', "release"),
        (b'{"verdict":"error","verdict":"release"}\n', "release"),
        (b'{"verdict":"Error"}\n', "Error"),
        (b'{"verdict":"ERROR","message":"x"}\n', "ERROR"),
        (b'{"verdict":"error "}\n', "error "),
        (b'{"verdict":""}\n', ""),
        (b'{"verdict":"pong"}\n', "pong"),
        (b'{"message":"m","x":[{"verdict":"no"}],"verdict":"yes","y":null}\n', "yes"),
        (b'{"verdict":"a\\u00e9\\n\\"\\\\\\/\\ud83d\\ude00\\u0000"}\n', 'a\u00e9\n"\\/\U0001f600\x00'),
        ('{"verdict":"é€😀"}\n'.encode(), "é€😀"),
        (b'{"verdict":"deep","n":' + b"[" * 126 + b"]" * 126 + b"}\n", "deep"),
    ],
    ids=["plain", "crlf", "leading-spaces", "json-white-space", "unicode-white-space", "last-duplicate-wins",
         "later-string-wins", "error-then-kind", "Error", "ERROR", "error-space", "empty", "pong", "nested-ignored",
         "escapes", "raw-non-ascii", "127-deep"],
)
def test_kind_of_reply(echo, reply, kind):
    assert kind_for(echo, reply) == kind


@pytest.mark.parametrize(
    "reply, message",
    [
        (b'{"verdict":"error"}\n', "gate error: ?"),
        (b'{"verdict":"error","message":5}\n', "gate error: ?"),
        (b'{"verdict":"error","message":null}\n', "gate error: ?"),
        (b'{"verdict":"error","message":"run unknown"}\n', "gate error: run unknown"),
        (b'{"message":"a","verdict":"error","message":"b"}\n', "gate error: b"),
        (b'{"verdict":"error","message":""}\n', "gate error: "),
        (b'{"verdict":"error","message":"x\\n\\"q\\" \\u00e9"}\n', 'gate error: x\n"q" \u00e9'),
        (b"[]\n", 'gate reply missing verdict: "[]\\n"'),
        (b'"release"\n', 'gate reply missing verdict: "\\"release\\"\\n"'),
        (b"{}\n", 'gate reply missing verdict: "{}\\n"'),
        (b'{"verdict":1}\n', 'gate reply missing verdict: "{\\"verdict\\":1}\\n"'),
        (b'{"verdict":"release","verdict":null}\n', 'gate reply missing verdict: "{\\"verdict\\":\\"release\\",\\"verdict\\":null}\\n"'),
        (b'{"x":{"verdict":"release"}}\n', 'gate reply missing verdict: "{\\"x\\":{\\"verdict\\":\\"release\\"}}\\n"'),
        (b"\n", 'bad gate reply "\\n": EOF while parsing a value at line 1 column 0'),
        (b" \r\n", 'bad gate reply " \\r\\n": EOF while parsing a value at line 1 column 0'),
        (b"[" * 127 + b"]" * 127 + b"\n", 'gate reply missing verdict: "' + "[" * 127 + "]" * 127 + '\\n"'),
        (b'{"verdict":"\xff"}\n', "gate read failed: stream did not contain valid UTF-8"),
        (b'{"verdict":"\xed\xa0\x80"}\n', "gate read failed: stream did not contain valid UTF-8"),
        (b'{"verdict":"\xc0\xaf"}\n', "gate read failed: stream did not contain valid UTF-8"),
    ],
)
def test_failure_of_reply(echo, reply, message):
    assert failure_for(echo, reply) == message
    assert kind_for(echo, b'{"verdict":"in step"}\n') == "in step"


@pytest.mark.parametrize(
    "line, quoted",
    [
        ("[1]\t\r\n", r'"[1]\t\r\n"'),
        ('"\\\\"\n', r'"\"\\\\\"\n"'),
        ('"it\'s"\n', r'''"\"it's\"\n"'''),
        ('"é€😀"\n', '"\\"é€😀\\"\\n"'),
        ('"e\u0301"\n', r'"\"e\u{301}\"\n"'),
        ('"\u00a0 \u2028"\n', r'"\"\u{a0} \u{2028}\"\n"'),
        ('"\u200b\ufeff"\n', r'"\"\u{200b}\u{feff}\"\n"'),
    ],
    ids=["tab-cr", "backslashes", "apostrophe", "printable-non-ascii", "combining-mark", "space-separators", "format"],
)
def test_quoted_line_of_missing_verdict(echo, line, quoted):
    assert failure_for(echo, line.encode()) == "gate reply missing verdict: " + quoted


@pytest.mark.parametrize(
    "reply, quoted, parser_message",
    [
        (b"\x00\n", r'"\0\n"', "expected value at line 1 column 1"),
        (b'"\x01"\n', r'"\"\u{1}\"\n"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"),
        (b'"a\x00"\n', r'"\"a\0\"\n"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
        (b"\x7f\n", r'"\u{7f}\n"', "expected value at line 1 column 1"),
        (b' {"verdict":"release"} x \r\n', r'" {\"verdict\":\"release\"} x \r\n"', "trailing characters at line 1 column 23"),
    ],
)
def test_bad_reply_quotes_the_untrimmed_line(echo, reply, quoted, parser_message):
    assert failure_for(echo, reply) == f"bad gate reply {quoted}: {parser_message}"


# Trimmed reply text -> parser message (the column counts bytes of the trimmed text).
PARSER_CASES = [
    ("[1,2", "EOF while parsing a list at line 1 column 4"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ('"\\u12', "EOF while parsing a string at line 1 column 5"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ("tru", "EOF while parsing a value at line 1 column 3"),
    ("-", "EOF while parsing a value at line 1 column 1"),
    ("1e", "EOF while parsing a value at line 1 column 2"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{"a"}', "expected `:` at line 1 column 5"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ("[1}", "expected `,` or `]` at line 1 column 3"),
    ('["é€" x]', "expected `,` or `]` at line 1 column 10"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ('{"a":1]', "expected `,` or `}` at line 1 column 7"),
    ("trux", "expected ident at line 1 column 4"),
    ("[nulL]", "expected ident at line 1 column 5"),
    ("nan", "expected ident at line 1 column 2"),
    ("x", "expected value at line 1 column 1"),
    ("[,1]", "expected value at line 1 column 2"),
    ('{"a":}', "expected value at line 1 column 6"),
    ("'a'", "expected value at line 1 column 1"),
    ("//", "expected value at line 1 column 1"),
    ('"\\x"', "invalid escape at line 1 column 3"),
    ('"\\u12G4"', "invalid escape at line 1 column 7"),
    ("-x", "invalid number at line 1 column 2"),
    ("01", "invalid number at line 1 column 2"),
    ("-01", "invalid number at line 1 column 3"),
    ("[1.]", "invalid number at line 1 column 4"),
    ("[1e]", "invalid number at line 1 column 4"),
    ("1e400", "number out of range at line 1 column 5"),
    ("[-1e400]", "number out of range at line 1 column 7"),
    ('"a\x1f"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ('{"a":1,2:3}', "key must be a string at line 1 column 8"),
    ('"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7"),
    ('"\\ud800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"\\ud800x"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\ud800\\n"', "unexpected end of hex escape at line 1 column 9"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ('{"verdict":"release",}', "trailing comma at line 1 column 22"),
    ('{"verdict":"release"} x', "trailing characters at line 1 column 23"),
    ("[] []", "trailing characters at line 1 column 4"),
    ("[" * 128 + "]" * 128, "recursion limit exceeded at line 1 column 128"),
    ('{"a":' * 128 + "1" + "}" * 128, "recursion limit exceeded at line 1 column 636"),
    ('[{"a":' * 64 + "1" + "}]" * 64, "recursion limit exceeded at line 1 column 380"),
]


def quoted(line: str) -> str:
    escaped = line.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\x1f", "\\u{1f}")
    return f'"{escaped}"'


@pytest.mark.parametrize("text, parser_message", PARSER_CASES, ids=[case[1].split(" at ")[0] + ":" + case[0][:20] for case in PARSER_CASES])
def test_parser_messages(echo, text, parser_message):
    line = text + "\n"
    assert failure_for(echo, line.encode()) == f"bad gate reply {quoted(line)}: {parser_message}"


def random_json_string(rng: random.Random) -> str:
    pieces = []
    for _ in range(rng.randrange(8)):
        char = rng.choice(['"', "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x00", "\x1f", "a", "Z", " ", "é", "\u2028",
                           "\u0301", "\ufeff", "\U0001f600", "'", "\x7f", "€", rng.choice("verdicterror")])
        form = rng.randrange(3)
        if char in '"\\' or ord(char) < 0x20 or form == 0:
            text = json.dumps(char, ensure_ascii=rng.random() < 0.5)[1:-1]
            pieces.append(re.sub(r"(?<=\\u)[0-9a-f]{4}", lambda digits: digits[0].upper(), text) if rng.random() < 0.5 else text)
        elif form == 1 and char == "/":
            pieces.append("\\/")
        else:
            pieces.append(char)
    return '"' + "".join(pieces) + '"'


def random_json_value(rng: random.Random, depth: int) -> str:
    ws = lambda: rng.choice(["", "", " ", "\t", "\r", "  "])
    roll = rng.randrange(10 if depth < 4 else 6)
    if roll == 0:
        return rng.choice(["true", "false", "null"])
    if roll in (1, 2):
        return rng.choice(["0", "-0", "7", "-12", "3.25", "-0.5e-3", "1E+2", "6.02e23", "1.7976931348623157e308",
                           "123456789012345678901234567890", "5e-324", "0.000001"])
    if roll in (3, 4, 5):
        return random_json_string(rng)
    if roll in (6, 7):
        items = [random_json_value(rng, depth + 1) for _ in range(rng.randrange(4))]
        return "[" + ws() + ("," + ws()).join(items) + ws() + "]"
    return random_json_object(rng, depth + 1, with_verdict=rng.random() < 0.3)


def random_json_object(rng: random.Random, depth: int, with_verdict: bool) -> str:
    ws = lambda: rng.choice(["", "", " ", "\t", "\r"])
    members = [(rng.choice(['"verdict"', '"message"', '"ver\\u0064ict"', '"op"', random_json_string(rng)]),
                random_json_value(rng, depth)) for _ in range(rng.randrange(5))]
    if with_verdict:
        verdict = rng.choice([random_json_string(rng)] * 8 + ['"error"', '"\\u0065rror"'])
        members.insert(rng.randrange(len(members) + 1), (rng.choice(['"verdict"', '"\\u0076erdict"']), verdict))
    body = ("," + ws()).join(ws() + name + ws() + ":" + ws() + value + ws() for name, value in members)
    return "{" + body + "}"


def test_reply_interpretation_matches_json_loads(echo):
    rng = random.Random(8796)
    for _ in range(400):
        text = random_json_object(rng, 1, with_verdict=True)
        line = rng.choice(["", " ", "\t"]) + text + rng.choice(["", " ", "\r"]) + "\n"
        document = json.loads(line)
        verdict, message = document.get("verdict"), document.get("message")
        if not isinstance(verdict, str):
            assert failure_for(echo, line.encode()).startswith("gate reply missing verdict: "), line
        elif verdict == "error":
            assert failure_for(echo, line.encode()) == "gate error: " + (message if isinstance(message, str) else "?"), line
        else:
            assert kind_for(echo, line.encode()) == verdict, line


def test_verdicts_of_any_kind_are_plain_values(echo):
    for kind, released, held, refused in [
        ("release", True, False, False), ("held_for_approval", False, True, False), ("refused_x", False, False, True),
        ("Release", False, False, False), ("release ", False, False, False), ("refused", False, False, False),
        ("pong", False, False, False), ("", False, False, False), ("it's", False, False, False),
        ("é\n\x00", False, False, False),
    ]:
        verdict = echo.cancel((json.dumps({"verdict": kind}) + "\n").encode().hex())
        assert (verdict.kind, verdict.released, verdict.held, verdict.refused) == (kind, released, held, refused)
        assert (str(verdict), repr(verdict)) == (kind, "Verdict('" + kind + "')")
        assert verdict == kind
    assert repr(echo.cancel(b'{"verdict":""}\n'.hex())) == "Verdict('')"


def test_a_100000_byte_line_is_read_whole(echo):
    kind = ("0123456789abcdef" * 6250)[: 100000 - 15]
    line = ('{"verdict":"' + kind + '"}\n').encode()
    assert len(line) == 100000
    assert kind_for(echo, line) == kind
    padded = b" " * (100000 - 23) + b'{"verdict":"release"}\r\n'
    assert kind_for(echo, padded) == "release"


def test_stream_framing(gate_server):
    server = gate_server([b'{"verdict":"a"}\n{"verdict":"b"}\r\n{"verdict":', b'"c"}\n', gs.HANG])
    client = latchwork.GateClient(server.address)
    # Extra lines in one send answer the following requests; a line split over two
    # sends is read whole.
    assert [client.ping().kind for _ in range(3)] == ["a", "b", "c"]
    assert server.wait_for_requests(3) == [b'{"op":"ping"}\n'] * 3


@pytest.mark.parametrize(
    "entry, outcome",
    [
        (gs.CLOSE, "gate closed the connection"),
        (gs.close(b'{"verdict":"release"}'), "release"),
        (gs.close(b'{"verdict":"rel'), 'bad gate reply "{\\"verdict\\":\\"rel": EOF while parsing a string at line 1 column 15'),
        (gs.close(b'{"verdict":"\xff"}'), "gate read failed: stream did not contain valid UTF-8"),
    ],
    ids=["close-without-answer", "cut-off-line-parses", "cut-off-line-malformed", "cut-off-invalid-utf8"],
)
def test_end_of_stream(gate_server, entry, outcome):
    client = latchwork.GateClient(gate_server([entry]).address)
    try:
        assert client.ping().kind == outcome
    except RuntimeError as error:
        assert str(error) == outcome


def test_reply_line_cap(gate_server):
    exactly_cap = b" " * (LINE_CAP - 21) + b'{"verdict":"release"}\n'
    over_cap = b" " * LINE_CAP + b'{"verdict":"rest"}\n'
    client = latchwork.GateClient(gate_server([exactly_cap, over_cap, gs.HANG]).address)
    assert client.ping().kind == "release"
    with pytest.raises(RuntimeError, match=r"^gate read failed: reply line exceeds 67108864 bytes$"):
        client.ping()
    # What lay beyond the cap is the next reply.
    assert client.ping().kind == "rest"
