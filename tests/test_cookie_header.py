"""glimmering_copper_otter.cookie_header: the Cookie request header read into
names and values and written from them, checked against the reference model
in gco_testkit."""

import gc
import inspect

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import traceback_names
from gco_testkit import cookie_header_model as model
from glimmering_copper_otter import cookie_header, cookies
from glimmering_copper_otter.cookie_header import (
    parse_cookie_header,
    parse_cookie_header_pairs,
    write_cookie_header,
)
from glimmering_copper_otter.cookies import Cookie
from glimmering_copper_otter.writer import write_cookie_for_response
from leakcheck import assert_no_leak

TYPICAL = (
    b'_ga=GA1.2.1234567890.1712345678; _gid=GA1.2.987654321.1712345678; '
    b'sessionid=8f3a9c2e7b1d4f6a0e5c3b2a1d9f8e7c; csrftoken=Xk9mP2qR7sT4vW1yZ3aB6cD8eF0gH5jK; '
    b'theme=dark; lang=fr-CA; tz=Europe%2FParis; cart=%7B%22items%22%3A3%7D; '
    b'consent="analytics=1, ads=0"; _fbp=fb.1.1712345678901.1234567890; '
    b'recent=a%2Cb%2Cc; prefs=compact%3Dtrue'
)


class StrSub(str):
    def __str__(self):
        raise AssertionError("a method of the subclass was called")

    encode = __str__


class BytesSub(bytes):
    def __bytes__(self):
        raise AssertionError("a method of the subclass was called")


# --- reading ------------------------------------------------------------------

# (header, pairs in order)
READ_CASES = {
    "plain": (b"a=1; b=2", [("a", "1"), ("b", "2")]),
    "blanks-around": (b" \t a \t= \t1 \t;b=2 ", [("a", "1"), ("b", "2")]),
    "empty-pieces": (b";; a=1 ;;; ;", [("a", "1")]),
    "empty-header": (b"", []),
    "nameless": (b"token; a=1", [("", "token"), ("a", "1")]),
    "empty-pair-skipped": (b"=; = ;a=", [("a", "")]),
    "empty-value": (b"a=; b", [("a", ""), ("", "b")]),
    "value-keeps-later-equals": (b"a=b=c==", [("a", "b=c==")]),
    "quoted": (b'a="x y"', [("a", "x y")]),
    "quoted-semicolon-splits": (b'a="x;y"', [("a", '"x'), ("", 'y"')]),
    "quote-escapes": (rb'a="\"\\\q"', [("a", '"\\q')]),
    "octal-escape": (rb'a="\101\060"', [("a", "A0")]),
    "octal-first-digit-4-is-not": (rb'a="\400"', [("a", "400")]),
    "octal-too-short": (rb'a="\12"', [("a", "12")]),
    "trailing-backslash-stays": (b'a="x\\"', [("a", "x\\")]),
    "lone-quote": (b'a="', [("a", '"')]),
    "two-quotes": (b'a=""', [("a", "")]),
    "nameless-quotes": (b'""', [("", "")]),
    "one-quote-each-side-only": (b'a=""x""', [("a", '"x"')]),
    "name-not-unquoted": (b'"a"=1', [('"a"', "1")]),
    "percent-decoded": (b"a%20b=c%3Bd", [("a b", "c;d")]),
    "literal-percent-41-reads-decoded": (b"a=%41", [("a", "A")]),
    "plus-kept": (b"a=x+y", [("a", "x+y")]),
    "bad-escapes-kept": (b"a=%zz%4%", [("a", "%zz%4%")]),
    "escape-of-utf8": (b"a=%C3%A9", [("a", "\u00e9")]),
    "escape-of-invalid-utf8-is-replaced": (b"a=%E9", [("a", "\ufffd")]),
    "raw-invalid-byte-is-latin1": (b"a=\xe9", [("a", "\u00e9")]),
    "raw-utf8": (b"\xc3\xa9=\xe2\x9c\x93", [("\u00e9", "\u2713")]),
    "octal-code-point-escape": (rb'a="\351"', [("a", "\u00e9")]),
    "octal-utf8-byte-escapes": (rb'a="\303\251"', [("a", "\u00e9")]),
    "escape-runs-apart-decode-apart": (b"a=%C3\xe9%A9", [("a", "\ufffd\u00e9\ufffd")]),
    "truncated-sequence": (b"a=\xf0\x9f\x98x", [("a", "\u00f0\u009f\u0098x")]),
    "surrogate-bytes-are-latin1": (b"a=\xed\xa0\x80", [("a", "\u00ed\u00a0\u0080")]),
    "control-and-nul": (b"a=\x00\x01\x7f", [("a", "\x00\x01\x7f")]),
    "duplicates-in-order": (b"a=1; a=2", [("a", "1"), ("a", "2")]),
}


@pytest.mark.parametrize("case", READ_CASES)
def test_read(case):
    raw, pairs = READ_CASES[case]
    first = {}
    for name, value in pairs:
        first.setdefault(name, value)
    for given_raw in (raw, raw.decode("latin-1")):
        assert parse_cookie_header_pairs(given_raw) == pairs
        assert parse_cookie_header(given_raw) == first
        assert model.parse_cookie_header_pairs(given_raw) == pairs
        # Without percent-decoding: what the model says, percent_decode as any truth value.
        kept = model.parse_cookie_header_pairs(given_raw, percent_decode=False)
        assert parse_cookie_header_pairs(given_raw, percent_decode=0) == kept
        assert parse_cookie_header(given_raw, percent_decode=[]) == dict(reversed(kept))


def test_typical_header():
    result = parse_cookie_header(TYPICAL)
    assert list(result) == ["_ga", "_gid", "sessionid", "csrftoken", "theme", "lang", "tz",
                            "cart", "consent", "_fbp", "recent", "prefs"]
    assert (result["tz"], result["cart"], result["consent"]) == (
        "Europe/Paris", '{"items":3}', "analytics=1, ads=0")
    assert result == model.parse_cookie_header(TYPICAL)


def test_first_occurrence_wins_and_keeps_its_place():
    assert list(parse_cookie_header(b"a=1; b=2; a=3; =x; =y").items()) == [
        ("a", "1"), ("b", "2"), ("", "x")]


# (argument, pairs): every accepted form of the header.
INPUT_FORMS = {
    "bytes": (b"a=\xe9", [("a", "\u00e9")]),
    "latin-1-str": ("a=\xe9", [("a", "\u00e9")]),
    "str-with-wider-text-is-utf8": ("\u2713=\xe9", [("\u2713", "\u00e9")]),
    "lone-surrogate-passed-through": ("a=\ud800", [("a", "\u00ed\u00a0\u0080")]),
    "str-subclass": (StrSub("a=1"), [("a", "1")]),
    "bytes-subclass": (BytesSub(b"a=1"), [("a", "1")]),
    "list": ([b"a=1", "b=2; c=3"], [("a", "1"), ("b", "2"), ("c", "3")]),
    "tuple": ((b"a=1; b", "\u2713=1"), [("a", "1"), ("", "b"), ("\u2713", "1")]),
    "empty-list": ([], []),
    "list-of-subclasses": ([StrSub("a=1"), BytesSub(b"b=2")], [("a", "1"), ("b", "2")]),
    "list-joined-by-separator": ([b"a=1", b"", b"b=2"], [("a", "1"), ("b", "2")]),
}


@pytest.mark.parametrize("form", INPUT_FORMS)
def test_input_forms(form):
    raw, pairs = INPUT_FORMS[form]
    assert parse_cookie_header_pairs(raw) == pairs
    assert parse_cookie_header_pairs(raw) == model.parse_cookie_header_pairs(raw)
    assert parse_cookie_header(raw) == dict(reversed(pairs))


@pytest.mark.parametrize(
    "raw, message",
    [
        (None, "Expected bytes, str, or a list or tuple of them, got NoneType"),
        (1, "Expected bytes, str, or a list or tuple of them, got int"),
        (bytearray(b"a=1"), "Expected bytes, str, or a list or tuple of them, got bytearray"),
        (memoryview(b"a=1"), "Expected bytes, str, or a list or tuple of them, got memoryview"),
        ({"a": "1"}, "Expected bytes, str, or a list or tuple of them, got dict"),
        ([b"a=1", 2], "Expected bytes or str in the list, got int"),
        ((b"a=1", [b"b=2"]), "Expected bytes or str in the tuple, got list"),
    ],
)
def test_read_refuses_other_types(raw, message):
    for function in (parse_cookie_header, parse_cookie_header_pairs,
                     model.parse_cookie_header):
        with pytest.raises(TypeError) as excinfo:
            function(raw)
        assert str(excinfo.value) == message


# --- writing --------------------------------------------------------------------

# (cookies, header)
WRITE_CASES = {
    "dict": ({"a": "1", "b": "x y"}, b"a=1; b=x%20y"),
    "quote-defaults": ({"n/;=": '/"%;\u00e9~._-'}, b"n/%3B%3D=/%22%25%3B%C3%A9~._-"),
    "nameless-value-alone": ({"": "token", "a": "1"}, b"token; a=1"),
    "empty-pair-left-out": ({"a": "1", "": "", "b": "2"}, b"a=1; b=2"),
    "only-empty-pair": ({"": ""}, b""),
    "empty-value": ({"a": ""}, b"a="),
    "empty": ({}, b""),
    "pairs-list": ([("a", "1"), ["a", "2"]], b"a=1; a=2"),
    "generator": (((n, "v") for n in "xy"), b"x=v; y=v"),
    "items-view": ({"a": "1"}.items(), b"a=1"),
    "subclasses-read-plain": ({StrSub("a"): StrSub("b c")}, b"a=b%20c"),
    "astral": ({"k": "\U0001f36a"}, b"k=%F0%9F%8D%AA"),
}


class Mapping:
    """Not a dict: anything with keys() is read as a mapping."""

    def __init__(self, data):
        self.data = data

    def keys(self):
        return list(self.data)

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        raise AssertionError("a mapping is read through keys()")


WRITE_CASES["mapping"] = (Mapping({"a": "1", "b": "2"}), b"a=1; b=2")


@pytest.mark.parametrize("case", WRITE_CASES)
def test_write(case):
    cookies_argument, header = WRITE_CASES[case]
    written = write_cookie_header(cookies_argument)
    assert type(written) is bytes and written == header
    if case != "generator":
        assert model.write_cookie_header(cookies_argument) == header


@pytest.mark.parametrize(
    "argument, error, message",
    [
        (1, TypeError, "Expected a mapping or an iterable of (name, value) pairs, got int"),
        (None, TypeError, "Expected a mapping or an iterable of (name, value) pairs, got NoneType"),
        ({"a": 1}, TypeError, "Expected str, got int"),
        ({b"a": "1"}, TypeError, "Expected str, got bytes"),
        ([("a", None)], TypeError, "Expected str, got NoneType"),
        (["ab"], TypeError, "Expected a (name, value) pair, got str"),
        ([("a", "b", "c")], ValueError, "Expected a (name, value) pair, got a tuple of length 3"),
        ([["a"]], ValueError, "Expected a (name, value) pair, got a list of length 1"),
        ({"a": "\ud800"}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
        ({"\udfff": "v"}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\udfff' in position 0: surrogates not allowed"),
    ],
)
def test_write_errors(argument, error, message):
    for function in (write_cookie_header, model.write_cookie_header):
        with pytest.raises(error) as excinfo:
            function(argument)
        assert str(excinfo.value) == message


def test_write_ignores_a_rebound_quote(restore_module_attributes):
    cookies.quote = lambda text: "REBOUND"
    assert write_cookie_header({"a": "x y"}) == b"a=x%20y"


# --- properties -------------------------------------------------------------------

HEADER_BYTES = st.one_of(
    st.binary(max_size=64),
    st.lists(st.sampled_from([b";", b"=", b" ", b"\t", b'"', b"\\", b"%", b"%4", b"1", b"a",
                              b"%C3%A9", b"%E9", b"\xc3\xa9", b"\xe9", b"\xf0\x9f", b"\\351"]),
             max_size=24).map(b"".join),
)
TEXT = st.text(st.characters(exclude_categories=["Cs"]), max_size=12)


@settings(max_examples=400, deadline=None)
@given(HEADER_BYTES)
def test_agrees_with_the_model_on_any_bytes(raw):
    for decode in (True, False):
        pairs = model.parse_cookie_header_pairs(raw, decode)
        assert parse_cookie_header_pairs(raw, percent_decode=decode) == pairs
        assert parse_cookie_header_pairs(raw.decode("latin-1"), percent_decode=decode) == pairs
        assert parse_cookie_header(raw, percent_decode=decode) == model.parse_cookie_header(
            raw, decode)


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(TEXT, TEXT, max_size=8))
def test_write_then_read_round_trip(d):
    d.pop("", None) if d.get("") == "" else None
    written = write_cookie_header(d)
    assert written == model.write_cookie_header(d)
    assert parse_cookie_header(written) == d
    assert parse_cookie_header(written.decode("latin-1")) == d


@settings(max_examples=200, deadline=None)
@given(TEXT.filter(bool), TEXT)
def test_reads_back_what_the_set_cookie_writer_wrote(name, value):
    header = write_cookie_for_response(Cookie(name, value, path="/", max_age=10))
    name_value = header.split(b"; ")[0]
    assert parse_cookie_header(name_value) == {name: value}
    assert write_cookie_header({name: value}) == name_value


def test_linear_in_the_header_size():
    # Many escapes and quoted values: nothing is rescanned per piece.
    big = b"; ".join(b'n%d="\\%d\\"%%41"' % (i, i % 8) for i in range(100_000))
    pairs = parse_cookie_header_pairs(big)
    assert len(pairs) == 100_000 and pairs[9] == ("n9", '1"A')
    assert parse_cookie_header(b"a=" + b"%41" * 300_000) == {"a": "A" * 300_000}


# --- interfaces ---------------------------------------------------------------------


def test_signatures_docstrings_and_namespace():
    for function, parameter in ((parse_cookie_header, "raw, *, percent_decode=True"),
                                (parse_cookie_header_pairs, "raw, *, percent_decode=True"),
                                (write_cookie_header, "cookies")):
        assert str(inspect.signature(function)) == f"({parameter})"
        parameter = parameter.split(",")[0]
        assert len(function.__doc__) > 100
        assert function(**{parameter: b"a=1" if parameter == "raw" else {"a": "1"}})
    assert "U+FFFD" in parse_cookie_header.__doc__
    assert cookie_header.__name__ == "glimmering_copper_otter.cookie_header"
    assert sorted(n for n in vars(cookie_header) if not n.startswith("_")) == [
        "parse_cookie_header", "parse_cookie_header_pairs", "write_cookie_header"]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "parse_cookie_header() takes exactly 1 positional argument (0 given)"),
        ((b"", b""), {}, "parse_cookie_header() takes exactly 1 positional argument (2 given)"),
        ((), {"header": b""}, "parse_cookie_header() got an unexpected keyword argument 'header'"),
        ((b"",), {"raw": b""},
         "parse_cookie_header() got multiple values for keyword argument 'raw'"),
    ],
)
def test_argument_binding(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        parse_cookie_header(*args, **kwargs)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "function, argument",
    [(parse_cookie_header, 1), (parse_cookie_header_pairs, [1]), (write_cookie_header, {"a": 1})],
)
def test_failures_carry_a_traceback_entry(function, argument):
    with pytest.raises(TypeError) as excinfo:
        function(argument)
    assert traceback_names(excinfo)[-1] == (
        f"glimmering_copper_otter.cookie_header.{function.__name__}")


def test_c_function_table():
    table = cookie_header.__pyx_capi__
    assert sorted(table) == ["parse_cookie_header", "parse_cookie_header_pairs",
                             "write_cookie_header"]
    for capsule in table.values():
        assert repr(capsule).startswith('<capsule object "PyObject *(PyObject *)" at ')


def test_names_are_shared_between_calls_but_results_are_not():
    first, second = parse_cookie_header(TYPICAL), parse_cookie_header(TYPICAL)
    assert first == second and first is not second
    assert all(a is b for a, b in zip(first, second))  # interned names
    assert first["theme"] is not second["theme"] or len(first["theme"]) <= 1


# --- leaks and hostile callers ---------------------------------------------------------

LEAK_CASES = {
    "read-typical": (lambda: parse_cookie_header(TYPICAL), None),
    "read-pairs-list": (lambda: parse_cookie_header_pairs([TYPICAL, "\u2713=\xe9"]), None),
    "read-general-text": (lambda: parse_cookie_header(rb'a="\351%C3%A9"; \xe9=%E9'), None),
    "read-wrong-type": (lambda: parse_cookie_header(1), TypeError),
    "read-wrong-item": (lambda: parse_cookie_header_pairs([b"a=1", 1]), TypeError),
    "write-dict": (lambda: write_cookie_header({"a": "x y", "\u00e9": "1"}), None),
    "write-mapping": (lambda: write_cookie_header(Mapping({"a": "1"})), None),
    "write-pairs": (lambda: write_cookie_header([("a", "1"), ["b", "2"]]), None),
    "write-bad-value": (lambda: write_cookie_header([("a", "1"), ("b", 2)]), TypeError),
    "write-bad-pair": (lambda: write_cookie_header([("a",)]), ValueError),
    "write-surrogate": (lambda: write_cookie_header({StrSub("a"): "\ud800"}), UnicodeEncodeError),
    "write-missing-key": (lambda: write_cookie_header(Mapping2()), KeyError),
}


class Mapping2(Mapping):
    def __init__(self):
        super().__init__({})

    def keys(self):
        return ["gone"]


@pytest.mark.parametrize("case", LEAK_CASES)
def test_no_leak(case):
    operation, raises = LEAK_CASES[case]
    assert_no_leak(operation, raises)


class Boom(Exception):
    pass


class HostileMapping:
    """keys() and __getitem__ run the given actions on the mapping's data."""

    def __init__(self, data, on_keys=None, on_item=None):
        self.data = dict(data)
        self.on_keys, self.on_item = on_keys, on_item

    def keys(self):
        keys = iter(list(self.data))
        if self.on_keys:
            self.on_keys(self)
        return keys

    def __getitem__(self, key):
        if self.on_item:
            self.on_item(self, key)
        return self.data[key]


class HostileIterator:
    """__next__ yields the pairs and runs an action before each."""

    def __init__(self, pairs, action):
        self.pairs, self.action, self.index = list(pairs), action, 0

    def __iter__(self):
        return self

    def __next__(self):
        self.action(self)
        if self.index >= len(self.pairs):
            raise StopIteration
        self.index += 1
        pair, self.pairs[self.index - 1] = self.pairs[self.index - 1], None
        return pair


def _raise(*_):
    raise Boom


def _drop_earlier(it):
    # The earlier pairs lose their last reference, and a collection runs.
    if it.index:
        it.pairs[it.index - 1] = None
    gc.collect()


def _mutating_list_pairs():
    pairs = [["a", "1"], ["b", "2"]]

    def action(it):
        # Empties the list pair handed out last time: it was written already.
        if it.index:
            pairs[it.index - 1].clear()
        gc.collect()

    return HostileIterator(pairs, action)


def _pop_next_key(m, key):
    m.data.pop("b", None)
    gc.collect()


class ExplodingKeys:
    @property
    def keys(self):
        raise Boom


HOSTILE = {
    "keys-clears-the-mapping": (lambda: HostileMapping({"a": "1"}, on_keys=lambda m: m.data.clear()),
                                KeyError),
    "keys-raises": (lambda: HostileMapping({"a": "1"}, on_keys=_raise), Boom),
    "keys-attribute-raises": (lambda: ExplodingKeys(), Boom),
    "getitem-raises": (lambda: HostileMapping({"a": "1"}, on_item=_raise), Boom),
    "getitem-drops-a-later-key": (lambda: HostileMapping({"a": "1", "b": "2"},
                                                         on_item=_pop_next_key), KeyError),
    "getitem-rebinds-the-value": (
        lambda: HostileMapping({"a": "1"}, on_item=lambda m, k: m.data.update(a="x y")),
        b"a=x%20y"),
    "getitem-collects": (lambda: HostileMapping({"a": "1", "b": "2"},
                                                on_item=lambda m, k: gc.collect()), b"a=1; b=2"),
    "next-drops-earlier-pairs": (lambda: HostileIterator([("a", "1"), ("b", "2")], _drop_earlier),
                                 b"a=1; b=2"),
    "next-empties-written-list-pair": (_mutating_list_pairs, b"a=1; b=2"),
    "next-raises": (lambda: HostileIterator([("a", "1")], _raise), Boom),
    "next-raises-later": (
        lambda: HostileIterator([("a", "1"), ("b", "2")],
                                lambda it: _raise() if it.index == 1 else None), Boom),
}


@pytest.mark.parametrize("case", HOSTILE)
def test_hostile_callers(case):
    make, outcome = HOSTILE[case]
    raises = None if isinstance(outcome, bytes) else outcome
    if raises is None:
        assert write_cookie_header(make()) == outcome
    else:
        with pytest.raises(raises):
            write_cookie_header(make())
    # Collections in every call would make the leak check slow; one call
    # each is run above.
    if "collect" not in inspect.getsource(make) and "drop" not in case:
        assert_no_leak(lambda: write_cookie_header(make()), raises, warmup=20, runs=50)
