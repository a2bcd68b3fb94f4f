"""The hostile profiles of the test kit (gco_testkit.hostile.PROFILES), each
loaded or found: what loads, what is reported, what raises."""

import pytest

pytest.importorskip("cryptography", reason="the browsers extra: pip install '.[browsers]'")

from gco_testkit import hostile

from glimmering_copper_otter import browsers
from glimmering_copper_otter.browsers import _secret_service
from glimmering_copper_otter.jar import CookieJar


@pytest.mark.parametrize("make, loaded, counts, note",
                         [(*case[1:], None)[:4] for case in hostile.PROFILES],
                         ids=[case[0] for case in hostile.PROFILES])
def test_a_hostile_profile(tmp_path, monkeypatch, make, loaded, counts, note):
    monkeypatch.setattr(_secret_service, "password", lambda browser: (None, "none in a test"))
    browser, path, keywords = make(tmp_path)
    if isinstance(loaded, type):
        with pytest.raises(loaded, match=counts):
            CookieJar().load_browser(browser, path, **keywords)
    elif browser is None:
        assert [(profile.browser, profile.name) for profile in browsers.find(home=path)] == counts
    else:
        report = CookieJar().load_browser(browser, path, **keywords)
        assert (report.loaded, dict(report.counts())) == (loaded, counts), report.skipped
        assert note is None or any(note in line for line in report.notes), report.notes
