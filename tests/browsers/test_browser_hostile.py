"""The hostile profiles of the test kit (gco_testkit.hostile.PROFILES), each
loaded or found: what loads, what is reported, what raises."""

import pytest

pytest.importorskip("cryptography", reason="the browsers extra: pip install '.[browsers]'")

from gco_testkit import hostile

from glimmering_copper_otter import browsers
from glimmering_copper_otter.browsers import _secret_service
from glimmering_copper_otter.jar import CookieJar


@pytest.mark.parametrize("case", hostile.PROFILES, ids=[case.name for case in hostile.PROFILES])
def test_a_hostile_profile(tmp_path, monkeypatch, case):
    monkeypatch.setattr(_secret_service, "password", lambda browser: (None, "none in a test"))
    browser, path, keywords = case.make(tmp_path)
    if isinstance(case.loaded, type):
        with pytest.raises(case.loaded, match=case.counts):
            CookieJar().load_browser(browser, path, **keywords)
        return
    if browser is None:
        found = browsers.find(home=path)
        assert [(profile.browser, profile.name) for profile in found] == case.counts
        return
    report = CookieJar().load_browser(browser, path, **keywords)
    assert (report.loaded, dict(report.counts())) == (case.loaded, case.counts), report.skipped
    assert case.note is None or any(case.note in note for note in report.notes), report.notes
