"""The front door for web frameworks: writer.set_cookie_header and
writer.delete_cookie_header, checked against exact bytes, against a
browser's rules (browser.check over an https url) and against the package's
own Cookie-header reader."""

import inspect
from datetime import date, datetime, timedelta, timezone, tzinfo

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from glimmering_copper_otter import cookies
from glimmering_copper_otter.browser import check, read_set_cookie
from glimmering_copper_otter.cookie_header import parse_cookie_header
from glimmering_copper_otter.cookies import CookieSameSiteMode
from glimmering_copper_otter.writer import delete_cookie_header, set_cookie_header
from leakcheck import assert_no_leak

GONE = b"Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0"
PLUS_TWO = timezone(timedelta(hours=2))


class Markup(str):
    """A str subclass as templates make them; its methods must not run."""

    def __str__(self):
        raise AssertionError("a method of the subclass was called")

    encode = __str__


class Offset(tzinfo):
    def __init__(self, offset):
        self.offset = offset

    def utcoffset(self, dt):
        if isinstance(self.offset, Exception):
            raise self.offset
        return self.offset


# (function, args, kwargs, header)
WRITES = {
    "plain": (set_cookie_header, ("sid", "abc"), {}, b"sid=abc; Path=/"),
    "full": (set_cookie_header, ("sid", "abc"), dict(
        max_age=timedelta(hours=1, microseconds=999_999), expires=datetime(2030, 1, 2, 3, 4, 5),
        domain="example.com", http_only=True, same_site="LAX", priority="high"),
        b"sid=abc; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; Domain=example.com; "
        b"Path=/; HttpOnly; SameSite=Lax; Priority=High"),
    "auto-keeps-signed-and-base64": (set_cookie_header, ("t!k", "v:1700000000:s+/=="), {},
                                     b"t!k=v:1700000000:s+/==; Path=/"),
    "auto-encodes-both": (set_cookie_header, ("t!k", "a b;\xe9"), {},
                          b"t%21k=a%20b%3B%C3%A9; Path=/"),
    "auto-encodes-a-percent": (set_cookie_header, ("a", "50%"), {}, b"a=50%25; Path=/"),
    "percent": (set_cookie_header, ("a", "b~/"), dict(encoding="percent"), b"a=b~/; Path=/"),
    "raw": (set_cookie_header, ("a!", "b~/"), dict(encoding="raw"), b"a!=b~/; Path=/"),
    "str-subclasses": (set_cookie_header, (Markup("sid"), Markup("<b> x")), dict(path=Markup("/p")),
                       b"sid=%3Cb%3E%20x; Path=/p"),
    "none-adds-secure": (set_cookie_header, ("a", "b"), dict(same_site="none"),
                         b"a=b; Path=/; Secure; SameSite=None"),
    "strict-does-not": (set_cookie_header, ("a", "b"), dict(same_site=CookieSameSiteMode.STRICT),
                        b"a=b; Path=/; SameSite=Strict"),
    "undefined-mode": (set_cookie_header, ("a", "b"), dict(same_site=CookieSameSiteMode.UNDEFINED),
                       b"a=b; Path=/"),
    "partitioned": (set_cookie_header, ("a", "b"), dict(partitioned=1),
                    b"a=b; Path=/; Secure; Partitioned"),
    "host-prefix": (set_cookie_header, ("__host-a", "b"), {}, b"__host-a=b; Path=/; Secure"),
    "http-prefix": (set_cookie_header, ("__Http-a", "b"), dict(http_only=True),
                    b"__Http-a=b; Path=/; HttpOnly; Secure"),
    "no-path-no-domain": (set_cookie_header, ("a", "b"), dict(path=None, domain=""), b"a=b"),
    "path-as-requests-send-it": (set_cookie_header, ("a", "b"), dict(path="/\xdf x"),
                                 b"a=b; Path=/%C3%9F%20x"),
    "aware-expires": (set_cookie_header, ("a", "b"), dict(expires=datetime(2030, 1, 2, tzinfo=PLUS_TWO)),
                      b"a=b; Expires=Tue, 01 Jan 2030 22:00:00 GMT; Path=/"),
    "date-expires": (set_cookie_header, ("a", "b"), dict(expires=date(1601, 1, 1)),
                     b"a=b; Expires=Mon, 01 Jan 1601 00:00:00 GMT; Path=/"),
    "float-timestamp-floored": (set_cookie_header, ("a", "b"), dict(expires=-1.5, max_age=0),
                                b"a=b; Expires=Wed, 31 Dec 1969 23:59:58 GMT; Max-Age=0; Path=/"),
    "beyond-400-days-as-given": (set_cookie_header, ("a", "b"), dict(expires=253402300799),
                                 b"a=b; Expires=Fri, 31 Dec 9999 23:59:59 GMT; Path=/"),
    "delete": (delete_cookie_header, ("sid",), {}, b"sid=; " + GONE + b"; Path=/"),
    "delete-secure-prefix": (delete_cookie_header, ("__Secure-a",), dict(domain="example.com"),
                             b"__Secure-a=; " + GONE + b"; Domain=example.com; Path=/; Secure"),
    "delete-encoded-name": (delete_cookie_header, ("a b",), dict(
        same_site="none", partitioned=True, http_only=True, path="/x"),
        b"a%20b=; " + GONE + b"; Path=/x; HttpOnly; Secure; SameSite=None; Partitioned"),
}


@pytest.mark.parametrize("case", WRITES)
def test_writes(case):
    function, args, kwargs, header = WRITES[case]
    assert function(*args, **kwargs) == header


def raw_offender(part, shown, position):
    return f"encoding='raw' writes the {part} unchanged.*{shown} .* at position {position} is not"


# (kwargs over name="a", value="b"; exception; message pattern)
ERRORS = {
    "empty-name": (dict(name=""), ValueError, "name must not be empty"),
    "name-type": (dict(name=b"a"), TypeError, "name must be a str, not bytes"),
    "value-none": (dict(value=None), TypeError, "value must be a str, not NoneType"),
    "max-age-negative": (dict(max_age=-1), ValueError, "max_age must be zero or more"),
    "max-age-negative-timedelta": (dict(max_age=timedelta(seconds=-0.5)), ValueError, "negative"),
    "max-age-bool": (dict(max_age=True), TypeError, "max_age must be an int, a timedelta or None"),
    "max-age-huge": (dict(max_age=2**63), ValueError, "too large"),
    "expires-bool": (dict(expires=False), TypeError, "expires must be a datetime, a date, an int"),
    "expires-text": (dict(expires="tomorrow"), TypeError, "not str"),
    "expires-nan": (dict(expires=float("nan")), ValueError, "finite"),
    "expires-after-9999": (dict(expires=datetime(9999, 12, 31, 23, tzinfo=timezone(-timedelta(hours=5)))),
                           ValueError, "between the years 1601 and 9999"),
    "expires-before-1601": (dict(expires=-11644473601), ValueError, "between the years 1601"),
    "expires-huge-int": (dict(expires=2**64), ValueError, "between the years 1601"),
    "zone-offset-too-big": (dict(expires=datetime(2030, 1, 1, tzinfo=Offset(timedelta(hours=25)))),
                            ValueError, r"expires.utcoffset\(\) must be strictly between"),
    "zone-raises": (dict(expires=datetime(2030, 1, 1, tzinfo=Offset(ZeroDivisionError("tz")))),
                    ZeroDivisionError, "tz"),
    "same-site-word": (dict(same_site="loose"), ValueError, "'lax', 'strict' or 'none'.*'loose'"),
    "same-site-int": (dict(same_site=1), TypeError, "same_site must be"),
    "priority": (dict(priority="urgent"), ValueError, "priority"),
    "encoding-word": (dict(encoding="RAW"), ValueError, "encoding must be 'auto', 'percent'"),
    "encoding-type": (dict(encoding=b"raw"), TypeError, "encoding must be"),
    "raw-name": (dict(name="a=b", encoding="raw"), ValueError, raw_offender("name", "'='", 1)),
    "raw-value-non-ascii": (dict(value="x\u2713", encoding="raw"), ValueError,
                            raw_offender("value", "'\u2713'", 1)),
    "raw-value-percent": (dict(value="50%", encoding="raw"), ValueError,
                          raw_offender("value", "'%'", 2)),
    "host-with-domain": (dict(name="__Host-a", domain="example.com"), ValueError, "^InvalidPrefix: "),
    "host-with-path": (dict(name="__Host-a", path="/x"), ValueError, "^InvalidPrefix: "),
    "host-without-path": (dict(name="__Host-a", path=None), ValueError, "^InvalidPrefix: "),
    "http-without-http-only": (dict(name="__Host-Http-a"), ValueError, "^InvalidPrefix: "),
    "public-suffix": (dict(domain="co.uk"), ValueError, "^InvalidDomain: Domain=co.uk"),
    "lone-dot-domain": (dict(domain="."), ValueError, "^InvalidDomain: "),
    "relative-path": (dict(path="x"), ValueError, "^PathDefaulted: "),
    "long-path": (dict(path="/" + "x" * 1024), ValueError, "^AttributeValueTooLong: Path"),
    "long-domain": (dict(domain="x" * 1025), ValueError, "^AttributeValueTooLong: Domain"),
    "too-big": (dict(value="x" * 4096), ValueError, "^NameValuePairExceedsMaxSize: .* 4097 bytes"),
    "too-big-once-encoded": (dict(value="\xe9" * 700), ValueError,
                             "^NameValuePairExceedsMaxSize: .* 4201 bytes"),
    "semicolon-in-path": (dict(path="/a;b"), ValueError, "^WriterRefuses: the path holds ';'"),
    "control-in-domain": (dict(domain="a\nb"), ValueError, "^DisallowedCharacter: "),
    "tab-in-path": (dict(path="/a\tb"), ValueError, "^DisallowedCharacter: "),
}


@pytest.mark.parametrize("case", ERRORS)
def test_errors(case):
    kwargs, error, pattern = ERRORS[case]
    arguments = {"name": "a", "value": "b", **kwargs}
    with pytest.raises(error, match=pattern):
        set_cookie_header(**arguments)
    if set(kwargs) <= {"name", "path", "domain", "encoding"} and "value" not in kwargs:
        # The same rules hold for deletions.
        del arguments["value"]
        with pytest.raises(error, match=pattern):
            delete_cookie_header(**arguments)


def test_percent_ignores_a_rebound_quote(restore_module_attributes):
    cookies.quote = lambda text: "X"
    assert set_cookie_header("a b", "c", encoding="percent") == b"a%20b=c; Path=/"


def test_signatures_and_docstrings():
    assert str(inspect.signature(delete_cookie_header)) == (
        "(name, *, path='/', domain=None, secure=False, http_only=False, same_site=None, "
        "partitioned=False, encoding='auto')")
    for function in (set_cookie_header, delete_cookie_header):
        assert ">>> " in function.__doc__


def test_no_reference_is_leaked():
    when = datetime(2030, 1, 2, tzinfo=PLUS_TWO)
    assert_no_leak(lambda: set_cookie_header("a b", "c", expires=when, same_site="none"))
    assert_no_leak(lambda: set_cookie_header("a", "\xe9", encoding="raw"), ValueError)
    assert_no_leak(lambda: delete_cookie_header("__Host-a", domain="example.com"), ValueError)


# -- the property: what is written is what a browser keeps, and what the
# package's reader reads back -------------------------------------------------

NAMES = st.one_of(
    st.text(st.sampled_from("abcAB09!#$%&'*+-.^_`|~ =;\"\\,\xe9\u2713\t\x7f"), min_size=1, max_size=8),
    st.builds(str.__add__, st.sampled_from(["__Host-", "__host-", "__Secure-", "__Http-",
                                            "__Host-Http-"]), st.sampled_from(["", "a"])),
)
VALUES = st.one_of(st.text(st.characters(exclude_categories=["Cs"]), max_size=12),
                   st.sampled_from(["", "x" * 4090, "\xe9" * 1364, '"q"', "a=b"]))
DOMAINS = st.sampled_from([None, "", "example.test", ".example.test", "Sub.Example.test", "co.uk",
                           "test", "127.0.0.1", ".", "x" * 1030, "a;b", "a b"])
PATHS = st.sampled_from([None, "", "/", "/a/b", "a", "/\xe9 x?#", "/" + "p" * 1023,
                         "/" + "p" * 1024, "/a;b", "/\x01"])
EXPIRES = st.one_of(st.none(), st.datetimes(min_value=datetime(1601, 1, 2),
                                            timezones=st.sampled_from([None, timezone.utc, PLUS_TWO])),
                    st.integers(-11644473600, 253402300799), st.floats(allow_nan=False))
KEYWORDS = st.fixed_dictionaries({}, optional={
    "max_age": st.one_of(st.integers(0, 2**40), st.timedeltas(min_value=timedelta(0))),
    "expires": EXPIRES, "path": PATHS, "domain": DOMAINS, "secure": st.booleans(),
    "http_only": st.booleans(), "partitioned": st.booleans(),
    "same_site": st.sampled_from([None, "lax", "Strict", "NONE", *CookieSameSiteMode]),
    "priority": st.sampled_from([None, "low", "High"]),
    "encoding": st.sampled_from(["auto", "percent", "raw"]),
})


@settings(max_examples=500, deadline=None)
@given(NAMES, VALUES, KEYWORDS, st.booleans())
def test_a_browser_keeps_what_is_written(name, value, keywords, deletion):
    try:
        if deletion:
            for key in ("max_age", "expires", "priority"):
                keywords.pop(key, None)
            header = delete_cookie_header(name, **keywords)
        else:
            header = set_cookie_header(name, value, **keywords)
    except ValueError:
        return
    host = (keywords.get("domain") or "www.example.test").lstrip(".")
    url = f"https://{host}/a/b"
    findings = check(header, url)
    assert not any(f.split(":")[0] in ("PathDefaulted", "AttributeValueTooLong")
                   for f in findings), findings
    kept = read_set_cookie(header, url)
    assert kept is not None, findings
    assert parse_cookie_header(f"{kept.name}={kept.value}".encode()) == {
        name: "" if deletion else value}


def test_an_accepted_header_lets_no_longer_value_through():
    # Headers found acceptable are remembered without their value's bytes.
    assert set_cookie_header("a", "x" * 4095, domain="example.com")
    with pytest.raises(ValueError, match="^NameValuePairExceedsMaxSize"):
        set_cookie_header("a", "x" * 4096, domain="example.com")
