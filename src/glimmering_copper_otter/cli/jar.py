"""The jar command: inspect and edit a cookie jar file or a server's jar, and
convert between cookies.txt, JSON and the cookies of browser automation tools.

    python -m glimmering_copper_otter jar --file F [--name NAME] [--json] set URL HEADER...
    python -m glimmering_copper_otter jar --file F [--json] header URL
    python -m glimmering_copper_otter jar --file F [--json] list [URL]
    python -m glimmering_copper_otter jar --file F import [--format FORMAT] FILE
    python -m glimmering_copper_otter jar --file F import --from-browser NAME [--profile P]
        [--password-env VAR] [--container C]
    python -m glimmering_copper_otter jar --file F export [--format FORMAT]
    python -m glimmering_copper_otter jar --file F clear
    python -m glimmering_copper_otter jar --file F remove NAME [--domain D] [--path P]
    python -m glimmering_copper_otter jar --file F names
    python -m glimmering_copper_otter jar --file F push --cdp URL | --bidi URL [--url U ...]
    python -m glimmering_copper_otter jar --file F pull --cdp URL | --bidi URL [--url U ...]

--store URL (a postgresql:// url) in place of --file F reaches a named jar on a
PostgreSQL server.  FORMAT: cookies.txt, json, or an automation tool's (playwright, cdp,
extension, webdriver); import reads cookies.txt or JSON without it.
"""

import argparse
import io
import os
import json
import sys
import warnings

from glimmering_copper_otter.cli._common import PROG as _PROG, Parser as _Parser, note as _note
from glimmering_copper_otter.cli._common import shown as _shown, text as _text, without_prefix

PROG = f"{_PROG} jar"
FIELDS = ("name", "value", "domain", "host_only", "path", "expires", "secure",
          "http_only", "same_site", "partitioned", "priority")
# The documents of browser automation tools (CookieJar.load_cookies and
# dump_cookies).
TOOL_FORMATS = ("playwright", "cdp", "extension", "webdriver")
FORMATS = ("cookies.txt", "json", *TOOL_FORMATS)


def jar_type():
    """The jar class (a name the tests may rebind)."""
    from glimmering_copper_otter.jar import CookieJar

    return CookieJar


def _parser():
    parser = _Parser(
        prog=PROG,
        description="Inspect and edit a cookie jar file (an SQLite cookie store, made "
        "when missing), and convert between cookies.txt, JSON and the cookies of Playwright, "
        "DevTools, browser extensions and WebDriver.")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--file", metavar="F", help="the jar's file")
    where.add_argument("--store", metavar="URL", help="a PostgreSQL server's url "
                       "(postgresql://...), where the jar is kept")
    parser.add_argument("--name", default="default", metavar="NAME",
                        help='which jar of the file or server (default: "default")')
    parser.add_argument("--json", action="store_true",
                        help="print one JSON object per line instead of a table")
    parser.add_argument("--keep-session-cookies", action=argparse.BooleanOptionalAction,
                        default=None, help="write session cookies to the file too (by "
                        "default a file does not keep them, as browsers do; a server's jar "
                        "does, shared by its workers)")
    parser.add_argument("--timeout", type=float, default=5.0, metavar="S",
                        help="seconds to wait for a file another program holds locked")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)
    command = commands.add_parser("set", help="store the Set-Cookie HEADERs received from URL")
    command.add_argument("url", metavar="URL")
    command.add_argument("headers", nargs="+", metavar="HEADER")
    command = commands.add_parser("header", help="print the Cookie header sent to URL")
    command.add_argument("url", metavar="URL")
    command = commands.add_parser("list", help="list the cookies (those sent to URL)")
    command.add_argument("url", nargs="?", metavar="URL")
    command = commands.add_parser("import", help="add the cookies of a file (- for standard "
                                  "input), or of a browser profile")
    command.add_argument("source", metavar="FILE", nargs="?")
    command.add_argument("--format", choices=FORMATS, default=None,
                         help="what FILE is (default: cookies.txt, or this package's JSON when "
                         "it begins with '{')")
    command.add_argument("--strict", action="store_true",
                         help="refuse the whole cookies.txt file when a line cannot be read")
    command.add_argument("--from-browser", metavar="NAME",
                         help="read the cookies of a browser on this machine (chromium, chrome, "
                         "edge, brave, opera, vivaldi, firefox, ...); nothing is written to "
                         "its profile")
    command.add_argument("--profile", metavar="P",
                         help="the browser profile: its name, directory or cookie file "
                         "(default: the browser's default profile)")
    command.add_argument("--password-env", metavar="VAR",
                         help="the environment variable holding the keyring's password (v11 "
                         "values), or a Mac Keychain's Safe Storage password")
    command.add_argument("--container", metavar="C",
                         help="the Firefox container whose cookies to read (its name)")
    command = commands.add_parser("export", help="print the cookies as cookies.txt, JSON or an "
                                  "automation tool's JSON")
    command.add_argument("--format", choices=FORMATS, default="cookies.txt")
    commands.add_parser("clear", help="remove every cookie")
    command = commands.add_parser("remove", help="remove the cookies named NAME")
    command.add_argument("cookie", metavar="NAME")
    command.add_argument("--domain", metavar="D", help="only those of domain D")
    command.add_argument("--path", metavar="P", help="only those of path P")
    commands.add_parser("names", help="list the named jars that hold cookies")
    for name, what in (("push", "set the cookies in a running browser, then say what it kept"),
                       ("pull", "add the cookies of a running browser")):
        command = commands.add_parser(name, help=what)
        where = command.add_mutually_exclusive_group(required=True)
        where.add_argument("--cdp", metavar="URL", help="a Chromium's DevTools endpoint "
                           "(http://127.0.0.1:PORT, as --remote-debugging-port=PORT opens it)")
        where.add_argument("--bidi", metavar="URL", help="a Firefox's WebDriver BiDi endpoint "
                           "(ws://127.0.0.1:PORT/session, as --remote-debugging-port PORT "
                           "opens it)")
        command.add_argument("--url", action="append", metavar="U", dest="urls",
                             help="only the cookies a request to U carries (again for more)")
    for command in commands.choices.values():
        # After the command too; there the default must not hide the one given before it.
        command.add_argument("--name", default=argparse.SUPPRESS, metavar="NAME",
                             help='which jar of the file or server (default: "default")')
    return parser


def _fields(cookie):
    fields = {name: getattr(cookie, name) for name in FIELDS}
    if fields["expires"] is not None:
        fields["expires"] = fields["expires"].isoformat()
    fields["same_site"] = fields["same_site"].name
    return fields


def _table(rows):
    """Prints rows of equal keys as columns under a header line."""
    if not rows:
        return
    cells = [list(rows[0])] + [[_shown(value) for value in row.values()] for row in rows]
    widths = [max(len(line[column]) for line in cells) for column in range(len(cells[0]))]
    for line in cells:
        print("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip())


def _print(records, as_json):
    if as_json:
        for record in records:
            print(json.dumps(record))
    else:
        _table(records)


def _set(jar, args):
    from glimmering_copper_otter import rows as _rows

    status, records, session = 0, [], 0
    raws = [without_prefix(os.fsencode(header), b"set-cookie:") for header in args.headers]
    for raw, cookie in zip(raws, jar.set_cookies(raws, args.url)):  # one transaction
        if cookie is None:
            status = 1
        elif cookie.expires is None:
            session += 1
        records.append({"header": raw.decode("utf-8", "surrogateescape"),
                        "stored": cookie is not None,
                        "cookie": None if cookie is None else _fields(cookie),
                        "refused": None if cookie is not None
                        else _rows.value_refusal(raw, args.url)})
    if args.json:
        _print(records, True)
    else:
        _table([record["cookie"] for record in records if record["stored"]])
        for record in records:
            if not record["stored"]:
                why = record["refused"] or "a browser would not store it here"
                _note(f"refused: {record['header']!r}: {why}")
    if session and not jar.store.keep_session_cookies:
        _note(f"{session} session cookie(s) not written to {args.file or jar.store.server} "
              "(--keep-session-cookies writes them)")
    return status


def _header(jar, args):
    header = jar.cookie_header(args.url)
    if args.json:
        print(json.dumps({"url": args.url, "header": header.decode("latin-1")}))
    else:
        sys.stdout.flush()
        sys.stdout.buffer.write(header + b"\n")
    return 0


def _list(jar, args):
    _print([_fields(cookie) for cookie in jar.cookies(args.url)], args.json)
    return 0


def _import_browser(jar, args):
    password = None
    if args.password_env is not None:
        password = os.environb.get(os.fsencode(args.password_env))
        if password is None:
            _note(f"error: the environment variable {args.password_env} is not set")
            return 1
    report = jar.load_browser(args.from_browser, args.profile, password=password,
                              container=args.container)
    for where, reason in report.skipped:
        _note(f"{args.from_browser}: {where}: {reason}")
    for note in report.notes:
        _note(f"{args.from_browser}: note: {note}")
    counts = dict(report.counts())
    if args.json:
        print(json.dumps({"imported": report.loaded, "expired": report.expired,
                          "skipped": len(report.skipped), "by_reason": counts,
                          "notes": list(report.notes)}))
    else:
        shown = ", ".join(f"{count} {word}" for word, count in sorted(counts.items()))
        print(f"imported {report.loaded} cookie(s) from {args.from_browser}; "
              f"{report.expired} expired, {len(report.skipped)} not loaded"
              + (f" ({shown})" if shown else ""))
    _session_note(jar, args)
    return 1 if report.skipped and not report.loaded and not report.expired else 0


def _session_note(jar, args):
    session = sum(1 for cookie in jar.cookies() if cookie.expires is None)
    if session and not jar.store.keep_session_cookies:
        _note(f"{session} session cookie(s) not written to {args.file or jar.store.server} "
              "(--keep-session-cookies writes them)")


def _import(jar, args):
    if args.from_browser is not None:
        if args.source is not None or args.strict or args.format is not None:
            _note("error: import takes a FILE or --from-browser, not both")
            return 2
        return _import_browser(jar, args)
    if args.source is None:
        _note("error: import needs a FILE (- for standard input) or --from-browser NAME")
        return 2
    if args.profile is not None or args.password_env is not None or args.container is not None:
        _note("error: --profile, --password-env and --container go with --from-browser")
        return 2
    if args.source == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(args.source, "rb") as file:
            data = file.read()
    if args.format in TOOL_FORMATS:
        report = jar.load_cookies(data, format=args.format)
        place = "cookie"
    elif args.format == "json" or (args.format is None and data.lstrip().startswith(b"{")):
        report = jar.load_json(data)
        place = "cookie"
    else:
        source = io.BytesIO(data)
        source.name = args.source  # for the messages
        report = jar.load_cookies_txt(source, strict=args.strict)
        place = "line"
    for where, reason in report.skipped:
        _note(f"{args.source}, {place} {where}: {reason}")
    summary = {"imported": report.loaded, "expired": report.expired,
               "skipped": len(report.skipped)}
    if args.json:
        print(json.dumps(summary))
    else:
        print(f"imported {report.loaded} cookie(s); {report.expired} expired, "
              f"{len(report.skipped)} {place}(s) not read")
    _session_note(jar, args)
    # Nothing read from something that held cookies: an error, for scripts.
    return 1 if report.skipped and not report.loaded and not report.expired else 0


def _export(jar, args):
    if args.format == "json":
        sys.stdout.write(jar.to_json())
        return 0
    sys.stdout.flush()
    if args.format in TOOL_FORMATS:
        document, report = jar.dump_cookies(format=args.format)
        text = json.dumps(document, indent=2, ensure_ascii=False) + "\n"
        sys.stdout.buffer.write(text.encode("utf-8"))
    else:
        report = jar.save_cookies_txt(sys.stdout.buffer)
    sys.stdout.buffer.flush()
    for item in report.left_out:
        _note(f"left out {item.name.decode('latin-1')!r} for {item.domain}: {item.reason}")
    for item in report.changed:
        _note(f"changed {item.name.decode('latin-1')!r} for {item.domain}: {item.reason}")
    return 0


def _clear(jar, args):
    count = jar.clear()
    if args.json:
        print(json.dumps({"removed": count}))
    else:
        print(f"removed {count} cookie(s)")
    return 0


def _remove(jar, args):
    name = os.fsencode(args.cookie)
    doomed = [cookie for cookie in jar.cookies() if cookie.raw_name == name
              and (args.domain is None or cookie.domain == args.domain.lstrip(".").lower())
              and (args.path is None or cookie.path == args.path)]
    count = sum(jar.remove(cookie) for cookie in doomed)
    if args.json:
        print(json.dumps({"removed": count}))
    else:
        print(f"removed {count} cookie(s)")
    return 0 if count else 1


def _names(jar, args):
    for name in jar.store.jar_names():
        print(json.dumps({"name": name}) if args.json else name)
    return 0


def _endpoint(args):
    """The browser endpoint of --cdp or --bidi; ValueError for one of the
    other protocol."""
    if args.cdp is not None:
        if args.cdp.startswith(("ws://", "wss://")) and "/devtools/" not in args.cdp:
            raise ValueError(f"--cdp takes a DevTools endpoint (http://127.0.0.1:PORT), not "
                             f"{args.cdp!r}")
        return args.cdp
    if not args.bidi.startswith(("ws://", "wss://")) or "/devtools/" in args.bidi:
        raise ValueError(f"--bidi takes a WebDriver BiDi endpoint (ws://127.0.0.1:PORT/session), "
                         f"not {args.bidi!r}")
    return args.bidi


def _push(jar, args):
    endpoint = _endpoint(args)
    report = jar.push(endpoint, urls=args.urls)
    for item in report.refused:
        _note(f"refused {_text(item.name)!r} for {item.domain}: {item.reason}")
    for item in report.changed:
        _note(f"changed {_text(item.name)!r} for {item.domain}: {item.reason}")
    if args.json:
        print(json.dumps({"pushed": report.pushed, "refused": len(report.refused),
                          "changed": len({(c.name, c.domain, c.path) for c in report.changed})}))
    else:
        print(f"pushed {report.pushed} cookie(s) to {endpoint}; {len(report.refused)} refused, "
              f"{len({(c.name, c.domain, c.path) for c in report.changed})} changed")
    return 1 if report.refused else 0


def _pull(jar, args):
    endpoint = _endpoint(args)
    report = jar.pull(endpoint, urls=args.urls)
    for where, reason in report.skipped:
        _note(f"{endpoint}: {where}: {reason}")
    if args.json:
        print(json.dumps({"pulled": report.loaded, "expired": report.expired,
                          "skipped": len(report.skipped)}))
    else:
        print(f"pulled {report.loaded} cookie(s) from {endpoint}; {report.expired} expired, "
              f"{len(report.skipped)} not loaded")
    _session_note(jar, args)
    return 1 if report.skipped and not report.loaded else 0


COMMANDS = {"set": _set, "header": _header, "list": _list, "import": _import,
            "export": _export, "clear": _clear, "push": _push, "pull": _pull,
            "remove": _remove, "names": _names}
# The commands that may start a named jar; the others need one that holds
# cookies.
_MAKERS = ("set", "import", "pull", "names")


def _check_url(args):
    """Raises ValueError for a URL argument no request can have."""
    for url in [getattr(args, "url", None), *(getattr(args, "urls", None) or ())]:
        if url is None:
            continue
        from glimmering_copper_otter.browser import read_set_cookie

        read_set_cookie(b"a=b", url)


def _warned(message, category, filename, lineno, file=None, line=None):
    _note(f"warning: {message}")


def main(argv):
    """Runs the jar command with its arguments; returns the exit status.
    Every failure is an error line, never a traceback."""
    args = _parser().parse_args(argv)
    shown, warnings.showwarning = warnings.showwarning, _warned
    try:
        _check_url(args)  # before the file is made
        if args.file is not None and args.file.startswith(("postgresql://", "postgres://")):
            _note("error: --file takes a file; a server's url goes to --store")
            return 2
        if args.store is not None and not args.store.startswith(("postgresql://",
                                                                 "postgres://")):
            _note(f"error: --store takes a postgresql:// url, not {args.store!r} (a file goes "
                  "to --file)")
            return 2
        with jar_type()(args.file, store=args.store, name=args.name,
                        keep_session_cookies=args.keep_session_cookies,
                        timeout=args.timeout) as jar:
            if args.name != "default" and args.command not in _MAKERS:
                names = jar.store.jar_names()
                if args.name not in names:
                    where = args.file if args.file is not None else jar.store.server
                    _note(f"error: no jar named {args.name!r} holds cookies in {where} ("
                          + (f"its jars: {', '.join(map(repr, names))}" if names else
                             "it holds none") + "); set or import makes one")
                    return 1
            return COMMANDS[args.command](jar, args)
    except ImportError as error:
        if (error.name or "").startswith("glimmering_copper_otter"):
            _note(f"error: the jar command needs glimmering_copper_otter.jar "
                  f"({type(error).__name__}: {error})")
        else:  # an extra's package, named in the message with its pip command
            _note(f"error: {error}")
    except Exception as error:  # noqa: BLE001  an error line, never a traceback
        _note(f"error: {error}")
    finally:
        warnings.showwarning = shown
    return 1
