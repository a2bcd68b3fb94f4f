"""The pure conversions of a browser's record to a row
(`formats.chromium`, `formats.firefox`): whatever a damaged or hostile
database holds, a record gives a row of the row contract's types or
ValueError; and the pieces of Firefox's origin attributes read as Firefox
writes them.  What each column means is tested through whole files
(test_browser_chromium_files.py, test_browser_firefox_files.py)."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.formats import chromium, firefox

# What an SQLite column can hold, and the values that mean something.
_VALUES = st.one_of(st.none(), st.integers(-(2**63), 2**63 - 1), st.floats(),
                    st.binary(max_size=20), st.text(max_size=20),
                    st.sampled_from([0, 1, 2, 3, -1, 256, 13000000000000000, b"/", b"a"]))
_TYPES = (bytes, bytes, str, bool, bytes, (int, type(None)), int, int, bool, bool, int, bool, str,
          int, int, int, bool, bool)


# (what converts, the strategies of its arguments): each gives a row of the
# contract's types or raises ValueError.
CONVERSIONS = [
    (chromium.to_row, [st.fixed_dictionaries(dict.fromkeys(chromium.COLUMNS, _VALUES)),
                       st.binary(max_size=20), st.integers(18, 30)]),
    (lambda record, schema, key: firefox.to_row(record, schema, key=key),
     [st.fixed_dictionaries(dict.fromkeys(firefox.COLUMNS, _VALUES)), st.integers(10, 20),
      st.one_of(st.none(), st.tuples(st.text(max_size=10), st.booleans()))]),
    (lambda cookie: firefox.session_to_row(cookie, 1, key=None),
     [st.dictionaries(st.sampled_from(["host", "name", "value", "path", "secure", "httponly",
                                       "sameSite", "schemeMap"]), _VALUES)]),
]


@pytest.mark.parametrize("convert, arguments", CONVERSIONS, ids=["chromium", "firefox", "session"])
@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_any_record_gives_a_row_or_value_error(convert, arguments, data):
    try:
        row = convert(*data.draw(st.tuples(*arguments)))
    except ValueError:
        return
    assert len(row) == len(_rows.FIELDS)
    for item, kind in zip(row, _TYPES):
        assert isinstance(item, kind), (row, item, kind)


@given(st.text(max_size=40))
def test_any_attributes_text_reads_or_raises_value_error(text):
    try:
        firefox.partition(firefox.origin_attributes(text).get("partitionKey", ""))
    except ValueError:
        pass


# (suffix, the attributes, the partition: site and cross-site ancestor);
# None for attributes that do not read.
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
    *[(bad, None, None) for bad in ["userContextId=2", "^userContextId", "^partitionKey=(ftp,x)",
                                    "^partitionKey=https,x", "^partitionKey=(https,)"]],
]


@pytest.mark.parametrize("suffix, attributes, key", ATTRIBUTES)
def test_origin_attributes(suffix, attributes, key):
    if attributes is None:
        with pytest.raises(ValueError):
            firefox.partition(firefox.origin_attributes(suffix).get("partitionKey", ""))
    else:
        assert firefox.origin_attributes(suffix) == attributes
        assert firefox.partition(attributes.get("partitionKey", "")) == key


def test_a_source_scheme_of_another_type_reads_as_unset():
    record = dict.fromkeys(chromium.COLUMNS, 0) | {
        "host_key": "x.test", "name": b"a", "path": b"/", "top_frame_site_key": "",
        "creation_utc": chromium.EPOCH_DELTA, "last_access_utc": chromium.EPOCH_DELTA,
        "samesite": -1, "priority": 1, "source_scheme": 1.0, "source_port": 443}
    assert chromium.to_row(record, b"v", 24)[_rows.SOURCE_SCHEME] == 0
