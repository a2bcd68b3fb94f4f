"""What the commands share: the program's name, header bytes as text, the
argument parser that reports in one line, table cells, notes."""

import argparse
import codecs
import os
import sys

from glimmering_copper_otter import __version__

PROG = "python -m glimmering_copper_otter"


def _latin1_for_invalid(error):
    # A byte outside a valid UTF-8 sequence stands for its Latin-1 character.
    return error.object[error.start:error.end].decode("latin-1"), error.end


codecs.register_error("glimmering_copper_otter.latin1", _latin1_for_invalid)


def text(raw):
    """Header bytes as text: UTF-8, any other byte its Latin-1 character."""
    return raw.decode("utf-8", "glimmering_copper_otter.latin1")


def escaped(value):
    """Text safe to print to a terminal: unprintable characters escaped."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in value)


class Parser(argparse.ArgumentParser):
    """Reports bad arguments in one line on standard error, status 2, with
    the arguments' control characters escaped; knows --version."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.add_argument("--version", action="version", version=f"{PROG} {__version__}")

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {escaped(message)}\n")


def shown(value):
    """A field as a table cell: missing is "-", text is quoted when bare
    text would be ambiguous or unsafe for a terminal."""
    if value is None:
        return "-"
    if isinstance(value, str):
        if value and value != "-" and value.isprintable() and value == value.strip():
            return value
        return repr(value)
    return str(value)


def note(message):
    """A line for the reader on standard error."""
    print(escaped(message), file=sys.stderr)


def without_prefix(raw, prefix):
    """Header bytes without a pasted header name (prefix, such as
    b"set-cookie:"), said in a note."""
    if raw[:len(prefix)].lower() == prefix:
        raw = raw[len(prefix):].lstrip(b" \t")
        name = prefix.decode().title().rstrip(":")
        note(f"note: removed the pasted '{name}:' before the header")
    return raw


def header_arguments(args, prefix):
    """The header values as bytes (arguments, else standard input's lines),
    each without a pasted header name."""
    lines = map(os.fsencode, args.headers) if args.headers else (
        line.rstrip(b"\r\n") for line in sys.stdin.buffer)
    for raw in lines:
        raw = without_prefix(raw, prefix)
        if raw:
            yield raw
