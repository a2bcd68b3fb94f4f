"""The mozLz4 decoder of Firefox's session store: exactly what the lz4
package decompresses, and ValueError, never a crash or a runaway
allocation, for broken files.  Arbitrary bytes are the fuzz target's
(target_mozlz4 in gco_testkit.fuzz_targets)."""

import pytest

from glimmering_copper_otter.browsers import mozlz4

lz4_block = pytest.importorskip("lz4.block", reason="the test extra: pip install '.[test]'")

# What a session store holds, and the shapes LZ4 takes.
CONTENTS = {
    "empty": b"", "short": b"a", "literals only": bytes(range(200)), "long run": b"x" * 100000,
    "overlapping match": b"ab" * 5000,
    "long literal lengths": bytes(range(256)) * 3 + b"z" * 300,
    "json": b'{"cookies": [' + b'{"host": "www.site-a.test", "name": "s"},' * 500 + b"{}]}",
}


@pytest.mark.parametrize("content", list(CONTENTS.values()), ids=list(CONTENTS))
@pytest.mark.parametrize("mode", ["default", "high_compression", "fast"])
def test_decodes_what_lz4_encodes(content, mode):
    data = mozlz4.MAGIC + lz4_block.compress(content, mode=mode)
    assert mozlz4.decode(data) == content


# id: (bytes, the error's words)
BROKEN = {
    "no magic": (b"mozLz41\0\x01\0\0\0\x10a", "not a mozLz4 file"),
    "no size": (b"mozLz40\0\x01", "without its size"),
    "too large": (b"mozLz40\0\xff\xff\xff\xff", "over"),
    "empty block": (b"mozLz40\0\x01\0\0\0", "ends before"),
    "literals past the end": (b"mozLz40\0\x05\0\0\0\x50ab", "literals run past"),
    "more than the size": (b"mozLz40\0\x01\0\0\0\x20ab", "literals run past"),
    "less than the size": (b"mozLz40\0\x05\0\0\0\x10a", "not the 5"),
    "offset zero": (b"mozLz40\0\x09\0\0\0\x10a\0\0\x00", "points before"),
    "offset before start": (b"mozLz40\0\x09\0\0\0\x10a\x02\0\x00", "points before"),
    "cut offset": (b"mozLz40\0\x09\0\0\0\x10a\x01", "offset runs past"),
    "length runs out": (b"mozLz40\0\x09\0\0\0\xf0\xff\xff", "length runs past"),
    "match past the size": (b"mozLz40\0\x03\0\0\0\x10a\x01\0\x00", "match runs past"),
}


@pytest.mark.parametrize("data, words", list(BROKEN.values()), ids=list(BROKEN))
def test_broken_files_raise(data, words):
    with pytest.raises(ValueError, match=words):
        mozlz4.decode(data)
