"""The front door for web frameworks: writer.set_cookie_header and
writer.delete_cookie_header, checked against exact bytes, against a
browser's rules (browser.check over an https url) and against the package's
own Cookie-header reader."""

from datetime import date, datetime, timedelta, timezone, tzinfo

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from glimmering_copper_otter import cookies
from glimmering_copper_otter.browser import _read_url, check, read_set_cookie
from glimmering_copper_otter.cookie_header import parse_cookie_header
from glimmering_copper_otter.cookies import CookieSameSiteMode
from glimmering_copper_otter.writer import delete_cookie_header, set_cookie_header
from leakcheck import assert_no_leak

GONE = b"Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0"
PLUS_TWO, MINUS_FIVE = timezone(timedelta(hours=2)), timezone(-timedelta(hours=5))


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


S, D = set_cookie_header, delete_cookie_header
# A call and the header it writes.
WRITES = {
    "plain": (lambda: S("sid", "abc"), b"sid=abc; Path=/"),
    "full": (lambda: S("sid", "abc", max_age=timedelta(hours=1, microseconds=999_999),
                       expires=datetime(2030, 1, 2, 3, 4, 5), domain="example.com",
                       http_only=True, same_site="LAX", priority="high"),
             b"sid=abc; Expires=Wed, 02 Jan 2030 03:04:05 GMT; Max-Age=3600; "
             b"Domain=example.com; Path=/; HttpOnly; SameSite=Lax; Priority=High"),
    "auto-keeps-signed-and-base64": (lambda: S("t!k", "v:17:s+/=="), b"t!k=v:17:s+/==; Path=/"),
    "auto-judges-name-and-value-apart": (lambda: S("t!k", "a b;\xe9"), b"t!k=a%20b%3B%C3%A9; Path=/"),
    "auto-deletion-names-the-same-cookie": (lambda: D("t!k"), b"t!k=; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0; Path=/"),
    "auto-encodes-a-name-alone": (lambda: S("t k", "v"), b"t%20k=v; Path=/"),
    "domain-outside-ascii": (lambda: S("a", "b", domain="例え.jp"),
                             "a=b; Domain=例え.jp; Path=/".encode()),
    "auto-encodes-a-percent": (lambda: S("a", "50%"), b"a=50%25; Path=/"),
    "raw": (lambda: S("a!", "b~/", encoding="raw"), b"a!=b~/; Path=/"),
    "str-subclasses": (lambda: S(Markup("sid"), Markup("<b> x"), path=Markup("/p")),
                       b"sid=%3Cb%3E%20x; Path=/p"),
    "none-adds-secure": (lambda: S("a", "b", same_site="none"),
                         b"a=b; Path=/; Secure; SameSite=None"),
    "strict-does-not": (lambda: S("a", "b", same_site=CookieSameSiteMode.STRICT),
                        b"a=b; Path=/; SameSite=Strict"),
    "partitioned": (lambda: S("a", "b", partitioned=1), b"a=b; Path=/; Secure; Partitioned"),
    "host-prefix": (lambda: S("__host-a", "b"), b"__host-a=b; Path=/; Secure"),
    "http-prefix": (lambda: S("__Http-a", "b", http_only=True),
                    b"__Http-a=b; Path=/; HttpOnly; Secure"),
    "no-path-no-domain": (lambda: S("a", "b", path=None, domain=""), b"a=b"),
    "path-as-requests-send-it": (lambda: S("a", "b", path="/\xdf x"), b"a=b; Path=/%C3%9F%20x"),
    "path-read-as-a-url-path": (lambda: S("a", "b", path="/a|^\\b/../c/%2e"),
                                b"a=b; Path=/a%7C%5E/c/"),
    "aware-expires": (lambda: S("a", "b", expires=datetime(2030, 1, 2, tzinfo=PLUS_TWO)),
                      b"a=b; Expires=Tue, 01 Jan 2030 22:00:00 GMT; Path=/"),
    "date-expires": (lambda: S("a", "b", expires=date(1601, 1, 1)),
                     b"a=b; Expires=Mon, 01 Jan 1601 00:00:00 GMT; Path=/"),
    "float-timestamp-floored": (lambda: S("a", "b", expires=-1.5, max_age=0),
                                b"a=b; Expires=Wed, 31 Dec 1969 23:59:58 GMT; Max-Age=0; Path=/"),
    "beyond-400-days-as-given": (lambda: S("a", "b", expires=253402300799),
                                 b"a=b; Expires=Fri, 31 Dec 9999 23:59:59 GMT; Path=/"),
    "delete": (lambda: D("sid"), b"sid=; " + GONE + b"; Path=/"),
    "delete-secure-prefix": (lambda: D("__Secure-a", domain="example.com"),
                             b"__Secure-a=; " + GONE + b"; Domain=example.com; Path=/; Secure"),
    "delete-encoded-name": (lambda: D("a b", same_site="none", partitioned=True, path="/x"),
                            b"a%20b=; " + GONE + b"; Path=/x; Secure; SameSite=None; Partitioned"),
}


@pytest.mark.parametrize("case", WRITES)
def test_writes(case):
    call, header = WRITES[case]
    assert call() == header


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
    "expires-bool": (dict(expires=False), TypeError, "expires must be a datetime, a date, an int"),
    "expires-nan": (dict(expires=float("nan")), ValueError, "finite"),
    "expires-after-9999": (dict(expires=datetime(9999, 12, 31, 23, tzinfo=MINUS_FIVE)),
                           ValueError, "between the years 1601 and 9999"),
    "expires-before-1601": (dict(expires=-11644473601), ValueError, "between the years 1601"),
    "zone-offset-too-big": (dict(expires=datetime(2030, 1, 1, tzinfo=Offset(timedelta(hours=25)))),
                            ValueError, r"expires.utcoffset\(\) must be strictly between"),
    "zone-raises": (dict(expires=datetime(2030, 1, 1, tzinfo=Offset(ZeroDivisionError("tz")))),
                    ZeroDivisionError, "tz"),
    "same-site-word": (dict(same_site="loose"), ValueError, "'lax', 'strict' or 'none'.*'loose'"),
    "priority": (dict(priority="urgent"), ValueError, "priority"),
    "encoding-word": (dict(encoding="RAW"), ValueError, "encoding must be 'auto', 'percent'"),
    "raw-name": (dict(name="a=b", encoding="raw"), ValueError, raw_offender("name", "'='", 1)),
    "raw-value-non-ascii": (dict(value="x\u2713", encoding="raw"), ValueError,
                            raw_offender("value", "'\u2713'", 1)),
    "raw-value-percent": (dict(value="50%", encoding="raw"), ValueError,
                          raw_offender("value", "'%'", 2)),
    "host-with-domain": (dict(name="__Host-a", domain="example.com"), ValueError,
                         "^InvalidPrefix: "),
    "host-with-path": (dict(name="__Host-a", path="/x"), ValueError, "^InvalidPrefix: "),
    "host-without-path": (dict(name="__Host-a", path=None), ValueError, "^InvalidPrefix: "),
    "http-without-http-only": (dict(name="__Host-Http-a"), ValueError, "^InvalidPrefix: "),
    "public-suffix": (dict(domain="co.uk"), ValueError, "^InvalidDomain: Domain=co.uk"),
    "relative-path": (dict(path="x"), ValueError, "^PathDefaulted: "),
    "long-path": (dict(path="/" + "x" * 1024), ValueError, "^AttributeValueTooLong: Path"),
    "too-big": (dict(value="x" * 4096), ValueError, "^NameValuePairExceedsMaxSize: .* 4097 bytes"),
    "too-big-once-encoded": (dict(value="\xe9" * 700), ValueError,
                             "^NameValuePairExceedsMaxSize: .* 4201 bytes"),
    "semicolon-in-path": (dict(path="/a;b"), ValueError, "^WriterRefuses: the path holds ';'"),
    "control-in-domain": (dict(domain="a\nb"), ValueError, "^DisallowedCharacter: "),
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


def test_no_reference_is_leaked():
    when = datetime(2030, 1, 2, tzinfo=PLUS_TWO)
    assert_no_leak(lambda: set_cookie_header("a b", "c", expires=when, same_site="none"))
    assert_no_leak(lambda: set_cookie_header("a", "\xe9", encoding="raw"), ValueError)
    assert_no_leak(lambda: delete_cookie_header("__Host-a", domain="example.com"), ValueError)


# -- the property: what is written is what a browser keeps, and what the
# package's reader reads back -------------------------------------------------

NAMES = st.one_of(
    st.text(st.sampled_from("abcAB09!#$%&'*+-.^_`|~ =;\"\\,\xe9\u2713\t\x7f"), min_size=1,
            max_size=8),
    st.builds(str.__add__, st.sampled_from(["__Host-", "__host-", "__Secure-", "__Http-",
                                            "__Host-Http-"]), st.sampled_from(["", "a"])),
)
VALUES = st.one_of(st.text(st.characters(exclude_categories=["Cs"]), max_size=12),
                   st.sampled_from(["", "x" * 4090, "\xe9" * 1364, '"q"', "a=b"]))
DOMAINS = st.sampled_from([None, "", "example.test", ".example.test", "Sub.Example.test", "co.uk",
                           "test", "127.0.0.1", ".", "x" * 1030, "a;b", "a b"])
PATHS = st.sampled_from([None, "", "/", "/a/b", "a", "/\xe9 x?#", "/a|^\\b/../c", "/" + "p" * 1023,
                         "/" + "p" * 1024, "/a;b", "/\x01"])
ZONES = st.sampled_from([None, timezone.utc, PLUS_TWO])
EXPIRES = st.one_of(st.none(), st.datetimes(min_value=datetime(1601, 1, 2), timezones=ZONES),
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
    path = keywords.get("path")
    if path and path.startswith("/"):  # sent on the pages of the path it was set for
        page = f"https://{host}" + path.replace("?", "%3F").replace("#", "%23")
        assert kept.path == _read_url(page)["path"]
    assert parse_cookie_header(f"{kept.name}={kept.value}".encode()) == {
        name: "" if deletion else value}


def test_an_accepted_header_lets_no_longer_value_through():
    # Headers found acceptable are remembered without their value's bytes.
    assert set_cookie_header("a", "x" * 4095, domain="example.com")
    with pytest.raises(ValueError, match="^NameValuePairExceedsMaxSize"):
        set_cookie_header("a", "x" * 4096, domain="example.com")
