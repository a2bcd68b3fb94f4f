"""The pure conversions of a browser's record to a row
(`formats.chromium`, `formats.firefox`): whatever a damaged or hostile
database holds, a record gives a row of the row contract's types or
ValueError; and the pieces of Firefox's origin attributes read as Firefox
writes them.  What each column means is tested through whole files
(test_browser_chromium_files.py, test_browser_firefox_files.py)."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from glimmering_copper_otter import _rows
from glimmering_copper_otter.formats import chromium, firefox

# What an SQLite column can hold, and the values that mean something.
_VALUES = st.one_of(st.none(), st.integers(-(2**63), 2**63 - 1), st.floats(),
                    st.binary(max_size=20), st.text(max_size=20),
                    st.sampled_from([0, 1, 2, 3, -1, 256, 13000000000000000, b"/", b"a"]))
_TYPES = (bytes, bytes, str, bool, bytes, (int, type(None)), int, int, bool, bool, int, bool, str,
          int, int, int, bool, bool)


def _check(row):
    assert len(row) == len(_rows.FIELDS)
    for item, kind in zip(row, _TYPES):
        assert isinstance(item, kind), (row, item, kind)


@settings(max_examples=300, deadline=None)
@given(st.fixed_dictionaries({name: _VALUES for name in chromium.COLUMNS}),
       st.binary(max_size=20), st.integers(18, 30))
def test_any_chromium_record_gives_a_row_or_value_error(record, value, version):
    try:
        row = chromium.to_row(record, value, version)
    except ValueError:
        return
    _check(row)


@settings(max_examples=300, deadline=None)
@given(st.fixed_dictionaries({name: _VALUES for name in firefox.COLUMNS}), st.integers(10, 20),
       st.one_of(st.none(), st.tuples(st.text(max_size=10), st.booleans())))
def test_any_firefox_record_gives_a_row_or_value_error(record, schema, key):
    try:
        row = firefox.to_row(record, schema, key=key)
    except ValueError:
        return
    _check(row)


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(st.sampled_from(["host", "name", "value", "path", "secure", "httponly",
                                        "sameSite", "schemeMap"]), _VALUES))
def test_any_session_cookie_gives_a_row_or_value_error(cookie):
    try:
        row = firefox.session_to_row(cookie, 1, key=None)
    except ValueError:
        return
    _check(row)


@given(st.text(max_size=40))
def test_any_attributes_text_reads_or_raises_value_error(text):
    try:
        attributes = firefox.origin_attributes(text)
        firefox.partition(attributes.get("partitionKey", ""))
    except ValueError:
        pass


# (suffix, the attributes, the partition: site and cross-site ancestor)
ATTRIBUTES = [
    ("", {}, None),
    ("^userContextId=2", {"userContextId": "2"}, None),
    ("^partitionKey=%28https%2Cexample.com%29", {"partitionKey": "(https,example.com)"},
     ("https://example.com", False)),
    ("^partitionKey=%28http%2Clocalhost%2C8080%29", {"partitionKey": "(http,localhost,8080)"},
     ("http://localhost", False)),
    ("^partitionKey=%28https%2Cexample.com%2Cf%29&userContextId=1",
     {"partitionKey": "(https,example.com,f)", "userContextId": "1"},
     ("https://example.com", True)),
]


@pytest.mark.parametrize("suffix, attributes, key", ATTRIBUTES)
def test_origin_attributes(suffix, attributes, key):
    assert firefox.origin_attributes(suffix) == attributes
    assert firefox.partition(attributes.get("partitionKey", "")) == key


@pytest.mark.parametrize("bad", ["userContextId=2", "^userContextId", "^partitionKey=(ftp,x)",
                                 "^partitionKey=https,x", "^partitionKey=(https,)"])
def test_origin_attributes_that_do_not_read(bad):
    with pytest.raises(ValueError):
        firefox.partition(firefox.origin_attributes(bad).get("partitionKey", ""))


def test_a_source_scheme_of_another_type_reads_as_unset():
    record = dict.fromkeys(chromium.COLUMNS, 0) | {
        "host_key": "x.test", "name": b"a", "path": b"/", "top_frame_site_key": "",
        "creation_utc": chromium.EPOCH_DELTA, "last_access_utc": chromium.EPOCH_DELTA,
        "samesite": -1, "priority": 1, "source_scheme": 1.0, "source_port": 443}
    assert chromium.to_row(record, b"v", 24)[_rows.SOURCE_SCHEME] == 0
