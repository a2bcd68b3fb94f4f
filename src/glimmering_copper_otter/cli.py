"""Reads and writes Set-Cookie header values from the command line.

    python -m glimmering_copper_otter [parse] [--json] [HEADER ...]
    python -m glimmering_copper_otter build NAME VALUE [options]
    python -m glimmering_copper_otter check [--url URL] [--json] [HEADER ...]
    python -m glimmering_copper_otter request [--json] [HEADER ...]

The parse form reads each header value with ``parse_cookie`` and shows the
cookie's attributes next to the header as this library writes it back; the
build form makes a ``Cookie`` from its arguments and prints its header; the
check form shows what a browser stores for each header
(``glimmering_copper_otter.browser.read_set_cookie``) and the findings of
``glimmering_copper_otter.browser.check``; the request form reads Cookie
request headers and shows their (name, value) pairs.
"""

import argparse
import json
import os
import sys
from datetime import datetime, timezone

from glimmering_copper_otter.cookies import (
    Cookie,
    CookieSameSiteMode,
    datetime_from_cookie_format,
    parse_cookie,
)
from glimmering_copper_otter.cookie_header import parse_cookie_header_pairs
from glimmering_copper_otter.writer import write_cookie_for_response

PROG = "python -m glimmering_copper_otter"
USAGE = f"""{PROG} [parse] [--json] [HEADER ...]
       {PROG} build NAME VALUE [options]
       {PROG} check [--url URL] [--json] [HEADER ...]
       {PROG} request [--json] [HEADER ...]"""
FIELDS = ("name", "value", "expires", "domain", "path",
          "http_only", "secure", "max_age", "same_site")
# What a browser stores: the fields of read_set_cookie's record.
STORED_FIELDS = ("name", "value", "domain", "host_only", "path", "expires", "secure",
                 "http_only", "same_site", "partitioned", "priority", "expired")


class _Parser(argparse.ArgumentParser):
    """Reports bad arguments in one line on standard error, status 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}\n")


def _parse_parser():
    parser = _Parser(
        prog=PROG, usage=USAGE,
        description="Parse Set-Cookie header values and show each cookie's attributes "
        "and its header as written back. Without HEADER arguments, one header value "
        "per line is read from standard input (blank lines are skipped). The word "
        "'parse' is optional; 'build' makes a header instead (see 'build --help').",
    )
    parser.add_argument("headers", nargs="*", metavar="HEADER",
                        help='a Set-Cookie header value, e.g. "sid=abc; Path=/"; '
                        "put -- before values that begin with -")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object per header instead of a table")
    return parser


def _build_parser():
    parser = _Parser(prog=f"{PROG} build",
                     description="Build a cookie and print its Set-Cookie header value.")
    parser.add_argument("name", metavar="NAME")
    parser.add_argument("value", metavar="VALUE")
    parser.add_argument("--expires", type=_expiry, metavar="DATE",
                        help="ISO 8601 date and time (converted to UTC when it has an "
                        'offset) or a cookie date such as "Wed, 02 Jan 2030 03:04:05 GMT"')
    parser.add_argument("--max-age", type=int, default=-1, metavar="N",
                        help="lifetime in seconds (negative: none)")
    parser.add_argument("--domain", metavar="D")
    parser.add_argument("--path", metavar="P")
    parser.add_argument("--http-only", action="store_true")
    parser.add_argument("--secure", action="store_true")
    parser.add_argument("--same-site", type=str.lower, default="undefined",
                        choices=("lax", "strict", "none", "undefined"))
    return parser


def _request_parser():
    parser = _Parser(
        prog=f"{PROG} request",
        description="Read Cookie request headers and show their (name, value) pairs in "
        "header order. Without HEADER arguments, one header per line is read from "
        "standard input (blank lines are skipped).",
    )
    parser.add_argument("headers", nargs="*", metavar="HEADER",
                        help='a Cookie request header, e.g. "sid=abc; theme=dark"')
    parser.add_argument("--json", action="store_true",
                        help='print one JSON object per header, {"header": ..., "pairs": '
                        "[[name, value], ...]}, instead of a table")
    return parser


def _check_parser():
    parser = _Parser(
        prog=f"{PROG} check",
        description="Show what a browser stores for each Set-Cookie header value and "
        "what it refuses, ignores or changes. Without HEADER arguments, one header value "
        "per line is read from standard input (blank lines are skipped). The exit status "
        "is 1 when a browser would refuse some header (a header that deletes the cookie "
        "is not refused).",
    )
    parser.add_argument("headers", nargs="*", metavar="HEADER",
                        help='a Set-Cookie header value, e.g. "sid=abc; Path=/"; '
                        "put -- before values that begin with -")
    parser.add_argument("--url", metavar="URL",
                        help="the absolute http(s) URL whose response carries the header "
                        "(a top-level navigation); without it, the steps that depend on "
                        "the origin are skipped")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object per header instead of a table")
    return parser


def _expiry(text):
    try:
        when = datetime.fromisoformat(text)
    except ValueError:
        try:
            return datetime_from_cookie_format(os.fsencode(text))
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"not an ISO date or a cookie date: {text!r}") from None
    return when.astimezone(timezone.utc) if when.tzinfo is not None else when


def _describe(cookie, header):
    """The cookie's attributes and its written header, for display."""
    fields = {name: getattr(cookie, name) for name in FIELDS}
    if fields["expires"] is not None:
        fields["expires"] = fields["expires"].isoformat()
    fields["same_site"] = fields["same_site"].name
    fields["header"] = header.decode()
    return fields


def _shown(value):
    """A field as a table cell: missing is "-", text is quoted when bare
    text would be ambiguous or unsafe for a terminal."""
    if value is None:
        return "-"
    if isinstance(value, str):
        if value and value != "-" and value.isprintable() and value == value.strip():
            return value
        return repr(value)
    return str(value)


def _print_table(fields, first):
    if not first:
        print()
    width = max(map(len, fields))
    for key, value in fields.items():
        print(f"{key:<{width}}  {_shown(value)}")


def _report(error, header=None):
    where = "" if header is None else f"{header!r}: "
    print(f"error: {where}{type(error).__name__}: {error}", file=sys.stderr)


def _stored(cookie):
    """read_set_cookie's record for display; None when refused."""
    if cookie is None:
        return None
    fields = {name: getattr(cookie, name) for name in STORED_FIELDS}
    if fields["expires"] is not None:
        fields["expires"] = fields["expires"].isoformat()
    fields["same_site"] = fields["same_site"].name
    return fields


def _print_check_table(result, first):
    if not first:
        print()
    rows = [("header", result["header"]), ("refused", result["refused"])]
    rows += list((result["cookie"] or {}).items())
    rows += [("finding", finding) for finding in result["findings"]] or [("findings", None)]
    width = max(len(key) for key, _ in rows)
    for key, value in rows:
        print(f"{key:<{width}}  {_shown(value)}")


def _stdin_headers():
    for line in sys.stdin.buffer:
        line = line.rstrip(b"\r\n")
        if line:
            yield line


def _parse(args):
    headers = map(os.fsencode, args.headers) if args.headers else _stdin_headers()
    status, first = 0, True
    for raw in headers:
        try:
            cookie = parse_cookie(raw)
            fields = _describe(cookie, write_cookie_for_response(cookie))
        except Exception as error:  # each header stands alone; report and go on
            _report(error, raw)
            status = 1
            continue
        if args.json:
            print(json.dumps(fields))
        else:
            _print_table(fields, first)
            first = False
        sys.stdout.flush()
    return status


def _request(args):
    headers = map(os.fsencode, args.headers) if args.headers else _stdin_headers()
    first = True
    for raw in headers:
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
    try:
        cookie = Cookie(
            args.name, args.value, expires=args.expires, domain=args.domain,
            path=args.path, http_only=args.http_only, secure=args.secure,
            max_age=args.max_age, same_site=CookieSameSiteMode[args.same_site.upper()],
        )
        header = write_cookie_for_response(cookie)
    except Exception as error:
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
    headers = map(os.fsencode, args.headers) if args.headers else _stdin_headers()
    status, first = 0, True
    for raw in headers:
        try:
            # One instant for both, so that they judge an expiry alike.
            now = datetime.now(timezone.utc)
            cookie = read_set_cookie(raw, args.url, now=now)
            findings = check(raw, args.url, now=now)
        except Exception as error:  # each header stands alone; report and go on
            _report(error, raw)
            status = 1
            continue
        result = {"header": raw.decode("utf-8", "backslashreplace"),
                  "refused": cookie is None, "cookie": _stored(cookie),
                  "findings": list(findings)}
        if cookie is None:
            status = 1
        if args.json:
            print(json.dumps(result))
        else:
            _print_check_table(result, first)
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


def main(argv=None):
    """Runs the command line; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["jar"]:  # the jar command lives in its own module
        from glimmering_copper_otter.cli_jar import main as jar_main
        return jar_main(argv[1:])
    if argv[:1] == ["build"]:
        return _build(_build_parser().parse_args(argv[1:]))
    if argv[:1] == ["check"]:
        parser = _check_parser()
        return _check(_headers_and_options(parser, argv[1:]), parser)
    if argv[:1] == ["request"]:
        return _request(_headers_and_options(_request_parser(), argv[1:]))
    if argv[:1] == ["parse"]:
        argv = argv[1:]
    return _parse(_headers_and_options(_parse_parser(), argv))
