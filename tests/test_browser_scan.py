"""read_set_cookie's quick paths against the reference model: the scan for
control characters (eight bytes at a time until one turns up, so a byte at
each offset of a long header), the attributes split at ";" and "=", and the
Domain read in one pass when it is a plain host name (the full reading for
anything else)."""

import pytest

from test_browser import agree

URL = "https://www.example.test/a/b"
BASE = b"sid=abc; Path=/; Domain=example.test; Max-Age=60; Secure; HttpOnly; SameSite=Lax"
BYTES = [b"\x00", b"\x01", b"\t", b"\x1f", b"\x7f", b" ", b"\x80", b"\xff", b";", b"="]


@pytest.mark.parametrize("byte", BYTES)
def test_a_byte_at_each_offset(byte):
    for at in range(len(BASE) + 1):
        agree(BASE[:at] + byte + BASE[at:], URL)
        # and a second one later, after the first word that holds a control byte
        agree(BASE[:at] + byte + BASE[at:] + b"\x01", URL)


@pytest.mark.parametrize("domain", [
    b"example.test", b"EXAMPLE.Test", b".example.test", b"example.test.", b"www.example.test",
    b"example.test..", b".", b"..", b"test", b"ex_ample.test", b"x-y.example.test",
    b"127.0.0.1", b"0x7f.1", b"1.2.3.4.", b"example.1", b"example.0x1", b"example.09",
    b"[::1]", b"example.test:443", b"*.example.test", b"exa mple.test", b"ex%61mple.test",
    b"b\xc3\xbccher.example.test", b"EXAMPLE.TEST\xc3\xa9", b"a" * 300 + b".example.test",
])
def test_domains(domain):
    for url in (URL, "http://127.0.0.1/", "https://b\u00fccher.example.test/"):
        agree(b"sid=1; Domain=" + domain, url)
