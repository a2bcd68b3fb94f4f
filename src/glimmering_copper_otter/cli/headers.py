"""The header commands: read and write Set-Cookie header values, and read
Cookie request headers.

    python -m glimmering_copper_otter [parse] [--json] [HEADER ...]
    python -m glimmering_copper_otter build NAME [VALUE] [options]
    python -m glimmering_copper_otter check [--url URL] [--json] [HEADER ...]
    python -m glimmering_copper_otter request [--json] [HEADER ...]

The parse form reads each header value with ``parse_cookie`` and shows the
cookie's attributes next to the header as this library writes it back; the
build form writes a header with ``writer.set_cookie_header`` (or
``delete_cookie_header``); the check form shows what a browser stores for
each header (``browser.read_set_cookie``) and the findings of
``browser.check``; the request form reads Cookie request headers and shows
their (name, value) pairs.  Headers come as arguments, or one per line on
standard input; ``--json`` prints one JSON object per line, one per header.
"""

import argparse
import json
import os
import re
import sys
from datetime import datetime, timezone

from glimmering_copper_otter.cli._common import PROG, Parser as _Parser, escaped as _escaped
from glimmering_copper_otter.cli._common import header_arguments, shown as _shown, text as _text
from glimmering_copper_otter.cookie_header import parse_cookie_header_pairs
from glimmering_copper_otter.cookies import datetime_from_cookie_format, parse_cookie
from glimmering_copper_otter.writer import (
    delete_cookie_header,
    set_cookie_header,
    write_cookie_for_response,
)

USAGE = f"""{PROG} [parse] [--json] [HEADER ...]
       {PROG} build NAME [VALUE] [options]
       {PROG} check [--url URL] [--json] [HEADER ...]
       {PROG} request [--json] [HEADER ...]
       {PROG} jar --file F COMMAND ...
       {PROG} --version"""
FIELDS = ("name", "value", "expires", "domain", "path",
          "http_only", "secure", "max_age", "same_site")
# What a browser stores: the fields of read_set_cookie's record.
STORED_FIELDS = ("name", "value", "domain", "host_only", "path", "expires", "secure",
                 "http_only", "same_site", "partitioned", "priority", "expired")
JSON_HELP = "print one JSON object per line, one per header, instead of a table"
HEADER_HELP = ('a Set-Cookie header value, e.g. "sid=abc; Path=/" (a pasted "Set-Cookie:" '
               "is removed); put -- before values that begin with -")
STDIN_NOTE = ("Without HEADER arguments, one header per line is read from standard input "
              "(blank lines are skipped).")


def _parse_parser():
    parser = _Parser(
        prog=PROG, usage=USAGE,
        description="Parse Set-Cookie header values and show each cookie's attributes "
        f"and its header as written back. {STDIN_NOTE} The word 'parse' is optional; "
        "'build' writes a header, 'check' shows what a browser keeps of one, 'request' "
        "reads Cookie request headers (see COMMAND --help).",
    )
    parser.add_argument("headers", nargs="*", metavar="HEADER", help=HEADER_HELP)
    parser.add_argument("--json", action="store_true", help=JSON_HELP)
    return parser


def _build_parser():
    parser = _Parser(
        prog=f"{PROG} build",
        description="Write a Set-Cookie header value with writer.set_cookie_header and print "
        "it. Secure is added where browsers require it; a header a browser would refuse "
        "is an error.")
    parser.add_argument("name", metavar="NAME")
    parser.add_argument("value", metavar="VALUE", nargs="?", default="")
    parser.add_argument("--expires", type=_expiry, metavar="DATE",
                        help="ISO 8601 date and time (UTC unless it has an offset) or a "
                        'cookie date such as "Wed, 02 Jan 2030 03:04:05 GMT"')
    parser.add_argument("--max-age", type=_max_age, metavar="AGE",
                        help="lifetime: seconds, or a number followed by s, m, h or d "
                        "(30d is thirty days)")
    parser.add_argument("--domain", metavar="D")
    parser.add_argument("--path", metavar="P", default="/", help='default "/"; "" for none')
    parser.add_argument("--http-only", action="store_true")
    parser.add_argument("--secure", action="store_true")
    parser.add_argument("--same-site", type=str.lower, choices=("lax", "strict", "none"))
    parser.add_argument("--partitioned", action="store_true")
    parser.add_argument("--priority", type=str.lower, choices=("low", "medium", "high"))
    parser.add_argument("--encoding", choices=("auto", "percent", "raw"), default="auto",
                        help="auto (default): name and value as they are when they are "
                        "plain, else percent-encoded; percent: always; raw: never")
    parser.add_argument("--raw", dest="encoding", action="store_const", const="raw",
                        help="the same as --encoding raw")
    parser.add_argument("--delete", action="store_true",
                        help="a header that removes the cookie (VALUE, --expires, --max-age "
                        "and --priority are not used)")
    return parser


def _request_parser():
    parser = _Parser(
        prog=f"{PROG} request",
        description="Read Cookie request headers and show their (name, value) pairs in "
        f"header order. {STDIN_NOTE}",
    )
    parser.add_argument("headers", nargs="*", metavar="HEADER",
                        help='a Cookie request header, e.g. "sid=abc; theme=dark" (a pasted '
                        '"Cookie:" is removed)')
    parser.add_argument("--json", action="store_true",
                        help=JSON_HELP + ': {"header": ..., "pairs": [[name, value], ...]}')
    return parser


def _check_parser():
    parser = _Parser(
        prog=f"{PROG} check",
        description="Show what a browser stores for each Set-Cookie header value and "
        f"what it refuses, ignores or changes. {STDIN_NOTE} The exit status is 1 when a "
        "browser would refuse some header (a header that deletes the cookie is not "
        "refused).",
    )
    parser.add_argument("headers", nargs="*", metavar="HEADER", help=HEADER_HELP)
    parser.add_argument("--url", metavar="URL",
                        help="the absolute http(s) URL whose response carries the header "
                        "(a top-level navigation); without it, the steps that depend on "
                        "the origin are skipped")
    parser.add_argument("--json", action="store_true", help=JSON_HELP)
    return parser


def _expiry(text):
    try:
        # The "Z" of UTC, which fromisoformat reads from 3.11 on.
        when = datetime.fromisoformat(text[:-1] + "+00:00" if text.endswith("Z") else text)
    except ValueError:
        try:
            return datetime_from_cookie_format(os.fsencode(text))
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"not an ISO date or a cookie date: {text!r}") from None
    return when.astimezone(timezone.utc) if when.tzinfo is not None else when


_UNITS = {"": 1, "s": 1, "m": 60, "h": 3600, "d": 86400}


def _max_age(text):
    found = re.fullmatch(r"\s*(\d+)\s*([smhd]?)\s*", text, re.ASCII | re.IGNORECASE)
    if found is None:
        raise argparse.ArgumentTypeError(
            f"expected seconds, or a number followed by s, m, h or d (such as 30d), not "
            f"{text!r}")
    return int(found[1]) * _UNITS[found[2].lower()]


# The cookies module's messages for a header it cannot read, in plainer words.
_PLAIN = [
    (r"Invalid name=value fragment", "the header does not begin with name=value"),
    (r"invalid literal for int\(\)", "Max-Age is not a whole number of seconds"),
    (r"(Python )?int too (big|large) to convert", "Max-Age is out of range"),
    (r"Invalid date value or format", "Expires is not a date"),
]


def _report(error, header=None):
    message = str(error)
    for pattern, plain in _PLAIN:
        if re.match(pattern, message):
            message = plain
            break
    where = "" if header is None else f"'{_escaped(_text(header))}': "
    print(f"error: {where}{message}", file=sys.stderr)


def _describe(cookie, header):
    """The cookie's attributes and its written header, for display."""
    fields = {name: getattr(cookie, name) for name in FIELDS}
    if fields["expires"] is not None:
        fields["expires"] = fields["expires"].isoformat()
    fields["same_site"] = fields["same_site"].name
    fields["header"] = header.decode()
    return fields


def _print_rows(rows, first):
    if not first:
        print()
    width = max(len(key) for key, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {_shown(value)}")


def _stored(cookie):
    """read_set_cookie's record for display; None when refused."""
    if cookie is None:
        return None
    fields = {name: getattr(cookie, name) for name in STORED_FIELDS}
    if fields["expires"] is not None:
        fields["expires"] = fields["expires"].isoformat()
    fields["same_site"] = fields["same_site"].name
    return fields


def _parse(args):
    status, first = 0, True
    for raw in header_arguments(args, b"set-cookie:"):
        try:
            cookie = parse_cookie(_text(raw).encode())
            fields = _describe(cookie, write_cookie_for_response(cookie))
        except Exception as error:  # each header stands alone; report and go on
            _report(error, raw)
            status = 1
            continue
        if args.json:
            print(json.dumps(fields))
        else:
            _print_rows(list(fields.items()), first)
            first = False
        sys.stdout.flush()
    return status


def _request(args):
    first = True
    for raw in header_arguments(args, b"cookie:"):
        # No header content raises: every header gets its pairs.
        pairs = parse_cookie_header_pairs(raw)
        if args.json:
            print(json.dumps({"header": raw.decode("latin-1"), "pairs": pairs}))
        else:
            if not first:
                print()
            first = False
            width = max((len(_shown(name)) for name, _ in pairs), default=0)
            for name, value in pairs:
                print(f"{_shown(name):<{width}}  {_shown(value)}".rstrip())
        sys.stdout.flush()
    return 0


def _build(args):
    # Arguments as the bytes typed, read as header bytes are read.
    name, value, domain, path = (
        None if text is None else _text(os.fsencode(text))
        for text in (args.name, args.value, args.domain, args.path))
    common = dict(path=path or None, domain=domain, secure=args.secure,
                  http_only=args.http_only, same_site=args.same_site,
                  partitioned=args.partitioned, encoding=args.encoding)
    try:
        if args.delete:
            header = delete_cookie_header(name, **common)
        else:
            header = set_cookie_header(name, value, expires=args.expires, max_age=args.max_age,
                                       priority=args.priority, **common)
    except (TypeError, ValueError) as error:
        _report(error)
        return 1
    sys.stdout.buffer.write(header + b"\n")
    return 0


def _check(args, parser):
    # Imported here: the other commands work without the browser module.
    try:
        from glimmering_copper_otter.browser import check, read_set_cookie
    except ImportError as error:
        print(f"error: the check command needs glimmering_copper_otter.browser "
              f"({type(error).__name__}: {error})", file=sys.stderr)
        return 1
    if args.url is not None:
        try:
            read_set_cookie(b"a=b", args.url)
        except (TypeError, ValueError) as error:
            parser.error(f"argument --url: {error}")
    status, first = 0, True
    for raw in header_arguments(args, b"set-cookie:"):
        try:
            # One instant for both, so that they judge an expiry alike.
            now = datetime.now(timezone.utc)
            cookie = read_set_cookie(raw, args.url, now=now)
            findings = check(raw, args.url, now=now)
        except Exception as error:  # each header stands alone; report and go on
            _report(error, raw)
            status = 1
            continue
        result = {"header": _text(raw), "refused": cookie is None, "cookie": _stored(cookie),
                  "findings": list(findings)}
        if cookie is None:
            status = 1
        if args.json:
            print(json.dumps(result))
        else:
            rows = [("header", result["header"]), ("refused", result["refused"])]
            rows += list((result["cookie"] or {}).items())
            rows += [("finding", f) for f in result["findings"]] or [("findings", None)]
            _print_rows(rows, first)
            first = False
        sys.stdout.flush()
    return status


def _headers_and_options(parser, argv):
    # Headers may stand before and after the options; everything after "--"
    # is a header, even when it begins with "-".
    after = []
    if "--" in argv:
        end = argv.index("--")
        argv, after = argv[:end], argv[end + 1:]
    args = parser.parse_intermixed_args(argv)
    args.headers += after
    return args


def main(argv):
    """Runs a header command with its arguments; returns the exit status."""
    command = argv[0] if argv[:1] in (["build"], ["check"], ["request"], ["parse"]) else "parse"
    if command == "build":
        return _build(_build_parser().parse_args(argv[1:]))
    parser = {"check": _check_parser, "request": _request_parser,
              "parse": _parse_parser}[command]()
    args = _headers_and_options(parser, argv[1:] if argv[:1] == [command] else argv)
    if not args.headers and sys.stdin.isatty():
        # Nothing to read but what a person would type: help instead.
        parser.print_help()
        return 0
    if command == "check":
        return _check(args, parser)
    return _request(args) if command == "request" else _parse(args)
