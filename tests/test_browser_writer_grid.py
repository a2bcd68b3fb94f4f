"""Cookies written by the writer, against what Chromium stored for them
(tests/data/browser_writer_grid.json, recorded by
``python -m tools.recorder record-writer-grid``; no browser is needed here).

Each row holds a Cookie's constructor arguments, the writer's keywords, and
either the header the writer wrote and what Chromium stored for it, or the
writer's error.  For every row, either Chromium stored what the cookie says,
or ``check`` tells the cookie's owner why not.
"""

import datetime as dt
import json
from pathlib import Path

import pytest

from glimmering_copper_otter.writer import write_cookie_for_response
from gco_testkit.writer_grid import said, stored_as_said
from tools.recorder.form import make_cookie

DOC = json.loads((Path(__file__).parent / "data" / "browser_writer_grid.json").read_text())
ROWS = DOC["rows"]
PARAMS = [pytest.param(r, id=r["id"]) for r in ROWS]


@pytest.mark.parametrize("row", PARAMS)
def test_stored_as_said_or_reported(row):
    browser = pytest.importorskip(
        "glimmering_copper_otter.browser",
        reason="glimmering_copper_otter.browser (check) is not built in this checkout")
    now = dt.datetime.fromisoformat(row["recorded_at"])
    says = said(row["cookie"], row["keywords"], row["url"], now)
    if row["writer_error"] is None and stored_as_said(row["expected"], says):
        return
    findings = browser.check(make_cookie(row["cookie"]), row["url"], now=now, **row["keywords"])
    assert findings, (row["expected"], says, row["reasons"], row["writer_error"])


@pytest.mark.parametrize("row", PARAMS)
def test_the_writer_still_writes_the_recorded_header(row):
    cookie = make_cookie(row["cookie"])
    if row["writer_error"] is None:
        header = write_cookie_for_response(cookie, **row["keywords"])
        assert header == row["header"].encode("latin-1")
    else:
        with pytest.raises(ValueError) as excinfo:
            write_cookie_for_response(cookie, **row["keywords"])
        assert f"ValueError: {excinfo.value}" == row["writer_error"]


def test_grid_shape():
    assert 80 <= len(ROWS) <= 150
    assert [r["id"] for r in ROWS] == sorted({r["id"] for r in ROWS})
    assert all(r["chromium"] == DOC["chromium"] for r in ROWS)
    assert all((r["header"] is None) == (r["devtools"] is None) for r in ROWS)
