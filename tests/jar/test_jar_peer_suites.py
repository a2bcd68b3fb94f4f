"""Public cookie test suites replayed through the jar: the http-state corpus,
Go's net/http/cookiejar tables and the Rust cookie_store crate's tests
(tests/data/peer_*.json, each naming its source and how it is replayed;
tools/recorder/peers.py turns them into operations).

Where Chromium does otherwise than a suite expects, Chromium wins: the case
is recorded in Chromium as the scenario ``peer/<case id>`` of
tests/data/browser_sequences.json, and the jar must give Chromium's answers
there.  ``CHROMIUM`` says why for each such case; a case Chromium cannot
run (a URL scheme it has no cookies for) cites the rule instead.
"""

import json
from pathlib import Path

import pytest

from conftest import JARS
from tools.recorder import peers

SCENARIOS = {s["id"]: s for s in json.loads(
    (Path(__file__).parent.parent / "data" / "browser_sequences.json").read_text())["scenarios"]}

# case id -> why Chromium answers otherwise (its answers: the recorded
# scenario peer/<case id>), or ("rule", text) where nothing can be recorded
NAMELESS = ("a value without a name (no \"=\", or an empty name) is kept as a nameless "
            "cookie and sent as the value alone")
SECURE_FROM_HTTP = "a Secure cookie from http is refused, and does not replace an existing one"
IP_DOMAIN = "a Domain equal to an IP host (a leading dot ignored) gives a host-only cookie"
CHROMIUM = {
    **{f"http-state/{i}": NAMELESS for i in (
        "0004 0021 0023 0024 0025 0026 0027 0028 chromium0009 chromium0010 chromium0012 "
        "mozilla0012 mozilla0014 mozilla0015 mozilla0016 mozilla0017 name0023 name0028 "
        "name0031 name0032 name0033").split()},
    **{f"http-state/{i}": "its Expires date (in 2019) is in the past now: a deletion"
       for i in ("0002", "comma0006", "comma0007")},
    "http-state/disabled-chromium0022": "a NUL in a Set-Cookie header makes Chromium refuse "
                                        "the whole response; the jar refuses the value",
    "http-state/disabled-path0029": "the request path is not percent-decoded: /f%6Fo/bar is "
                                    "not on the path /foo/bar",
    "http-state/optional-domain0042": "only the last Domain attribute counts; an empty one "
                                      "makes a host-only cookie",
    "go/TestBasics#2": SECURE_FROM_HTTP,
    "go/TestUpdateAndDelete": SECURE_FROM_HTTP,
    "go/TestChromiumBasics#10": IP_DOMAIN,
    "go/TestChromiumBasics#11": IP_DOMAIN,
    "rust/matches": ("rule", "Chromium keeps and sends cookies for http, https, ws and wss URLs "
                     "only (CookieMonster::GetDefaultCookieableSchemes): none for ftp",
                     {16: []}),
}
CASES = peers.cases()


def chromium_expected(case_id, ops):
    want = peers.expected(ops)
    if case_id not in CHROMIUM:
        return want
    why = CHROMIUM[case_id]
    if isinstance(why, tuple):
        return {**dict(enumerate(want)), **why[2]}.values()
    answers = peers.chromium_answers(ops, SCENARIOS[f"peer/{case_id}"])
    return [answers.get(n, w) for n, w in enumerate(want)]


def _loose(got, want):
    # a recorded store shows how many cookies were kept, not whether the
    # step was refused
    return [g[1] if isinstance(w, tuple) and w[0] is None else g for g, w in zip(got, want)], \
        [w[1] if isinstance(w, tuple) and w[0] is None else w for w in want]


@pytest.mark.parametrize("jar_class", JARS)
@pytest.mark.parametrize("case_id, ops", [pytest.param(i, ops, id=i) for i, ops in CASES])
def test_peer_suite(jar_class, case_id, ops):
    want = list(chromium_expected(case_id, ops))
    got, want = _loose(peers.run(jar_class(), ops), want)
    assert got == want


def test_chromium_rows():
    ids = dict(CASES)
    for case_id, why in CHROMIUM.items():
        if isinstance(why, tuple):
            continue
        assert f"peer/{case_id}" in SCENARIOS, case_id
        # Chromium does disagree with the suite somewhere
        assert list(chromium_expected(case_id, ids[case_id])) != peers.expected(ids[case_id])
