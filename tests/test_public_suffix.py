"""The Public Suffix List built into the package: registrable domains as
Chromium computes them for cookies, against a plain-Python reference read
from the same list file (tests/gco_testkit/public_suffix_model.py), and no
shared state between threads."""

import pytest
from hypothesis import given, settings, strategies as st

from conftest import run_python
from gco_testkit import public_suffix_model as model

from glimmering_copper_otter import browser

ROWS = [
    # host, registrable domain with the list, without it
    ("www.example.co.uk", "example.co.uk", "co.uk"),
    ("co.uk", None, "co.uk"),
    ("uk", None, None),
    ("a.b.example.test", "example.test", "example.test"),  # an unknown TLD is a registry
    ("test", None, None),
    ("localhost", None, None),
    ("a.b.x.github.io", "x.github.io", "github.io"),  # private registries count
    ("github.io", None, "github.io"),
    # a wildcard's own text is a registry too (Chromium; the list's own
    # algorithm would give kawasaki.jp a registrable domain)
    ("kawasaki.jp", None, "kawasaki.jp"),
    ("x.kawasaki.jp", None, "kawasaki.jp"),
    ("a.x.kawasaki.jp", "a.x.kawasaki.jp", "kawasaki.jp"),
    ("www.city.kawasaki.jp", "city.kawasaki.jp", "kawasaki.jp"),  # an exception
    ("www.example.com.", "example.com.", "example.com."),  # one last dot is kept
    ("example.com..", None, None),
    ("..example.com", "example.com", "example.com"),  # leading dots are dropped
    ("a..com", ".com", ".com"),
    ("WWW.Example.COM", "example.com", "example.com"),
    ("www.xn--55qx5d.cn", "www.xn--55qx5d.cn", "xn--55qx5d.cn"),  # 公司.cn, as A-labels
    ("127.0.0.1", None, None),
    ("[::1]", None, None),
    ("", None, None),
    (".", None, None),
]


@pytest.mark.parametrize("host, with_list, without_list", ROWS)
def test_registrable_domain(host, with_list, without_list):
    assert browser.registrable_domain(host) == with_list
    assert model.registrable_domain(host.lower()) == with_list
    previous = browser.use_public_suffix_list(False)
    try:
        assert browser.registrable_domain(host) == without_list
        assert model.registrable_domain(host.lower(), use_list=False) == without_list
    finally:
        browser.use_public_suffix_list(previous)


def test_every_rule_agrees_with_the_reference():
    # each rule alone and under one and two labels: the generated table, its
    # hashes and the lookup's index arithmetic all take part
    for rule in model.rules():
        for host in (rule, "a." + rule, "b.a." + rule):
            assert browser.registrable_domain(host) == model.registrable_domain(host), host


LABELS = st.sampled_from(["a", "co", "uk", "jp", "kawasaki", "city", "github", "io", "ck",
                          "www", "xn--55qx5d", "cn", "test", "", "com"])


@settings(max_examples=500, deadline=None)
@given(st.lists(LABELS, max_size=6).map(".".join))
def test_hosts_agree_with_the_reference(host):
    assert browser.registrable_domain(host) == model.registrable_domain(host)


def test_version_and_arguments():
    assert browser.public_suffix_list_version() == model.version() == "2026-10-22"
    with pytest.raises(TypeError):
        browser.registrable_domain(b"example.com")
    with pytest.raises(ValueError):
        browser.registrable_domain("bücher.example")


def test_first_lookups_from_many_threads_at_once():
    # Nothing is loaded at the first lookup, so threads that start together
    # in a fresh interpreter cannot leave a wrong answer behind.
    run_python("""
        import sys, threading
        sys.setswitchinterval(1e-6)
        from glimmering_copper_otter.browser import check
        start, wrong = threading.Barrier(8), []
        def run():
            start.wait()
            for _ in range(200):
                found = check(b"a=b; Domain=co.uk", "https://www.example.co.uk/")
                if not found or not found[0].startswith("InvalidDomain"):
                    wrong.append(found)
        threads = [threading.Thread(target=run) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert not wrong, wrong[:3]
    """)
