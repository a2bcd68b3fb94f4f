"""The cookie date: a datetime written as "%a, %d %b %Y %H:%M:%S GMT" bytes
(English names whatever the process locale, aware values shifted to UTC
first) and such bytes read back into a naive datetime."""

import builtins
import datetime
import email.utils
import json
import locale
import shutil
import subprocess

import pytest

from conftest import run_python, traceback_names
from glimmering_copper_otter import cookies

FORMAT = "%a, %d %b %Y %H:%M:%S GMT"
WHEN = datetime.datetime(2030, 1, 2, 3, 4, 5)
WHEN_BYTES = b"Wed, 02 Jan 2030 03:04:05 GMT"
WRITE_ENTRY = "glimmering_copper_otter.cookies.datetime_to_cookie_format"
READ_ENTRY = "glimmering_copper_otter.cookies.datetime_from_cookie_format"

write = cookies.datetime_to_cookie_format
read = cookies.datetime_from_cookie_format


def tz(**offset):
    return datetime.timezone(datetime.timedelta(**offset))


@pytest.fixture
def c_time_locale():
    """The C locale for LC_TIME, so that strftime gives the reference text."""
    saved = locale.setlocale(locale.LC_TIME)
    locale.setlocale(locale.LC_TIME, "C")
    yield
    locale.setlocale(locale.LC_TIME, saved)


class DatetimeSub(datetime.datetime):
    pass


class RecordingStrftime(datetime.datetime):
    """A subclass with its own strftime, which records what it was given."""

    calls = []

    def strftime(self, fmt):
        RecordingStrftime.calls.append((self, fmt))
        return "written by the subclass \u00e9"


class NoOffset(datetime.tzinfo):
    def utcoffset(self, dt):
        return None


class Pacific(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(hours=-8)


class BrokenZone(datetime.tzinfo):
    def utcoffset(self, dt):
        raise LookupError("no such zone")


# ---------------------------------------------------------------------------
# Writing


@pytest.mark.parametrize(
    "value, expected",
    [
        (WHEN, WHEN_BYTES),
        (datetime.datetime(2030, 1, 2, 3, 4, 5, 999999), WHEN_BYTES),
        (datetime.datetime(2024, 2, 29), b"Thu, 29 Feb 2024 00:00:00 GMT"),
        (datetime.datetime(1999, 12, 31, 23, 59, 59), b"Fri, 31 Dec 1999 23:59:59 GMT"),
        (datetime.datetime(1970, 1, 1), b"Thu, 01 Jan 1970 00:00:00 GMT"),
        (datetime.datetime(9999, 12, 31, 23, 59, 59), b"Fri, 31 Dec 9999 23:59:59 GMT"),
        (DatetimeSub(2030, 1, 2, 3, 4, 5), WHEN_BYTES),
    ],
)
def test_write(value, expected):
    written = write(value)
    assert type(written) is bytes
    assert written == expected


def test_written_date_round_trips():
    assert read(write(WHEN)) == WHEN
    assert read(write(WHEN.replace(microsecond=123456))) == WHEN


def _sample(year):
    """A date and time in the given year that varies from year to year."""
    return datetime.datetime(
        year, year % 12 + 1, year % 28 + 1, year % 24, year * 7 % 60, year * 13 % 60,
        year * 37 % 1000000,
    )


def test_every_year_is_written_as_strftime_writes_it(c_time_locale):
    for year in range(1, 10000):
        for value in (datetime.datetime(year, 1, 1), _sample(year)):
            assert write(value) == value.strftime(FORMAT).encode(), value


def test_every_day_is_written_as_strftime_writes_it(c_time_locale):
    # A leap century, a common century, a common and a leap year: every
    # weekday and month name, and both sides of each February's end.
    for start in (datetime.datetime(2000, 1, 1), datetime.datetime(1900, 1, 1, 12, 30),
                  datetime.datetime(2023, 1, 1, 23, 59, 59),
                  datetime.datetime(2024, 1, 1, 1, 2, 3)):
        for day in range(366):
            value = start + datetime.timedelta(days=day)
            assert write(value) == value.strftime(FORMAT).encode(), value


def test_subclasses_without_their_own_strftime_are_written_alike(c_time_locale):
    for year in range(1, 10000, 37):
        value = _sample(year)
        sub = DatetimeSub(*value.timetuple()[:6], value.microsecond)
        assert write(sub) == value.strftime(FORMAT).encode()


@pytest.mark.parametrize(
    "value, expected",
    [
        (datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=tz(hours=2)),
         b"Wed, 02 Jan 2030 01:04:05 GMT"),
        (datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc), WHEN_BYTES),
        (datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=tz(hours=0)), WHEN_BYTES),
        (datetime.datetime(2030, 1, 1, 1, 0, 0, tzinfo=tz(hours=2)),
         b"Mon, 31 Dec 2029 23:00:00 GMT"),
        (datetime.datetime(2030, 12, 31, 22, 0, 0, tzinfo=tz(hours=-5, minutes=-30)),
         b"Wed, 01 Jan 2031 03:30:00 GMT"),
        (datetime.datetime(2024, 2, 28, 20, 0, 0, tzinfo=Pacific()),
         b"Thu, 29 Feb 2024 04:00:00 GMT"),
        (datetime.datetime(2030, 1, 2, 0, 0, 45, tzinfo=tz(seconds=30)),
         b"Wed, 02 Jan 2030 00:00:15 GMT"),
        # Shifted first, then the microseconds dropped.
        (datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=tz(microseconds=1)),
         b"Wed, 02 Jan 2030 03:04:04 GMT"),
        (datetime.datetime(2030, 1, 2, 3, 4, 5, tzinfo=NoOffset()), WHEN_BYTES),
        (DatetimeSub(2030, 1, 2, 3, 4, 5, tzinfo=tz(hours=-1)),
         b"Wed, 02 Jan 2030 04:04:05 GMT"),
    ],
)
def test_aware_datetimes_are_written_in_utc(value, expected):
    assert write(value) == expected


def test_aware_datetime_as_utc_wall_clock_is_the_same_as_strftime(c_time_locale):
    for hours in range(-23, 24):
        value = datetime.datetime(2030, 3, 1, 0, 30, tzinfo=tz(hours=hours, minutes=15))
        utc = value.astimezone(datetime.timezone.utc)
        assert write(value) == utc.strftime(FORMAT).encode()


@pytest.mark.parametrize(
    "value",
    [
        datetime.datetime(1, 1, 1, 0, 0, tzinfo=tz(hours=2)),
        datetime.datetime(9999, 12, 31, 23, 0, tzinfo=tz(hours=-2)),
    ],
)
def test_aware_datetime_outside_the_utc_range(value):
    with pytest.raises(OverflowError) as excinfo:
        write(value)
    assert traceback_names(excinfo)[1] == WRITE_ENTRY


def test_failing_utcoffset_propagates():
    with pytest.raises(LookupError, match="^no such zone$") as excinfo:
        write(datetime.datetime(2030, 1, 2, tzinfo=BrokenZone()))
    assert traceback_names(excinfo)[1] == WRITE_ENTRY


def test_subclass_strftime_is_used_with_the_converted_value():
    RecordingStrftime.calls.clear()
    value = RecordingStrftime(2030, 1, 2, 3, 4, 5, 678, tzinfo=tz(hours=2))
    assert write(value) == "written by the subclass \u00e9".encode()
    [(given, fmt)] = RecordingStrftime.calls
    assert fmt == FORMAT
    assert isinstance(given, RecordingStrftime)
    assert given.replace(tzinfo=None) == datetime.datetime(2030, 1, 2, 1, 4, 5, 678)
    assert given.utcoffset() in (None, datetime.timedelta(0))

    RecordingStrftime.calls.clear()
    naive = RecordingStrftime(2030, 1, 2, 3, 4, 5)
    write(naive)
    assert RecordingStrftime.calls == [(naive, FORMAT)]


def test_subclass_timetuple_is_what_the_standard_strftime_reads(c_time_locale):
    class Shifted(datetime.datetime):
        def timetuple(self):
            return datetime.datetime(2030, 1, 3, 4, 4, 5).timetuple()

    value = Shifted(2030, 1, 2, 3, 4, 5)
    assert value.strftime(FORMAT) == "Thu, 03 Jan 2030 04:04:05 GMT"
    assert write(value) == b"Thu, 03 Jan 2030 04:04:05 GMT"


@pytest.mark.parametrize(
    "result, error",
    [
        (ZeroDivisionError("from strftime"), ZeroDivisionError),
        ("\ud800", UnicodeEncodeError),
        (b"bytes", AttributeError),
    ],
)
def test_subclass_strftime_failures_propagate(result, error):
    class Odd(datetime.datetime):
        def strftime(self, fmt):
            if isinstance(result, Exception):
                raise result
            return result

    with pytest.raises(error) as excinfo:
        write(Odd(2030, 1, 2))
    assert traceback_names(excinfo)[1] == WRITE_ENTRY


@pytest.mark.parametrize(
    "value, got",
    [
        ("Wed, 02 Jan 2030 03:04:05 GMT", "str"),
        (datetime.date(2030, 1, 2), "datetime.date"),
        (WHEN_BYTES, "bytes"),
        (1893553445, "int"),
    ],
)
def test_write_refuses_other_types(value, got):
    with pytest.raises(TypeError) as excinfo:
        write(value)
    assert str(excinfo.value) == (
        f"Argument 'value' has incorrect type (expected datetime.datetime, got {got})"
    )
    assert traceback_names(excinfo)[1:] == [WRITE_ENTRY]


def test_write_none():
    with pytest.raises(AttributeError) as excinfo:
        write(None)
    assert str(excinfo.value) == "'NoneType' object has no attribute 'strftime'"
    assert traceback_names(excinfo)[1:] == [WRITE_ENTRY]


# ---------------------------------------------------------------------------
# Reading


@pytest.mark.parametrize(
    "raw, expected",
    [
        (WHEN_BYTES, WHEN),
        (b"Wed, 02 Jan 2030 03:04:05 +0200", WHEN),
        (b"Wed, 02 Jan 2030 03:04:05 -0800", WHEN),
        (b"02 Jan 2030 03:04:05 GMT", WHEN),
        (b"Wed, 02 Jan 2030 03:04:05 UTC", WHEN),
        (b"Wed, 02 Jan 2030 03:04:05", WHEN),
        (b"Thu, 29 Feb 2024 23:59:59 GMT", datetime.datetime(2024, 2, 29, 23, 59, 59)),
    ],
)
def test_read(raw, expected):
    value = read(raw)
    assert type(value) is datetime.datetime
    assert value == expected
    assert value.tzinfo is None
    assert value.microsecond == 0
    assert value == email.utils.parsedate_to_datetime(raw.decode()).replace(tzinfo=None)


@pytest.mark.parametrize(
    "raw, error, message",
    [
        (b"", ValueError, 'Invalid date value or format ""'),
        (b"garbage", ValueError, 'Invalid date value or format "garbage"'),
        (b"Wed, 02 Foo 2030 03:04:05 GMT", ValueError, None),
        (b"\xff", UnicodeDecodeError, None),
    ],
)
def test_read_failures(raw, error, message):
    with pytest.raises(error) as excinfo:
        read(raw)
    if message is not None:
        assert str(excinfo.value) == message
    assert traceback_names(excinfo)[1] == READ_ENTRY


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "value, got",
    [
        ("Wed, 02 Jan 2030 03:04:05 GMT", "str"),
        (bytearray(WHEN_BYTES), "bytearray"),
        (BytesSub(WHEN_BYTES), "BytesSub"),
        (memoryview(WHEN_BYTES), "memoryview"),
        (WHEN, "datetime.datetime"),
    ],
)
def test_read_refuses_other_types(value, got):
    with pytest.raises(TypeError) as excinfo:
        read(value)
    assert str(excinfo.value) == f"Argument 'value' has incorrect type (expected bytes, got {got})"
    assert traceback_names(excinfo)[1:] == [READ_ENTRY]


def test_read_none():
    with pytest.raises(AttributeError) as excinfo:
        read(None)
    assert str(excinfo.value) == "'NoneType' object has no attribute 'decode'"
    assert traceback_names(excinfo)[1:] == [READ_ENTRY]


# ---------------------------------------------------------------------------
# parsedate_to_datetime is looked up at each reading call


class ReplaceGives:
    """A parse result whose replace(tzinfo=None) returns a chosen object."""

    def __init__(self, result):
        self.result = result

    def replace(self, **kwargs):
        assert kwargs == {"tzinfo": None}
        return self.result


def test_rebound_parser_is_used(restore_module_attributes):
    seen = []

    def parse(text):
        seen.append(text)
        return datetime.datetime(2001, 2, 3, 4, 5, 6, 7, tzinfo=tz(hours=5))

    restore_module_attributes.parsedate_to_datetime = parse
    assert read(WHEN_BYTES) == datetime.datetime(2001, 2, 3, 4, 5, 6, 7)
    assert read(b"") == datetime.datetime(2001, 2, 3, 4, 5, 6, 7)
    assert seen == ["Wed, 02 Jan 2030 03:04:05 GMT", ""]
    assert all(type(text) is str for text in seen)


@pytest.mark.parametrize(
    "result", [None, DatetimeSub(2030, 1, 2), datetime.datetime(2030, 1, 2)]
)
def test_result_may_be_a_datetime_or_none(restore_module_attributes, result):
    restore_module_attributes.parsedate_to_datetime = lambda text: ReplaceGives(result)
    assert read(WHEN_BYTES) is result


@pytest.mark.parametrize(
    "result, name",
    [(5, "int"), (datetime.date(2030, 1, 2), "datetime.date"), ("when", "str")],
)
def test_result_of_another_type_is_refused(restore_module_attributes, result, name):
    restore_module_attributes.parsedate_to_datetime = lambda text: ReplaceGives(result)
    with pytest.raises(TypeError) as excinfo:
        read(WHEN_BYTES)
    assert str(excinfo.value) == f"Cannot convert {name} to datetime.datetime"
    assert traceback_names(excinfo)[1:] == [READ_ENTRY]


def test_parser_exceptions_propagate(restore_module_attributes):
    def parse(text):
        raise KeyError(text)

    restore_module_attributes.parsedate_to_datetime = parse
    with pytest.raises(KeyError) as excinfo:
        read(WHEN_BYTES)
    assert excinfo.value.args == ("Wed, 02 Jan 2030 03:04:05 GMT",)
    assert traceback_names(excinfo)[1] == READ_ENTRY


@pytest.mark.parametrize("raw", [WHEN_BYTES, None, b"\xff", b""])
def test_missing_parser_is_reported_before_the_argument_is_examined(
    restore_module_attributes, raw
):
    del restore_module_attributes.parsedate_to_datetime
    with pytest.raises(NameError) as excinfo:
        read(raw)
    assert str(excinfo.value) == "name 'parsedate_to_datetime' is not defined"
    assert traceback_names(excinfo)[1:] == [READ_ENTRY]


def test_type_check_comes_before_the_parser_lookup(restore_module_attributes):
    del restore_module_attributes.parsedate_to_datetime
    with pytest.raises(TypeError, match="expected bytes, got str"):
        read("Wed, 02 Jan 2030 03:04:05 GMT")


def test_parser_found_among_builtins(restore_module_attributes, monkeypatch):
    del restore_module_attributes.parsedate_to_datetime
    monkeypatch.setattr(
        builtins, "parsedate_to_datetime", lambda text: datetime.datetime(1999, 1, 1),
        raising=False,
    )
    assert read(WHEN_BYTES) == datetime.datetime(1999, 1, 1)


def test_writing_does_not_use_the_parser(restore_module_attributes):
    del restore_module_attributes.parsedate_to_datetime
    assert write(WHEN) == WHEN_BYTES


# ---------------------------------------------------------------------------
# The C-level entries


@pytest.mark.parametrize("flag", [0, 1, -3])
def test_c_entries_ignore_the_flag(capi, flag):
    assert capi.datetime_to_cookie_format(WHEN, flag) == WHEN_BYTES
    aware = datetime.datetime(2030, 1, 2, 5, 4, 5, tzinfo=tz(hours=2))
    assert capi.datetime_to_cookie_format(aware, flag) == WHEN_BYTES
    assert capi.datetime_from_cookie_format(WHEN_BYTES, flag) == WHEN
    assert capi.datetime_from_cookie_format(b"02 Jan 2030 03:04:05 +0200", flag) == WHEN


def test_c_entries_check_no_argument_type(capi):
    assert capi.datetime_from_cookie_format(BytesSub(WHEN_BYTES), 0) == WHEN


def test_c_entries_report_failures(capi):
    with pytest.raises(AttributeError, match="has no attribute 'strftime'") as excinfo:
        capi.datetime_to_cookie_format(None, 0)
    assert WRITE_ENTRY in traceback_names(excinfo)
    with pytest.raises(AttributeError, match="has no attribute 'decode'") as excinfo:
        capi.datetime_from_cookie_format(None, 0)
    assert READ_ENTRY in traceback_names(excinfo)
    with pytest.raises(ValueError) as excinfo:
        capi.datetime_from_cookie_format(b"garbage", 1)
    assert READ_ENTRY in traceback_names(excinfo)


# ---------------------------------------------------------------------------
# English names whatever the process locale

FOREIGN_LOCALES = ["de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8", "it_IT.UTF-8", "ru_RU.UTF-8",
                   "de_DE.utf8", "fr_FR.utf8", "de_DE", "fr_FR"]


def _installed_foreign_locale():
    saved = locale.setlocale(locale.LC_TIME)
    try:
        for name in FOREIGN_LOCALES:
            try:
                locale.setlocale(locale.LC_TIME, name)
            except locale.Error:
                continue
            return name
    finally:
        locale.setlocale(locale.LC_TIME, saved)
    return None


@pytest.fixture(scope="module")
def foreign_locale(tmp_path_factory):
    """(locale name, LOCPATH or None): an installed non-English locale, or
    one compiled into a temporary directory when none is installed."""
    name = _installed_foreign_locale()
    if name is not None:
        return name, None
    localedef = shutil.which("localedef")
    if localedef is None:
        pytest.skip("no non-English locale installed and no localedef")
    directory = tmp_path_factory.mktemp("locales")
    try:
        subprocess.run(
            # A one-byte character set compiles several times faster.
            [localedef, "-i", "de_DE", "-f", "ISO-8859-1", str(directory / "de_DE.ISO-8859-1")],
            capture_output=True, timeout=120, check=False,
        )
    except (OSError, subprocess.TimeoutExpired):
        pass
    if not (directory / "de_DE.ISO-8859-1").exists():
        pytest.skip("no non-English locale installed and none could be compiled")
    return "de_DE.ISO-8859-1", str(directory)


def test_names_are_english_under_a_foreign_locale(foreign_locale, monkeypatch, c_time_locale):
    name, locpath = foreign_locale
    if locpath is not None:
        monkeypatch.setenv("LOCPATH", locpath)
    result = json.loads(
        run_python(
            f"""
            import datetime, json, locale
            locale.setlocale(locale.LC_TIME, {name!r})
            from glimmering_copper_otter import cookies

            class Sub(datetime.datetime):
                pass

            start = datetime.datetime(2030, 1, 1, 12, 0, 0)
            days = [start + datetime.timedelta(days=n) for n in range(365)]
            aware = datetime.datetime(2030, 3, 1, 1, 0, 0,
                                      tzinfo=datetime.timezone(datetime.timedelta(hours=2)))
            print(json.dumps({{
                "local": [d.strftime("%a %b") for d in days],
                "written": [cookies.datetime_to_cookie_format(d).decode() for d in days],
                "sub": cookies.datetime_to_cookie_format(Sub(2030, 3, 2, 3, 4, 5)).decode(),
                "aware": cookies.datetime_to_cookie_format(aware).decode(),
                "read": cookies.datetime_from_cookie_format(
                    b"Sat, 02 Mar 2030 03:04:05 GMT").isoformat(),
            }}))
            """
        ).stdout
    )
    start = datetime.datetime(2030, 1, 1, 12, 0, 0)
    days = [start + datetime.timedelta(days=n) for n in range(365)]
    if result["local"] == [d.strftime("%a %b") for d in days]:
        pytest.skip(f"{name} has English day and month names")
    assert result["written"] == [d.strftime(FORMAT) for d in days]
    assert result["sub"] == "Sat, 02 Mar 2030 03:04:05 GMT"
    assert result["aware"] == "Thu, 28 Feb 2030 23:00:00 GMT"
    assert result["read"] == "2030-03-02T03:04:05"
