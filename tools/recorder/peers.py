"""Public cookie test suites (tests/data/peer_*.json) as operations on a jar.

Each case is a list of operations: ``("set", values, url, now)`` applies the
Set-Cookie values of one response; ``("get", url, now, expected header)``;
``("content", now, expected)`` (every unexpired cookie as sorted
"name=value" words); the Rust suite's ``("set", ..., accepted, store_size)``
and ``("get-unordered", url, now, expected list, with names)``.  ``mirror``
turns a case into recorder steps, so that Chromium's own answers can be
recorded (scenario ``peer/<case id>``, see ``scenarios.PEER``) and read back
by ``chromium_answers``; ``run`` gives a jar's answers and ``expected`` the
suite's, in one form (tests/jar/test_jar_peer_suites.py compares them).
"""

from __future__ import annotations

import datetime as dt
import json
from pathlib import Path
from urllib.parse import urljoin

DATA = Path(__file__).resolve().parents[2] / "tests" / "data"
UTC = dt.timezone.utc
NOW = dt.datetime(2026, 12, 9, 12, tzinfo=UTC)


def _suite(name):
    return json.loads((DATA / f"peer_{name}.json").read_text())


def _at(text):
    return dt.datetime.fromisoformat(text.replace("Z", "+00:00"))


def http_state():
    """Its Set-Cookie values answer a GET of the parser URL, then the Cookie
    header sent to the location.  The values are what an HTTP client hands
    over: trailing blanks trimmed, and a lone CR ends the header line, as
    Chromium's HTTP parser does."""
    for t in _suite("http_state")["tests"]:
        url = f"http://home.example.org:8888/cookie-parser?{t['id']}"
        target = urljoin(url, t.get("location", f"/cookie-parser-result?{t['id']}"))
        values = [v.encode("latin-1").split(b"\r")[0].rstrip(b" \t") for v in t["received"]]
        yield f"http-state/{t['id']}", [("set", values, url, NOW),
                                        ("get", target, NOW, t["expected_cookie"] or "")]


def go_cookiejar():
    for t in _suite("go_cookiejar")["tests"]:
        ops = []
        for st in t["steps"]:
            if "set" in st:
                ops.append(("set", [v.encode() for v in st["set"]], st["from"], _at(st["at"])))
            elif "content" in st:
                ops.append(("content", _at(st["at"]), st["content"]))
            else:
                ops.append(("get", st["get"], _at(st["at"]), st["expect"]))
        yield f"go/{t['id']}", ops


def rust_cookie_store():
    for t in _suite("rust_cookie_store")["tests"]:
        ops = []
        for st in t["steps"]:
            if "set" in st:
                ops.append(("set", [v.encode() for v in st["set"]], st["from"], NOW,
                            st.get("accepted"), st.get("store_size")))
            else:
                named = "expect_unordered" in st
                want = st["expect_unordered"] if named else st["expect_values_unordered"]
                ops.append(("get-unordered", st["get"], NOW, sorted(want), named))
        yield f"rust/{t['id']}", ops


def cases():
    return [*http_state(), *go_cookiejar(), *rust_cookie_store()]


def _header(jar, url, now):
    try:
        return jar.cookie_header(url, now=now)
    except ValueError:          # not an http(s) or ws(s) URL: no cookies
        return b""


def _unordered(header: bytes, named: bool):
    pairs = [c.partition(b"=") for c in header.split(b"; ") if c]
    return sorted((n + s + v if named else v).decode("latin-1") for n, s, v in pairs)


def _content(views):
    return " ".join(sorted(f"{name}={value}" for name, value in views))


def run(jar, ops):
    """The jar's answer to each operation (None for a plain set)."""
    out = []
    for op in ops:
        if op[0] == "set":
            try:
                results = jar.set_cookies(op[1], op[2], now=op[3])
            except ValueError:      # a URL no cookie comes from
                results = [None] * len(op[1])
            if len(op) == 4 or op[4] is op[5] is None:
                out.append(None)
            else:
                accepted = all(r is not None for r in results)
                out.append((accepted, len(jar.cookies(now=op[3]))))
        elif op[0] == "content":
            out.append(_content((c.name, c.value) for c in jar.cookies(now=op[1])))
        elif op[0] == "get":
            out.append(_header(jar, op[1], op[2]).decode("latin-1"))
        else:
            out.append(_unordered(_header(jar, op[1], op[2]), op[4]))
    return out


def expected(ops):
    """The suite's answer to each operation, in the form ``run`` gives."""
    out = []
    for op in ops:
        if op[0] == "set":
            out.append(None if len(op) == 4 or op[4] is op[5] is None else (op[4], op[5]))
        elif op[0] == "content":
            out.append(op[2])
        else:
            out.append(op[3])
    return out


def mirror(ops):
    """The case as recorder steps: a set is a typed navigation answered with
    its values, a get a typed navigation; each step names its operation."""
    steps = []
    for n, op in enumerate(ops):
        if op[0] == "set" and op[2].startswith("http"):
            steps.append({"do": "goto", "url": op[2], "set_cookie":
                          [v.decode("latin-1") for v in op[1]], "peer_op": n})
        elif op[0] in ("get", "get-unordered") and op[1].startswith("http"):
            steps.append({"do": "goto", "url": op[1], "set_cookie": [], "peer_op": n})
    return steps


def chromium_answers(ops, scenario):
    """Chromium's answers to the operations mirrored in a recorded scenario:
    {operation index: answer}.  A content or set operation is answered from
    the store after the step before it (or after its own step)."""
    answers, store = {}, []
    by_op = {s["peer_op"]: s for s in scenario["steps"]}
    for n, op in enumerate(ops):
        step = by_op.get(n)
        if step is not None and op[0] == "set":
            store = step["cookies"]
            if len(op) > 4 and not op[4] is op[5] is None:
                answers[n] = (None, len(store))
        elif step is not None:
            sent = (step["sent"] or "").encode("latin-1")
            answers[n] = (sent.decode("latin-1") if op[0] == "get"
                          else _unordered(sent, op[4]))
            store = step["cookies"]
        elif op[0] == "content":
            answers[n] = _content((v["name"], v["value"]) for v in store)
    return answers
