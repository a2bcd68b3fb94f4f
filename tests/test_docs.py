"""Every example of the README and of the docs site, run as a reader runs
it, a page's blocks in order in one namespace and one throw-away working
directory.  Python blocks (doctests have their output checked); `console`
blocks, each `$ ` line run by bash with this interpreter's `python` first
on PATH, output and standard error as shown (`...` stands for any text,
such as a date); `json` blocks, jar documents whose every cookie must load;
`sql` blocks, run as the owner of the throw-away PostgreSQL server that
fleet.md reaches as `url` (live.md gets a headless Chromium's `endpoint`,
browser-profiles.md a home directory with a Firefox profile).
A block that needs what the suite cannot start (a site on the internet,
the reader's own browser) follows a `<!-- skip: next "why" -->` line; `sh`
blocks are install, build and benchmark steps, `text` blocks synopses, and
C, C++ and Cython blocks are cut down from the modules
tests/test_compiled_clients.py builds."""

import atexit
import doctest
import os
import subprocess
import sys
from pathlib import Path

import pytest
from sybil import Sybil
from sybil.parsers.markdown import CodeBlockParser, PythonCodeBlockParser, SkipParser

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def run_console(example):
    lines = example.parsed.splitlines()
    commands = [(i, line[2:]) for i, line in enumerate(lines) if line.startswith("$ ")]
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"],
               PYTHONUNBUFFERED="1")
    for n, (i, command) in enumerate(commands):
        end = commands[n + 1][0] if n + 1 < len(commands) else len(lines)
        shown = "\n".join(line.rstrip() for line in lines[i + 1:end]).strip("\n")
        done = subprocess.run(["bash", "-c", command], check=False, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, env=env, timeout=300)
        got = "\n".join(line.rstrip() for line in done.stdout.splitlines()).strip("\n")
        if not doctest.OutputChecker().check_output(shown, got, doctest.ELLIPSIS):
            return f"$ {command}\nshown:\n{shown}\ngot:\n{got}"


def load_json(example):
    from glimmering_copper_otter.jar import CookieJar
    jar = CookieJar.from_json(example.parsed)
    if len(jar) != example.parsed.count('"name"'):
        return f"{len(jar)} cookies load from the sample, not all"


def run_sql(example):
    import psycopg
    with psycopg.connect(example.namespace["url"], autocommit=True) as connection:
        connection.execute(example.parsed)


def postgres(namespace, tmp_path):
    from gco_testkit.postgres import server
    namespace["url"] = url = server().url("crawl")
    namespace["worker_url"] = url.replace("gco@", "worker:change-me@")


def chromium(namespace, tmp_path):
    from gco_testkit import real_browsers
    if not real_browsers.have(real_browsers.CHROMIUM):
        pytest.skip(real_browsers.HOW)
    site = real_browsers.Site()
    browser = real_browsers.Chromium(site, tmp_path / "chromium", port=True)
    namespace["endpoint"] = browser.endpoint
    return lambda: (browser.close(), site.close())



def firefox_home(namespace, tmp_path):
    import time

    from gco_testkit import browser_files as files
    root, now = tmp_path / ".mozilla/firefox", int(time.time())
    files.firefox_file(root / "x.default-release/cookies.sqlite", 17, [
        files.firefox_record(name, "1", host, creation=now * 10**6 + n, expires=now + 86400,
                             secure=n == 0, same_site=256 if n == 0 else 0)
        for n, (name, host) in enumerate([("sid", "example.com"), ("ad", ".example.com")])])
    (root / "profiles.ini").write_text("[Profile0]\nName=default-release\nPath=x.default-release\n")
    home, os.environ["HOME"] = os.environ.get("HOME"), str(tmp_path)
    return lambda: os.environ.update(HOME=home) if home else os.environ.pop("HOME")


SYBIL = Sybil(parsers=[
    PythonCodeBlockParser(doctest_optionflags=doctest.ELLIPSIS),
    CodeBlockParser("console", run_console),
    CodeBlockParser("json", load_json),
    CodeBlockParser("sql", run_sql),
    SkipParser(),
])


# What a page's examples are given before they start, by page.
SETUP = {"fleet.md": postgres, "live.md": chromium, "browser-profiles.md": firefox_home}

DOCUMENTS = {page: SYBIL.parse(page) for page in PAGES}
CASES = [pytest.param(page, n, id=f"{page.relative_to(ROOT)}:{example.line}")
         for page, document in DOCUMENTS.items() for n, example in enumerate(document)]
_next = {}  # page: the number of its next example to run
_directory = {}
_missing = {}
_close = {}  # page: what its setup started, stopped after its last block
atexit.register(lambda: [close() for close in _close.values()])  # a run cut short


@pytest.mark.parametrize(("page", "n"), CASES)
def test_example(page, n, tmp_path_factory, monkeypatch):
    document = DOCUMENTS[page]
    if page not in _directory:
        _directory[page] = tmp_path_factory.mktemp(page.stem)
        try:
            setup = SETUP.get(page.name)
            if setup is not None and (close := setup(document.namespace, _directory[page])):
                _close[page] = close
        except pytest.skip.Exception as missing:  # a server the machine cannot start
            _missing[page] = str(missing)
    if page in _missing:
        pytest.skip(_missing[page])
    monkeypatch.chdir(_directory[page])
    examples = list(document)
    for example in examples[_next.get(page, 0):n]:  # the earlier ones, if run alone
        example.evaluate()
    _next[page] = n + 1
    try:
        examples[n].evaluate()
    finally:
        if n + 1 == len(examples):  # the page's jars closed before the interpreter ends
            document.namespace.clear()
            _close.pop(page, lambda: None)()
