"""Firefox's mozLz4 files (`recovery.jsonlz4`, `sessionstore.jsonlz4`):
the magic `mozLz40\\0`, the decompressed size (4 bytes, little-endian),
then one LZ4 block.  The decoder is plain Python and bounded: it never
writes past the size the header gives, nor reads past the input, and it
raises ValueError for anything else, whatever bytes arrive."""

MAGIC = b"mozLz40\0"
# A session store larger than this is refused rather than decompressed.
MAX_SIZE = 512 * 1024 * 1024


def _length(data, i, length):
    """A literal or match length of 15 continues in bytes of 255 and one
    last byte below it."""
    n = len(data)
    while True:
        if i >= n:
            raise ValueError("an LZ4 length runs past the end")
        byte = data[i]
        i += 1
        length += byte
        if byte != 255:
            return i, length


def decode_block(data: bytes, size: int) -> bytes:
    """The `size` bytes an LZ4 block decompresses to; ValueError when the
    block is damaged or does not give exactly `size` bytes."""
    if size == 0:
        # An empty block is the one token 0, as LZ4's own decoder takes it.
        if data != b"\0":
            raise ValueError("an LZ4 block of no bytes is the one byte 0")
        return b""
    out = bytearray()
    i, n = 0, len(data)
    while True:
        if i >= n:
            raise ValueError("the LZ4 block ends before its last literals")
        token = data[i]
        i += 1
        length = token >> 4
        if length == 15:
            i, length = _length(data, i, length)
        if i + length > n or len(out) + length > size:
            raise ValueError("LZ4 literals run past the end")
        out += data[i:i + length]
        i += length
        if i == n:
            break
        if i + 2 > n:
            raise ValueError("an LZ4 match offset runs past the end")
        offset = data[i] | data[i + 1] << 8
        i += 2
        if offset == 0 or offset > len(out):
            raise ValueError("an LZ4 match points before the start")
        length = token & 15
        if length == 15:
            i, length = _length(data, i, length)
        length += 4
        if len(out) + length > size:
            raise ValueError("an LZ4 match runs past the size the header gives")
        start = len(out) - offset
        if offset >= length:
            out += out[start:start + length]
        else:
            # An overlapping match repeats the last `offset` bytes.
            pattern = bytes(out[start:])
            repeats, rest = divmod(length, offset)
            out += pattern * repeats + pattern[:rest]
    if len(out) != size:
        raise ValueError(f"the LZ4 block gives {len(out)} bytes, not the {size} of its header")
    return bytes(out)


def decode(data: bytes, max_size: int = MAX_SIZE) -> bytes:
    """The content of a mozLz4 file's bytes; ValueError for bytes that are
    not one."""
    if data[:8] != MAGIC:
        raise ValueError("not a mozLz4 file (no mozLz40 magic)")
    if len(data) < 12:
        raise ValueError("a mozLz4 file without its size")
    size = int.from_bytes(data[8:12], "little")
    if size > max_size:
        raise ValueError(f"a mozLz4 file of {size} bytes decompressed, over {max_size}")
    return decode_block(memoryview(data)[12:].tobytes(), size)
