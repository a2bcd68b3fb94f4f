"""The fuzz targets inside the normal test run: every input kept in
fuzz/corpus/ is replayed, and hypothesis feeds the same targets for a short,
bounded while.  The long coverage-guided sessions are scripts/fuzz.sh."""

import os
import pathlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from gco_testkit import fuzz_targets as targets

FUZZ_DIR = pathlib.Path(__file__).resolve().parent.parent / "fuzz"

CORPUS = sorted((FUZZ_DIR / "corpus").iterdir())

# A short pass by default (fewer examples under the sanitizers, which slow
# everything down); COOKIES_FUZZ_EXAMPLES asks for more.
EXAMPLES = int(os.environ.get("COOKIES_FUZZ_EXAMPLES",
                              "40" if os.environ.get("COOKIES_SANITIZED") else "150"))
bounded = settings(max_examples=EXAMPLES, deadline=None,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def test_corpus_is_there():
    assert any(path.name.startswith("seed-parse-") for path in CORPUS)


@pytest.mark.parametrize("path", CORPUS, ids=lambda path: path.name)
def test_corpus_input(path):
    targets.one_input(path.read_bytes())


@bounded
@given(st.binary(max_size=400))
def test_arbitrary_bytes(data):
    targets.one_input(data)


@bounded
@given(st.integers(0, len(targets.TARGETS) - 1), st.binary(max_size=400))
def test_each_target(index, data):
    targets.one_input(bytes([index, 1]) + data)


# Header-shaped bytes reach the attribute branches far more often than
# random bytes do.
_attribute_values = st.one_of(
    st.binary(max_size=24),
    st.sampled_from([
        b"", b"Wed, 02 Jan 2030 03:04:05 GMT", b"Wed, 02-Jan-2030 03:04:05 GMT",
        b"02 Jan 2030 03:04:05 +0200", b"Sat, 29 Feb 2020 23:59:60 GMT", b"garbage", b"-1",
        b"9223372036854775807", b"9223372036854775808", b"-9223372036854775809", b" 7 ",
        b"1_000", b"Lax", b"STRICT", b"none", b"%41%2", b'"a b"', b"/", b"\xff",
    ]),
)
_keys = st.sampled_from([b"Expires", b"expires", b"Max-Age", b"MAX-AGE", b"Domain", b"path",
                         b"SameSite", b"samesite", b"Secure", b" Path", b"x"])
_fragments = st.one_of(
    st.builds(lambda key, value: key + b"=" + value, _keys, _attribute_values),
    st.sampled_from([b"Secure", b"HttpOnly", b"SECURE", b"httponly", b"", b" Secure", b"Secure "]),
)
_first_fragments = st.one_of(
    st.builds(lambda name, value: name + b"=" + value,
              st.one_of(st.binary(max_size=12), _keys), _attribute_values),
    st.binary(max_size=24),
)
_headers = st.builds(lambda first, rest, separator: separator.join([first, *rest]),
                     _first_fragments, st.lists(_fragments, max_size=6),
                     st.sampled_from([b"; ", b";"]))


@bounded
@given(_headers, st.booleans(), st.booleans(), st.binary(max_size=64))
def test_header_shaped_bytes(raw, general, via_capi, choices):
    targets.check_parse(raw, general=general, via_capi=via_capi, r=targets.Reader(choices))
