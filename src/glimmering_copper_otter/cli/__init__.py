"""The command line: ``python -m glimmering_copper_otter --help``.

    python -m glimmering_copper_otter [parse] [--json] [HEADER ...]
    python -m glimmering_copper_otter build NAME [VALUE] [options]
    python -m glimmering_copper_otter check [--url URL] [--json] [HEADER ...]
    python -m glimmering_copper_otter request [--json] [HEADER ...]
    python -m glimmering_copper_otter jar --file F COMMAND ...

The header commands are in `headers`, the jar command in `jar`; both use the
package's public API only.
"""

import difflib
import signal
import sys

COMMANDS = ("parse", "build", "check", "request", "jar")


def _mistyped(word):
    """The commands a first word that is none (and no header: it has no "=")
    was likely meant as, closest first."""
    if not isinstance(word, str) or word in COMMANDS or "=" in word or word.startswith("-"):
        return []
    return difflib.get_close_matches(word.lower(), COMMANDS, n=3, cutoff=0.6)


def main(argv=None):
    """Runs the command line; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    meant = _mistyped(argv[0]) if argv else []
    if meant:
        from glimmering_copper_otter.cli._common import PROG, escaped

        sys.stderr.write(f"{PROG}: error: {escaped(argv[0])!s} is no command and no header "
                         f"(no '='): did you mean {' or '.join(meant)}?\n")
        return 2
    if argv[:1] == ["jar"]:
        from glimmering_copper_otter.cli import jar

        return jar.main(argv[1:])
    from glimmering_copper_otter.cli import headers

    return headers.main(argv)


def run():
    """The command: main() with standard streams as command-line tools have
    them.  A reader that goes away (`| head -1`) ends the command quietly,
    by SIGPIPE; text that the streams' encoding cannot show is escaped."""
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace")
    return main()
