"""The cookie sequences recorded from Chromium, and the derived ones.

``scenarios()`` lists what ``record-sequences`` runs (see ``sequences.py``
for how a step is driven); ``derived()`` lists scenarios that a fresh
profile cannot show within a recording, each with the rule it follows in
words and expectations written from that rule.

Hosts: ``a.test``, ``b.test`` and ``c.test`` are three sites (``.test`` is
no public suffix entry, so the list's default rule makes ``a.test`` the
registrable domain); ``example.co.uk`` and ``other.co.uk`` sit under a
public suffix of two labels.  Pages named ``/page...`` are plain pages that
set nothing; the step's own URL answers with the step's Set-Cookie values.
"""

from __future__ import annotations

import datetime as dt

from . import peers
from .form import jar_calls, store_view

A = "https://www.a.test"
A2 = "https://sub.a.test"
AR = "https://a.test"
AH = "http://www.a.test"
B = "https://www.b.test"
B2 = "https://sub.b.test"
C = "https://www.c.test"
CO = "https://www.example.co.uk"
CO2 = "https://other.example.co.uk"
P = "p=1; Secure; SameSite=None; Partitioned"
MODES = {"strict": "SameSite=Strict", "lax": "SameSite=Lax",
         "none": "SameSite=None; Secure", "unset": ""}


def u8(text: str) -> str:
    """A text's UTF-8 bytes, as the Latin-1 string a step holds."""
    return text.encode("utf-8").decode("latin-1")


def goto(url, *set_cookie, bulk=False):
    return _step("goto", url=url, set_cookie=list(set_cookie), bulk=bulk)


def nav(url, frm, *set_cookie, method="GET"):
    return _step("navigate", url=url, set_cookie=list(set_cookie), method=method, **{"from": frm})


def iframe(url, top, *set_cookie, bulk=False):
    return _step("iframe", url=url, top=top, set_cookie=list(set_cookie), bulk=bulk)


def fetch(url, top, *set_cookie, bulk=False):
    return _step("fetch", url=url, top=top, set_cookie=list(set_cookie), bulk=bulk)


def write(frame, value, top=None):
    return _step("script", frame=frame, top=top or frame, write=value)


def read(frame, top=None):
    return _step("script", frame=frame, top=top or frame, read=True)


def wait(seconds):
    return {"do": "wait", "seconds": seconds}


def _step(do, **fields):
    return {"do": do, **{k: v for k, v in fields.items() if v is not False}}


def scenarios() -> list[dict]:
    out: list[dict] = []

    def add(group, key, title, *steps, pages=()):
        out.append({"id": f"{group}/{key}", "group": group, "title": title,
                    "steps": list(steps), "pages": list(pages)})

    t = f"{A}/target"
    # -- order: path length first, then creation time; the creation time of
    #    an overwritten cookie is kept only when its value is unchanged
    for key, title, sets in [
        ("two", "two cookies in the order set", [["x=1"], ["y=1"]]),
        ("two-reversed", "the same two set the other way round", [["y=1"], ["x=1"]]),
        ("one-response", "two values of one response", [["x=1", "y=1"]]),
        ("one-response-reversed", "two values of one response, reversed", [["y=1", "x=1"]]),
        ("value-changed", "x=1, y=1, x=2: the new value goes last", [["x=1"], ["y=1"], ["x=2"]]),
        ("value-unchanged", "x=1, y=1, x=1: the creation time is kept",
         [["x=1"], ["y=1"], ["x=1"]]),
        ("value-changed-one-response", "x=1, y=1, x=2 in one response", [["x=1", "y=1", "x=2"]]),
        ("value-unchanged-one-response", "x=1, y=1, x=1 in one response",
         [["x=1", "y=1", "x=1"]]),
        ("unchanged-attributes-changed", "same value, new attributes: creation kept",
         [["x=1"], ["y=1"], ["x=1; HttpOnly; Max-Age=3600; SameSite=Strict"]]),
        ("unchanged-secure-added", "same value made Secure: creation kept",
         [["x=1"], ["y=1"], ["x=1; Secure"]]),
        ("changed-and-back", "x=1, y=1, x=2, x=1: the last change is new",
         [["x=1"], ["y=1"], ["x=2"], ["x=1"]]),
        ("empty-value-unchanged", "an empty value set again keeps its place",
         [["x="], ["y=1"], ["x="]]),
        ("empty-value-filled", "an empty value given a value moves", [["x="], ["y=1"], ["x=1"]]),
        ("deleted-and-set-again", "a deleted cookie set again is new",
         [["x=1"], ["y=1"], ["x=1; Max-Age=0"], ["x=1"]]),
        ("five-one-response", "five values of one response keep their order",
         [["c=1", "a=1", "e=1", "b=1", "d=1"]]),
        ("nameless-unchanged", "a cookie without a name set again keeps its place",
         [["abc"], ["y=1"], ["abc"]]),
        ("nameless-changed", "a cookie without a name given another value moves",
         [["abc"], ["y=1"], ["abd"]]),
        ("expiry-extended", "Max-Age renewed with the same value keeps the place",
         [["x=1; Max-Age=60"], ["y=1"], ["x=1; Max-Age=7200"]]),
    ]:
        add("order", key, title, *[goto(f"{A}/page", *s) for s in sets], goto(t))
    add("order", "path-longer-first", "the longer path is sent first",
        goto(f"{A}/page", "x=1; Path=/"), goto(f"{A}/page", "y=1; Path=/p"), goto(f"{A}/p/q"))
    add("order", "path-longer-first-set-first", "the longer path first, set first too",
        goto(f"{A}/page", "y=1; Path=/p"), goto(f"{A}/page", "x=1; Path=/"), goto(f"{A}/p/q"))
    add("order", "path-lengths", "five path lengths, set shortest first",
        goto(f"{A}/page", "a=1; Path=/", "b=1; Path=/p", "c=1; Path=/p/q", "d=1; Path=/p/q/",
             "e=1; Path=/p/q/r"), goto(f"{A}/p/q/r"))
    add("order", "path-lengths-reversed", "five path lengths, set longest first",
        goto(f"{A}/page", "e=1; Path=/p/q/r", "d=1; Path=/p/q/", "c=1; Path=/p/q", "b=1; Path=/p",
             "a=1; Path=/"), goto(f"{A}/p/q/r"))
    add("order", "default-path", "a default path /d/e counts by its length",
        goto(f"{A}/page", "x=1; Path=/"), goto(f"{A}/d/e/f", "y=1"), goto(f"{A}/d/e/g"))
    add("order", "host-then-domain", "host-only then domain cookie of one name",
        goto(f"{A}/page", "x=1"), goto(f"{A}/page", "x=2; Domain=a.test"), goto(t))
    add("order", "domain-then-host", "domain then host-only cookie of one name",
        goto(f"{A}/page", "x=2; Domain=a.test"), goto(f"{A}/page", "x=1"), goto(t))
    add("order", "script-unchanged", "document.cookie writing the same value keeps the place",
        goto(f"{A}/page", "x=1"), goto(f"{A}/page", "y=1"), write(f"{A}/page", "x=1"), goto(t))
    add("order", "script-changed", "document.cookie writing a new value moves it",
        goto(f"{A}/page", "x=1"), goto(f"{A}/page", "y=1"), write(f"{A}/page", "x=2"), goto(t))

    # -- replace: one cookie per (name, domain, host-only, path, partition)
    for key, title, steps, reads in [
        ("host-and-domain", "host-only and domain cookies of one name are two",
         [(A, "x=1"), (A, "x=2; Domain=a.test")], [A, AR]),
        ("domain-leading-dot", "Domain=a.test and Domain=.a.test are one",
         [(A, "x=1; Domain=a.test"), (A, "x=2; Domain=.a.test")], [A]),
        ("domain-letter-case", "Domain=A.TEST is a.test",
         [(A, "x=1; Domain=a.test"), (A, "x=2; Domain=A.TEST")], [A]),
        ("domain-from-sibling", "a sibling host replaces the domain cookie",
         [(A, "x=1; Domain=a.test"), (A2, "x=2; Domain=a.test")], [A, A2]),
        ("host-only-siblings", "host-only cookies of two hosts are two",
         [(A, "x=1"), (A2, "x=2")], [A, A2, AR]),
        ("explicit-host-domain", "Domain equal to the host is a domain cookie",
         [(A, "x=1"), (A, "x=2; Domain=www.a.test")], [A, "https://sub.www.a.test"]),
        ("path-trailing-slash", "Path=/p and Path=/p/ are two",
         [(A, "x=1; Path=/p"), (A, "x=2; Path=/p/")], [f"{A}/p/q"]),
        ("path-default-and-explicit", "the default path /d equals Path=/d",
         [(f"{A}/d/page", "x=1"), (A, "x=2; Path=/d")], [f"{A}/d/e"]),
        ("name-letter-case", "x and X are two", [(A, "x=1"), (A, "X=2")], [A]),
        ("secure-added", "the same key made Secure", [(A, "x=1"), (A, "x=2; Secure")], [A]),
        ("httponly-added", "the same key made HttpOnly", [(A, "x=1"), (A, "x=2; HttpOnly")], [A]),
        ("samesite-changed", "Lax replaced by Strict",
         [(A, "x=1; SameSite=Lax"), (A, "x=2; SameSite=Strict")], [A]),
        ("priority-changed", "Priority=High replaced by Low",
         [(A, "x=1; Priority=High"), (A, "x=2; Priority=Low")], [A]),
        ("session-made-persistent", "a session cookie given an expiry",
         [(A, "x=1"), (A, "x=2; Max-Age=3600")], [A]),
        ("nameless", "two nameless values: one cookie", [(A, "v1"), (A, "v2")], [A]),
        ("http-then-https", "http then https: one cookie", [(AH, "x=1"), (A, "x=2")], [A, AH]),
        ("https-then-http", "https (not Secure) then http: one cookie",
         [(A, "x=1"), (AH, "x=2")], [A, AH]),
        ("co-uk-domain", "a domain cookie under co.uk replaced from a sibling",
         [(CO, "x=1; Domain=example.co.uk"), (CO2, "x=2; Domain=example.co.uk")], [CO, CO2]),
        ("ip-domain-equal", "Domain equal to an IP host is host-only",
         [("http://127.0.0.1", "x=1"), ("http://127.0.0.1", "x=2; Domain=127.0.0.1")],
         ["http://127.0.0.1"]),
        ("partitioned-and-not", "partitioned and unpartitioned of one name are two",
         [(B, "x=1; Secure; SameSite=None"), (B, "x=2; Secure; SameSite=None; Partitioned")],
         [B]),
    ]:
        seq = [goto(url if url.count("/") > 2 else f"{url}/page", value) for url, value in steps]
        seq += [goto(r if r.count("/") > 2 else f"{r}/target") for r in reads]
        add("replace", key, title, *seq)

    # -- delete: an expiry not after now deletes the cookie of the same key
    for key, title, first, deletion, url in [
        ("max-age-zero", "Max-Age=0", "x=1", "x=; Max-Age=0", A),
        ("max-age-negative", "Max-Age=-1", "x=1", "x=; Max-Age=-1", A),
        ("expires-epoch", "Expires in 1970", "x=1", "x=; Expires=Thu, 01 Jan 1970 00:00:00 GMT", A),
        ("expires-2001", "Expires in 2001", "x=1", "x=; Expires=Mon, 01 Jan 2001 00:00:00 GMT", A),
        ("value-differs", "the deleting value does not matter", "x=1", "x=other; Max-Age=0", A),
        ("path-mismatch", "another path deletes nothing", "x=1; Path=/p", "x=; Max-Age=0", A),
        ("path-match", "the same path deletes", "x=1; Path=/p", "x=; Max-Age=0; Path=/p", A),
        ("domain-mismatch", "a domain deletion leaves the host-only cookie", "x=1",
         "x=; Max-Age=0; Domain=a.test", A),
        ("host-mismatch", "a host-only deletion leaves the domain cookie", "x=1; Domain=a.test",
         "x=; Max-Age=0", A),
        ("domain-match", "a domain deletion of a domain cookie", "x=1; Domain=a.test",
         "x=; Max-Age=0; Domain=a.test", A),
        ("from-sibling", "a sibling host deletes the domain cookie", "x=1; Domain=a.test",
         "x=; Max-Age=0; Domain=a.test", A2),
        ("nothing", "deleting what is not there", "y=1", "x=; Max-Age=0", A),
        ("secure-from-http", "http cannot delete a Secure cookie", "x=1; Secure",
         "x=; Max-Age=0", AH),
        ("secure-without-secure", "https deletes a Secure cookie without saying Secure",
         "x=1; Secure", "x=; Max-Age=0", A),
        ("max-age-wins", "Max-Age=60 beats an Expires in the past", "x=1",
         "x=; Max-Age=60; Expires=Thu, 01 Jan 1970 00:00:00 GMT", A),
        ("expires-past-max-age-invalid", "an invalid Max-Age leaves the past Expires", "x=1",
         "x=; Max-Age=x; Expires=Thu, 01 Jan 1970 00:00:00 GMT", A),
        ("httponly", "HTTP deletes an HttpOnly cookie", "x=1; HttpOnly", "x=; Max-Age=0", A),
        ("nameless", "a nameless cookie deleted", "abc", "abc; Max-Age=0", A),
    ]:
        add("delete", key, title, goto(f"{A}/page", first),
            goto(f"{url}/page-del", deletion), goto(t))
    add("delete", "one-of-two-paths", "only the matching path is deleted",
        goto(f"{A}/page", "x=1; Path=/", "x=2; Path=/p"),
        goto(f"{A}/page", "x=; Max-Age=0; Path=/p"), goto(f"{A}/p/q"))
    add("delete", "cross-site-iframe-unset", "a cross-site frame cannot delete without SameSite=None",
        goto(f"{A}/page", "x=1"), iframe(f"{A}/del", f"{B}/page", "x=; Max-Age=0"), goto(t))
    add("delete", "cross-site-iframe-none", "a cross-site frame deletes with SameSite=None; Secure",
        goto(f"{A}/page", "x=1"),
        iframe(f"{A}/del", f"{B}/page", "x=; Max-Age=0; SameSite=None; Secure"), goto(t))
    add("delete", "script", "document.cookie deletes", goto(f"{A}/page", "x=1"),
        write(f"{A}/page", "x=; Max-Age=0"), goto(t))
    add("delete", "script-httponly", "document.cookie cannot delete an HttpOnly cookie",
        goto(f"{A}/page", "x=1; HttpOnly"), write(f"{A}/page", "x=; Max-Age=0"), goto(t))

    # -- leave secure cookies alone
    for key, title, first, second, reads in [
        ("http-overwrite", "http cannot overwrite a Secure cookie", (A, "x=1; Secure"),
         (AH, "x=2"), [A, AH]),
        ("http-other-name", "http sets another name", (A, "x=1; Secure"), (AH, "y=2"), [A, AH]),
        ("http-longer-path", "a path under the Secure cookie's path is refused",
         (A, "x=1; Secure; Path=/"), (AH, "x=2; Path=/p"), [f"{A}/p/q", f"{AH}/p/q"]),
        ("http-shorter-path", "a path above the Secure cookie's path is set",
         (A, "x=1; Secure; Path=/p"), (AH, "x=2; Path=/"), [f"{A}/p/q", f"{AH}/p/q"]),
        ("http-domain-over-host", "a domain cookie over a Secure host-only one is refused",
         (A, "x=1; Secure"), (AH, "x=2; Domain=a.test"), [A, AH]),
        ("http-host-under-domain", "a host under a Secure domain cookie is refused",
         (A, "x=1; Secure; Domain=a.test"), ("http://sub.a.test", "x=2"),
         [A2, "http://sub.a.test"]),
        ("http-sibling-host", "a sibling host is not under the Secure cookie",
         (A, "x=1; Secure"), ("http://sub.a.test", "x=2"), [A, "http://sub.a.test"]),
        ("http-name-letter-case", "X is another name", (A, "x=1; Secure"), (AH, "X=2"), [A, AH]),
        ("http-samesite", "other attributes do not help", (A, "x=1; Secure"),
         (AH, "x=2; SameSite=Lax; Max-Age=3600"), [A, AH]),
        ("http-then-secure", "https makes an http cookie Secure", (AH, "x=1"),
         (A, "x=2; Secure"), [A, AH]),
        ("https-drops-secure", "https may overwrite a Secure cookie without Secure",
         (A, "x=1; Secure"), (A, "x=2"), [A, AH]),
        ("localhost", "http://localhost may overwrite (trustworthy)",
         ("http://localhost", "x=1; Secure"), ("http://localhost", "x=2"), ["http://localhost"]),
        ("loopback-ip", "http://127.0.0.1 may overwrite (trustworthy)",
         ("http://127.0.0.1", "x=1; Secure"), ("http://127.0.0.1", "x=2"),
         ["http://127.0.0.1"]),
        ("co-uk-domain", "a Secure domain cookie under co.uk", (CO, "x=1; Secure; Domain=example.co.uk"),
         ("http://other.example.co.uk", "x=2"), [CO2]),
    ]:
        add("secure-alone", key, title, goto(f"{first[0]}/page", first[1]),
            goto(f"{second[0]}/page-2", second[1]), *[goto(f"{r}/target") if r.count("/") == 2
                                                       else goto(r) for r in reads])
    add("secure-alone", "http-script", "document.cookie over http cannot shadow a Secure cookie",
        goto(f"{A}/page", "x=1; Secure"), write(f"{AH}/page", "x=2"), goto(t))

    # -- HttpOnly and document.cookie
    pg = f"{A}/page"
    add("httponly", "not-read", "document.cookie does not show HttpOnly cookies",
        goto(pg, "x=1; HttpOnly", "y=1"), read(pg), goto(t))
    add("httponly", "not-overwritten", "document.cookie cannot overwrite an HttpOnly cookie",
        goto(pg, "x=1; HttpOnly"), write(pg, "x=2"), goto(t))
    add("httponly", "not-set", "document.cookie cannot set HttpOnly", write(pg, "x=1; HttpOnly"),
        goto(t))
    add("httponly", "http-overwrites", "HTTP replaces an HttpOnly cookie",
        goto(pg, "x=1; HttpOnly"), goto(pg, "x=2"), read(pg))
    add("httponly", "http-makes-httponly", "HTTP makes a script cookie HttpOnly",
        write(pg, "x=1"), goto(pg, "x=2; HttpOnly"), read(pg), goto(t))
    add("httponly", "script-other-path", "another path is another cookie",
        goto(pg, "x=1; HttpOnly; Path=/"), write(pg, "x=2; Path=/page"), read(pg), goto(t))
    add("httponly", "script-domain", "a domain cookie beside an HttpOnly host-only one",
        goto(pg, "x=1; HttpOnly"), write(pg, "x=2; Domain=a.test"), read(pg), goto(t))
    add("httponly", "script-same-value", "document.cookie cannot rewrite even the same value",
        goto(pg, "x=1; HttpOnly"), goto(pg, "y=1"), write(pg, "x=1"), goto(t))
    add("httponly", "iframe-read", "a cross-site frame reads only SameSite=None cookies",
        goto(pg, "n=1; SameSite=None; Secure", "h=1; SameSite=None; Secure; HttpOnly", "l=1"),
        read(f"{A}/page", f"{B}/page"))

    # -- SameSite: which cookies a request carries, by context and mode
    send_contexts = [
        ("typed", "a navigation typed by the user", lambda u: goto(u)),
        ("same-origin-nav", "a navigation from the same origin", lambda u: nav(u, f"{A}/page")),
        ("same-site-nav", "a navigation from a same-site origin", lambda u: nav(u, f"{A2}/page")),
        ("cross-site-nav", "a cross-site top-level GET", lambda u: nav(u, f"{B}/page")),
        ("cross-site-post", "a cross-site top-level POST",
         lambda u: nav(u, f"{B}/page", method="POST")),
        ("same-site-post", "a same-site top-level POST",
         lambda u: nav(u, f"{A2}/page", method="POST")),
        ("schemeful-nav", "a navigation from http to https of one site",
         lambda u: nav(u, f"{AH}/page")),
        ("cross-site-iframe", "an iframe under another site", lambda u: iframe(u, f"{B}/page")),
        ("same-site-iframe", "an iframe under a same-site page", lambda u: iframe(u, f"{A2}/page")),
        ("schemeful-iframe", "an https iframe under the http page of its site",
         lambda u: iframe(u, f"{AH}/page")),
        ("cross-site-fetch", "a fetch from another site", lambda u: fetch(u, f"{B}/page")),
        ("same-site-fetch", "a fetch from a same-site page", lambda u: fetch(u, f"{A2}/page")),
        ("schemeful-fetch", "a fetch from the http page of its site",
         lambda u: fetch(u, f"{AH}/page")),
        ("script-top", "document.cookie in the top-level page", lambda u: read(f"{A}/page")),
        ("script-cross-site-iframe", "document.cookie in a frame under another site",
         lambda u: read(f"{A}/page", f"{B}/page")),
        ("script-same-site-iframe", "document.cookie in a frame under a same-site page",
         lambda u: read(f"{A}/page", f"{A2}/page")),
    ]
    for ctx, title, step in send_contexts:
        for mode, attr in MODES.items():
            value = f"{mode}=1" + (f"; {attr}" if attr else "")
            add("samesite-send", f"{ctx}/{mode}", f"{mode}: {title}",
                goto(f"{A}/page-set", value), step(t))
    set_contexts = [
        ("typed", "the response to a typed navigation", lambda v: goto(t, v)),
        ("cross-site-nav", "the response to a cross-site top-level GET",
         lambda v: nav(t, f"{B}/page", v)),
        ("cross-site-post", "the response to a cross-site top-level POST",
         lambda v: nav(t, f"{B}/page", v, method="POST")),
        ("cross-site-iframe", "an iframe's response under another site",
         lambda v: iframe(t, f"{B}/page", v)),
        ("same-site-iframe", "an iframe's response under a same-site page",
         lambda v: iframe(t, f"{A2}/page", v)),
        ("cross-site-fetch", "a fetch response to another site's page",
         lambda v: fetch(t, f"{B}/page", v)),
        ("same-site-fetch", "a fetch response to a same-site page",
         lambda v: fetch(t, f"{A2}/page", v)),
        ("schemeful-fetch", "a fetch response to the http page of its site",
         lambda v: fetch(t, f"{AH}/page", v)),
        ("script-top", "document.cookie in the top-level page", lambda v: write(f"{A}/page", v)),
        ("script-cross-site-iframe", "document.cookie in a frame under another site",
         lambda v: write(f"{A}/page", v, f"{B}/page")),
    ]
    for ctx, title, step in set_contexts:
        for mode, attr in MODES.items():
            value = f"{mode}=1" + (f"; {attr}" if attr else "")
            add("samesite-set", f"{ctx}/{mode}", f"{mode}: {title}", step(value),
                goto(f"{A}/page-read"))

    # -- Lax-allowing-unsafe: a cookie without SameSite, younger than two
    #    minutes, goes with a cross-site POST (one real wait)
    add("lax-unsafe", "fresh", "a fresh cookie without SameSite goes with a cross-site POST",
        goto(f"{A}/page", "u=1", "l=1; SameSite=Lax"), nav(t, f"{B}/page", method="POST"))
    add("lax-unsafe", "two-minutes", "past two minutes it does not; the age counts from the "
        "creation time kept for an unchanged value",
        goto(f"{A}/page", "u1=1", "u2=1", "u4=1", "l=1; SameSite=Lax"), wait(65),
        goto(f"{A}/page", "u2=1", "u3=1", "u4=2"), wait(62),
        nav(t, f"{B}/page", method="POST"), nav(t, f"{B}/page"))

    # -- Partitioned cookies: kept under the top-level site
    add("partitioned", "iframe-same-top", "set and sent under one top-level site",
        iframe(f"{B}/set", f"{A}/page", P), iframe(f"{B}/get", f"{A}/page"))
    add("partitioned", "iframe-other-top", "not sent under another top-level site",
        iframe(f"{B}/set", f"{A}/page", P), iframe(f"{B}/get", f"{C}/page"))
    add("partitioned", "top-level-after-iframe", "not sent to the top-level site itself",
        iframe(f"{B}/set", f"{A}/page", P), goto(f"{B}/get"))
    add("partitioned", "two-tops", "one name under two top-level sites: two cookies",
        iframe(f"{B}/set", f"{A}/page", "p=a; Secure; SameSite=None; Partitioned"),
        iframe(f"{B}/set", f"{C}/page", "p=c; Secure; SameSite=None; Partitioned"),
        iframe(f"{B}/get", f"{A}/page"), iframe(f"{B}/get", f"{C}/page"))
    add("partitioned", "top-level-set", "set by a top-level page: no cross-site ancestor",
        goto(f"{B}/set", P), goto(f"{B}/get"), iframe(f"{B}/get", f"{A}/page"))
    add("partitioned", "same-site-iframe-set", "set in a same-site frame: the top-level key",
        iframe(f"{B2}/set", f"{B}/page", P), goto(f"{B2}/get"))
    add("partitioned", "fetch-then-iframe", "set by a fetch, sent to the iframe of that partition",
        fetch(f"{B}/set", f"{A}/page", P), iframe(f"{B}/get", f"{A}/page"))
    add("partitioned", "beside-unpartitioned", "partitioned and unpartitioned of one name",
        goto(f"{B}/set", "x=1; Secure; SameSite=None"),
        iframe(f"{B}/set2", f"{A}/page", "x=2; Secure; SameSite=None; Partitioned"),
        iframe(f"{B}/get", f"{A}/page"), goto(f"{B}/get"))
    add("partitioned", "lax-refused", "a Lax partitioned cookie from a cross-site frame",
        iframe(f"{B}/set", f"{A}/page", "p=1; Secure; SameSite=Lax; Partitioned"))
    add("partitioned", "unset-refused", "a partitioned cookie without SameSite from a cross-site frame",
        iframe(f"{B}/set", f"{A}/page", "p=1; Secure; Partitioned"))
    add("partitioned", "unset-top-level", "a partitioned cookie without SameSite, top-level",
        goto(f"{B}/set", "p=1; Secure; Partitioned"), goto(f"{B}/get"))
    add("partitioned", "delete-own", "deleted in its own partition",
        iframe(f"{B}/set", f"{A}/page", P),
        iframe(f"{B}/del", f"{A}/page", "p=; Secure; SameSite=None; Partitioned; Max-Age=0"))
    add("partitioned", "delete-other", "a deletion in another partition leaves it",
        iframe(f"{B}/set", f"{A}/page", P),
        iframe(f"{B}/del", f"{C}/page", "p=; Secure; SameSite=None; Partitioned; Max-Age=0"))
    add("partitioned", "delete-unpartitioned", "an unpartitioned deletion leaves it",
        iframe(f"{B}/set", f"{A}/page", P),
        iframe(f"{B}/del", f"{A}/page", "p=; Secure; SameSite=None; Max-Age=0"))
    add("partitioned", "schemeful-top", "http and https top-level pages are two partitions",
        iframe(f"{B}/set", f"{AH}/page", P), iframe(f"{B}/get", f"{A}/page"),
        iframe(f"{B}/get", f"{AH}/page"))
    add("partitioned", "script-iframe", "document.cookie in a cross-site frame",
        iframe(f"{B}/page", f"{A}/page"), write(f"{B}/page", P, f"{A}/page"),
        read(f"{B}/page", f"{A}/page"), iframe(f"{B}/get", f"{A}/page"))
    add("partitioned", "script-top", "document.cookie in a top-level page",
        write(f"{B}/page", P), read(f"{B}/page"), goto(f"{B}/get"))
    add("partitioned", "domain", "a partitioned domain cookie",
        iframe(f"{B}/set", f"{A}/page", "p=1; Secure; SameSite=None; Partitioned; Domain=b.test"),
        iframe(f"{B2}/get", f"{A}/page"))
    add("partitioned", "secure-alone", "a Secure partitioned cookie and an http frame",
        iframe(f"{B}/set", f"{A}/page", P), iframe("http://www.b.test/set", "http://www.a.test/page",
                                                   "p=2"))
    big = lambda i: f"p{i:03d}=" + "v" * 995 + "; Secure; SameSite=None; Partitioned"  # noqa: E731
    add("partitioned", "limit-count", "181 cookies in one partition and domain",
        iframe(f"{B}/set", f"{A}/page",
               *[f"p{i:03d}=1; Secure; SameSite=None; Partitioned" for i in range(181)], bulk=True),
        iframe(f"{B}/get", f"{A}/page"))
    add("partitioned", "limit-bytes", "11 cookies of 1000 bytes in one partition and domain",
        iframe(f"{B}/set", f"{A}/page", *[big(i) for i in range(11)], bulk=True),
        iframe(f"{B}/get", f"{A}/page"))
    add("partitioned", "limit-per-domain", "the limits count per domain within a partition",
        iframe(f"{B}/set", f"{A}/page", *[big(i) for i in range(10)], bulk=True),
        iframe(f"{C}/set", f"{A}/page", *[big(i) for i in range(10)], bulk=True))

    # -- third-party cookies (allowed by the recording profile's setting)
    add("third-party", "control", "SameSite=None; Secure from a cross-site iframe, sent back",
        iframe(f"{B}/set", f"{A}/page", "t=1; SameSite=None; Secure"),
        iframe(f"{B}/get", f"{A}/page"))
    add("third-party", "fetch", "from a cross-site fetch, sent back",
        fetch(f"{B}/set", f"{A}/page", "t=1; SameSite=None; Secure"),
        fetch(f"{B}/get", f"{A}/page"))
    add("third-party", "first-party-cookie-in-iframe", "a top-level cookie sent to a cross-site frame",
        goto(f"{B}/set", "t=1; SameSite=None; Secure", "u=1"), iframe(f"{B}/get", f"{A}/page"))
    add("third-party", "script", "document.cookie in a cross-site frame",
        iframe(f"{B}/page", f"{A}/page"), write(f"{B}/page", "t=1; SameSite=None; Secure", f"{A}/page"),
        read(f"{B}/page", f"{A}/page"))

    # -- the scheme and port that set a cookie
    h = "http://h.test:8080"
    for key, target in [("https-default-port", "https://h.test/"),
                        ("http-other-port", "http://h.test:8081/"),
                        ("http-default-port", "http://h.test/"),
                        ("https-other-port", "https://h.test:8443/")]:
        add("scheme-port", key, f"set from {h}, sent to {target}",
            goto(f"{h}/page", "x=1", "d=1; Domain=h.test"), goto(f"{target}target"))
    add("scheme-port", "overwrite-other-port", "another port overwrites",
        goto(f"{h}/page", "x=1"), goto("http://h.test:8081/page", "x=2"), goto(f"{h}/target"))
    add("scheme-port", "overwrite-other-scheme", "another scheme overwrites",
        goto(f"{h}/page", "x=1"), goto("https://h.test:8443/page", "x=2"), goto(f"{h}/target"))
    add("scheme-port", "secure-8443", "a Secure cookie from https on port 8443",
        goto("https://h.test:8443/page", "s=1; Secure"), goto("https://h.test/target"),
        goto("http://h.test:8443/target"))
    add("scheme-port", "localhost-secure", "a Secure cookie from http://localhost:8080",
        goto("http://localhost:8080/page", "s=1; Secure", "x=1"), goto("http://localhost/target"),
        goto("https://localhost/target"))
    add("scheme-port", "localhost-secure-default-port", "a Secure cookie from http://localhost",
        goto("http://localhost/page", "s=1; Secure"), goto("https://localhost/target"))

    # -- eviction per registrable domain (180, purged to 150)
    def many(prefix, n, attrs="", start=0):
        return [f"{prefix}{i:03d}=1" + (f"; {attrs}" if attrs else "") for i in range(start, start + n)]

    for key, title, responses, read_url in [
        ("180-kept", "180 cookies are kept", [(A, many("c", 180))], t),
        ("181-medium", "the 181st purges the 31 least recently used", [(A, many("c", 181))], t),
        ("two-responses", "170 then 20", [(A, many("c", 170)), (A, many("d", 20))], t),
        ("across-subdomains", "hosts of one site share the limit",
         [(A, many("c", 100)), (A2, many("d", 81))], t),
        ("co-uk-separate", "two sites under co.uk do not share it",
         [(CO, many("c", 100)), ("https://www.other.co.uk", many("d", 100))], f"{CO}/target"),
        ("low-newest", "150 Medium, then 31 Low",
         [(A, many("m", 150)), (A, many("l", 31, "Priority=Low"))], t),
        ("low-oldest", "40 Low, then 141 Medium",
         [(A, many("l", 40, "Priority=Low")), (A, many("m", 141))], t),
        ("high-and-medium", "100 High, then 81 Medium",
         [(A, many("h", 100, "Priority=High")), (A, many("m", 81))], t),
        ("high-only", "181 High", [(A, many("h", 181, "Priority=High"))], t),
        ("secure-oldest", "90 Secure, then 91 not Secure",
         [(A, many("s", 90, "Secure")), (A, many("n", 91))], t),
        ("all-secure", "181 Secure", [(A, many("s", 181, "Secure"))], t),
        ("mixed", "Low, Medium and High, Secure or not, interleaved",
         [(A, [f"k{i:03d}=1; Priority={('Low', 'Medium', 'High')[i % 3]}"
               + ("; Secure" if i % 2 else "") for i in range(200)])], t),
        ("partitioned-apart", "partitioned cookies are not counted",
         [(B, many("c", 175)), ("iframe", many("p", 10, "Secure; SameSite=None; Partitioned"))],
         f"{B}/target"),
    ]:
        steps = []
        for url, values in responses:
            if url == "iframe":
                steps.append(iframe(f"{B}/set-p", f"{A}/page", *values, bulk=True))
            else:
                steps.append(goto(f"{url}/set-{len(steps)}", *values, bulk=True))
        steps.append(goto(read_url, bulk=True))
        add("evict-site", key, title, *steps)

    # -- the global limit: a fresh profile keeps more than 3300 (the purge
    #    spares cookies used in the last 30 days)
    add("evict-global", "3400-fresh", "3400 cookies over 20 sites, all kept",
        *[goto(f"https://www.s{n:02d}.test/set", *many(f"s{n:02d}c", 170), bulk=True)
          for n in range(20)], goto("https://www.s00.test/target", bulk=True))

    # -- expiry: dates in the past or the future, no waiting
    for key, attr in [
        ("past-date", "Expires=Wed, 01 Jan 2020 00:00:00 GMT"),
        ("future-date", "Expires=Fri, 01 Jan 2027 00:00:00 GMT"),
        ("capped-date", "Expires=Tue, 01 Jan 2030 00:00:00 GMT"),
        ("max-age", "Max-Age=3600"),
        ("max-age-capped", "Max-Age=99999999999"),
        ("session", ""),
        ("invalid-date", "Expires=soon"),
        ("year-1601", "Expires=Mon, 01 Jan 1601 00:00:00 GMT"),
        ("year-9999", "Expires=Thu, 12-Aug-9999 20:49:07 GMT"),
        ("year-10000", "Expires=Thu, 12-Aug-10000 20:49:07 GMT"),
        ("year-2147483647", "Expires=Thu, 12-Aug-2147483647 20:49:07 GMT"),
        ("year-2147483648", "Expires=Thu, 12-Aug-2147483648 20:49:07 GMT"),
        ("year-9999999999", "Expires=Thu, 12-Aug-9999999999 20:49:07 GMT"),
        ("year-10000000000", "Expires=Thu, 12-Aug-10000000000 20:49:07 GMT"),
        ("max-age-over-expires", "Expires=Wed, 01 Jan 2020 00:00:00 GMT; Max-Age=600"),
    ]:
        add("expiry", key, attr or "no expiry", goto(f"{A}/page", "x=1" + (f"; {attr}" if attr else "")),
            goto(t))
    add("expiry", "past-date-deletes", "an Expires in the past deletes",
        goto(f"{A}/page", "x=1; Max-Age=3600"),
        goto(f"{A}/page", "x=1; Expires=Wed, 01 Jan 2020 00:00:00 GMT"), goto(t))
    add("expiry", "year-10000-replaces", "an Expires in the year 10000 replaces a session cookie",
        goto(f"{A}/page", "x=1"), goto(f"{A}/page", "x=2; Expires=Thu, 12-Aug-10000 20:49:07 GMT"),
        goto(t))

    # -- raw bytes: Latin-1 and UTF-8 names and values
    e1, e8 = "\xe9", u8("é")
    for key, title, sets, reads in [
        ("latin1-value", "a Latin-1 value is sent back as received", [[f"x={e1}"]], []),
        ("utf8-value", "a UTF-8 value is sent back as received", [[f"x={e8}"]], []),
        ("latin1-name", "a Latin-1 name", [[f"{e1}=1"]], []),
        ("utf8-name", "a UTF-8 name", [[f"{e8}=1"]], []),
        ("emoji-value", "a four-byte UTF-8 value", [[f"x={u8(chr(0x1F36A))}"]], []),
        ("high-bytes", "bytes FF FE 80", [["x=\xff\xfe\x80"]], []),
        ("latin1-to-utf8", "the same text in other bytes is another value",
         [[f"x={e1}"], ["y=1"], [f"x={e8}"]], []),
        ("latin1-unchanged", "the same Latin-1 bytes keep the place",
         [[f"x={e1}"], ["y=1"], [f"x={e1}"]], []),
        ("names-by-bytes", "names that differ only in encoding are two",
         [[f"{e1}=1"], [f"{e8}=2"]], []),
        ("script-read-utf8", "document.cookie shows a UTF-8 value", [[f"x={e8}", "y=1"]],
         [read(f"{A}/page")]),
        ("script-read-latin1", "document.cookie and a Latin-1 value", [[f"x={e1}", "y=1"]],
         [read(f"{A}/page")]),
        ("script-write-utf8", "document.cookie writes UTF-8", [],
         [write(f"{A}/page", "x=é"), read(f"{A}/page")]),
        ("utf8-path", "a path of UTF-8 bytes and the percent-encoded URL path",
         [[f"x=1; Path=/{e8}"]], [goto(f"{A}/%C3%A9")]),
    ]:
        add("bytes", key, title, *[goto(f"{A}/page", *s) for s in sets], *reads, goto(t))

    # -- one name under several domains
    add("multi-domain", "four-cookies", "x host-only and for three domains",
        goto(f"{A}/page", "x=1"), goto(f"{A}/page", "x=2; Domain=a.test"),
        goto(f"{AR}/page", "x=3"), goto(f"{A}/page", "x=4; Domain=www.a.test"),
        goto(t), goto(f"{AR}/target"), goto("https://sub.www.a.test/target"), goto(f"{A2}/target"))
    add("multi-domain", "two-sites", "one name on two sites",
        goto(f"{A}/page", "x=1"), goto(f"{B}/page", "x=2"), goto(t), goto(f"{B}/target"))
    add("multi-domain", "delete-domain-keeps-host", "deleting the domain cookie keeps the host-only one",
        goto(f"{A}/page", "x=1", "x=2; Domain=a.test"),
        goto(f"{A}/page", "x=; Domain=a.test; Max-Age=0"), goto(t))
    add("multi-domain", "public-suffix-refused", "Domain=test and Domain=co.uk are refused",
        goto(f"{A}/page", "x=1; Domain=test"), goto(f"{CO}/page", "x=1; Domain=co.uk"),
        goto(t), goto(f"{CO}/target"))
    add("multi-domain", "paths-and-domains", "domain and path order together",
        goto(f"{A}/page", "x=1; Path=/p", "x=2; Domain=a.test", "x=3; Domain=a.test; Path=/p/q"),
        goto(f"{A}/p/q/r"), goto(f"{A2}/p/q/r"))
    add("multi-domain", "sibling-subdomains", "one name on sibling hosts",
        goto(f"{A}/page", "x=1"), goto(f"{A2}/page", "x=2"), goto(f"{AR}/page", "x=3"),
        goto(t), goto(f"{A2}/target"), goto(f"{AR}/target"))

    # -- IP hosts and localhost
    ip, lh = "http://127.0.0.1", "http://localhost"
    add("ip-localhost", "ip-host-only", "a cookie of 127.0.0.1",
        goto(f"{ip}/page", "x=1"), goto(f"{ip}/target"), goto("https://127.0.0.1/target"))
    add("ip-localhost", "ip-domain-dot", "Domain=.127.0.0.1 is host-only",
        goto(f"{ip}/page", "x=1; Domain=.127.0.0.1"), goto(f"{ip}/target"))
    add("ip-localhost", "ip-other-domain", "Domain=127.0.0.2 is refused",
        goto(f"{ip}/page", "x=1; Domain=127.0.0.2"), goto(f"{ip}/target"))
    add("ip-localhost", "ip-other-ip", "not sent to 127.0.0.2",
        goto(f"{ip}/page", "x=1"), goto("http://127.0.0.2/target"))
    add("ip-localhost", "ip-not-localhost", "an IP cookie is not sent to localhost",
        goto(f"{ip}/page", "x=1"), goto(f"{lh}/target"))
    add("ip-localhost", "ip-secure-over-http", "a Secure cookie over http from a loopback address",
        goto(f"{ip}/page", "s=1; Secure"), goto(f"{ip}/target"))
    add("ip-localhost", "ipv6", "a cookie of [::1]",
        goto("http://[::1]/page", "x=1"), goto("http://[::1]/target"), goto(f"{ip}/target"))
    add("ip-localhost", "ip-samesite-none", "SameSite=None; Secure over http from 127.0.0.1",
        goto(f"{ip}/page", "n=1; SameSite=None; Secure"), goto(f"{ip}/target"))
    add("ip-localhost", "localhost-host-only", "a cookie of localhost",
        goto(f"{lh}/page", "x=1"), goto(f"{lh}/target"), goto("http://localhost:8080/target"))
    add("ip-localhost", "localhost-secure", "a Secure cookie over http://localhost",
        goto(f"{lh}/page", "s=1; Secure"), goto(f"{lh}/target"))
    add("ip-localhost", "localhost-domain-from-sub", "Domain=localhost from app.localhost",
        goto("http://app.localhost/page", "x=1; Domain=localhost"), goto(f"{lh}/target"))
    add("ip-localhost", "localhost-sub-host-only", "app.localhost keeps its own cookie",
        goto("http://app.localhost/page", "x=1"), goto(f"{lh}/target"),
        goto("http://app.localhost/target"))
    add("ip-localhost", "localhost-domain-equal", "Domain=localhost from localhost",
        goto(f"{lh}/page", "x=1; Domain=localhost"), goto(f"{lh}/target"),
        goto("http://app.localhost/target"))
    add("ip-localhost", "localhost-samesite-none", "SameSite=None; Secure over http://localhost",
        goto(f"{lh}/page", "n=1; SameSite=None; Secure"), goto(f"{lh}/target"))

    # -- document.cookie
    add("script", "write-read", "written, read, sent", write(pg, "x=1"), read(pg), goto(t))
    add("script", "write-path", "a path the page is not on",
        write(pg, "x=1; path=/p"), read(pg), goto(f"{A}/p/q"))
    add("script", "write-secure-http", "Secure from an http page is refused",
        write(f"{AH}/page", "x=1; Secure"), goto(t))
    add("script", "write-domain", "a domain cookie from script",
        write(pg, "x=1; domain=a.test"), goto(f"{A2}/target"))
    add("script", "read-order", "document.cookie in the header's order",
        goto(f"{A}/p/page", "a=1; Path=/", "b=1; Path=/p"), goto(f"{A}/p/page", "c=1"),
        read(f"{A}/p/page"))
    add("script", "write-strict", "SameSite=Strict from script in the top-level page",
        write(pg, "x=1; SameSite=Strict"), read(pg), goto(t))
    add("script", "write-max-age", "Max-Age from script", write(pg, "x=1; max-age=3600"), goto(t))
    add("script", "write-two", "one write sets one cookie", write(pg, "x=1; y=2"), read(pg))
    add("script", "write-expired", "an expired write sets nothing",
        write(pg, "x=1; expires=Thu, 01 Jan 1970 00:00:00 GMT"), read(pg))
    add("script", "iframe-unset-hidden", "a frame under another site does not see Lax cookies",
        goto(pg, "x=1", "n=1; SameSite=None; Secure"), read(f"{A}/page", f"{C}/page"))

    # -- peer suites' cases where Chromium answers otherwise than the suite
    cases = dict(peers.cases())
    for case_id in PEER:
        out.append({"id": f"peer/{case_id}", "group": "peer",
                    "title": f"the peer suite case {case_id} in Chromium",
                    "steps": peers.mirror(cases[case_id]), "pages": []})

    ids = [s["id"] for s in out]
    assert len(ids) == len(set(ids)), "duplicate scenario ids"
    return out


# Cases of the peer suites (tests/data/peer_*.json) recorded in Chromium,
# because Chromium does not answer what the suite expects
# (tests/jar/test_jar_peer_suites.py says why for each).
PEER = [f"http-state/{i}" for i in (
    "0002 0004 0021 0023 0024 0025 0026 0027 0028 chromium0009 chromium0010 chromium0012 "
    "comma0006 comma0007 disabled-chromium0022 disabled-path0029 "
    "mozilla0012 mozilla0014 mozilla0015 mozilla0016 mozilla0017 name0023 name0028 name0031 "
    "name0032 name0033 optional-domain0042").split()] + [
    "go/TestBasics#2", "go/TestUpdateAndDelete", "go/TestChromiumBasics#10",
    "go/TestChromiumBasics#11"]


# ---------------------------------------------------------------------------
# Derived scenarios: rules whose other branch a fresh profile cannot show
# ---------------------------------------------------------------------------

T0 = dt.datetime(2026, 1, 5, 12, 0, 0, tzinfo=dt.timezone.utc)


def _at(step, when):
    return dict(step, at=when.isoformat(), jar=jar_calls(step))


def _views(names, domain):
    return [{"name": n, "value": "1", "size": len(n) + 1, "domain": domain, "path": "/",
             "partition": None} for n in names]


def _bulk(views):
    full = [dict(v, expires=None, http_only=False, secure=False, same_site=None,
                 priority="Medium", source_scheme="Secure", source_port=443) for v in views]
    return store_view(full, True)


def derived() -> list[dict]:
    out = []
    rule_global = (
        "cookie_monster.cc, GarbageCollect: when more than kMaxCookies (3300) cookies are "
        "stored, purge to kMaxCookies - kPurgeCookies (3000), non-secure cookies first, then "
        "secure ones, least recently accessed first, but only cookies last accessed before "
        "now - kSafeFromGlobalPurgeDays (30 days); a cookie used since then is never evicted "
        "by the global limit.")
    day = dt.timedelta(days=1)

    def sites(n_sites, per_site, when, prefix="s"):
        steps, names = [], []
        for n in range(n_sites):
            batch = [f"{prefix}{n:02d}c{i:03d}" for i in range(per_site)]
            names.append((f"www.{prefix}{n:02d}.test", batch))
            steps.append(_at(goto(f"https://www.{prefix}{n:02d}.test/set",
                                  *[f"{c}=1" for c in batch], bulk=True),
                             when + dt.timedelta(seconds=n)))
        return steps, names

    # 3300 old cookies, one new one 31 days later: the 301 least recently used go
    steps, names = sites(20, 165, T0)
    for i, step in enumerate(steps):
        kept = [v for host, batch in names[:i + 1] for v in _views(batch, host)]
        step["cookies"] = _bulk(kept)
        step["sent"] = None
    last = _at(goto("https://www.new.test/set", "n=1", bulk=True), T0 + 31 * day)
    survivors = [v for host, batch in names for v in _views(batch, host)][301:]
    last.update(sent=None, cookies=_bulk(survivors + _views(["n"], "www.new.test")))
    out.append({"id": "evict-global/derived-old-cookies", "group": "evict-global",
                "title": "3300 cookies unused for 31 days and one more: purged to 3000",
                "derived": {"rule": rule_global}, "recorded_at": None,
                "steps": steps + [last]})

    # 200 old cookies, 3101 recent ones: only the 200 old ones can go
    old_steps, old_names = sites(2, 100, T0, prefix="o")
    for i, step in enumerate(old_steps):
        step["cookies"] = _bulk([v for host, batch in old_names[:i + 1] for v in _views(batch, host)])
        step["sent"] = None
    new_steps, new_names = sites(19, 163, T0 + 31 * day, prefix="r")
    extra = _at(goto("https://www.r19.test/set", *[f"r19c{i:03d}=1" for i in range(54)], bulk=True),
                T0 + 31 * day + dt.timedelta(seconds=30))
    old_views = [v for host, batch in old_names for v in _views(batch, host)]
    for i, step in enumerate(new_steps):
        step["cookies"] = _bulk(old_views + [v for host, batch in new_names[:i + 1]
                                             for v in _views(batch, host)])
        step["sent"] = None
    new_views = [v for host, batch in new_names for v in _views(batch, host)]
    # 200 + 3097 = 3297, then 54 more: the 4th beyond 3300 purges (goal 301)
    # but only the 200 old cookies may go; the rest stay above 3000
    extra.update(sent=None, cookies=_bulk(new_views + _views([f"r19c{i:03d}" for i in range(54)],
                                                              "www.r19.test")))
    out.append({"id": "evict-global/derived-recent-spared", "group": "evict-global",
                "title": "200 old cookies and 3151 recent ones: only the old ones go",
                "derived": {"rule": rule_global}, "recorded_at": None,
                "steps": old_steps + new_steps + [extra]})

    # secure cookies go after non-secure ones
    steps = []
    for n in range(22):
        batch = [f"x{n:02d}c{i:03d}" for i in range(150)]
        secure = n >= 1
        steps.append(_at(goto(f"https://www.x{n:02d}.test/set",
                              *[f"{c}=1" + ("; Secure" if secure else "") for c in batch], bulk=True),
                         T0 + dt.timedelta(seconds=n)))
    # 22 x 150 = 3300; one more 31 days later: 301 go: the 150 non-secure
    # cookies first, then the 151 least recently used secure ones
    all_views = []
    for n, step in enumerate(steps):
        batch = [f"x{n:02d}c{i:03d}" for i in range(150)]
        all_views += [dict(v) for v in _views(batch, f"www.x{n:02d}.test")]
        step["sent"] = None
        step["cookies"] = _bulk(all_views)
    last = _at(goto("https://www.new.test/set", "n=1", bulk=True), T0 + 31 * day)
    last.update(sent=None, cookies=_bulk(all_views[150 + 151:] + _views(["n"], "www.new.test")))
    out.append({"id": "evict-global/derived-secure-last", "group": "evict-global",
                "title": "non-secure cookies are purged before secure ones",
                "derived": {"rule": rule_global}, "recorded_at": None,
                "steps": steps + [last]})

    # the two-minute rule past its recorded wait
    rule_lax = (
        "cookie_base.cc, GetEffectiveSameSite: a cookie without SameSite is "
        "LAX_MODE_ALLOW_UNSAFE while (now - creation time) <= kLaxAllowUnsafeMaxAge (2 "
        "minutes), and then LAX_MODE; LAX_MODE_ALLOW_UNSAFE admits a request whose context is "
        "SAME_SITE_LAX_METHOD_UNSAFE (a cross-site top-level navigation with an unsafe method, "
        "cookie_util::ComputeSameSiteContextForRequest); LAX_MODE does not.  The creation time "
        "is the one kept when a cookie is overwritten with an unchanged value "
        "(CookieMonster::SetCanonicalCookie, creation_date_to_inherit).")
    post = lambda: nav(f"{A}/target", f"{B}/page", method="POST")  # noqa: E731
    for key, title, sets, at_post, sent in [
        ("derived-120-seconds", "a POST 120 s after the creation: sent",
         [(0, "u=1")], 120, "u=1"),
        ("derived-121-seconds", "a POST 121 s after the creation: not sent",
         [(0, "u=1")], 121, None),
        ("derived-unchanged-value", "set again unchanged at 100 s, POST at 130 s: not sent",
         [(0, "u=1"), (100, "u=1")], 130, None),
        ("derived-changed-value", "set again changed at 100 s, POST at 130 s: sent",
         [(0, "u=1"), (100, "u=2")], 130, "u=2"),
        ("derived-lax-attribute", "SameSite=Lax is never sent with a cross-site POST",
         [(0, "u=1; SameSite=Lax")], 10, None),
        ("derived-get-after-an-hour", "a cross-site GET an hour later: sent",
         [(0, "u=1")], 3600, "u=1"),
    ]:
        steps = []
        for seconds, value in sets:
            s = _at(goto(f"{A}/page", value), T0 + dt.timedelta(seconds=seconds))
            # the typed navigation carries what the previous step set
            s["sent"] = sets[0][1].split(";")[0] if steps else None
            steps.append(s)
        req = nav(f"{A}/target", f"{B}/page") if "get" in key else post()
        s = _at(req, T0 + dt.timedelta(seconds=at_post))
        s["sent"] = sent
        steps.append(s)
        out.append({"id": f"lax-unsafe/{key}", "group": "lax-unsafe", "title": title,
                    "derived": {"rule": rule_lax}, "recorded_at": None, "steps": steps})

    # the last-access time counts for eviction, updated at most once a minute
    rule_access = (
        "cookie_monster.cc: the per-site purge deletes the least recently accessed cookies "
        "first (LRACookieSorter: last access time, then creation time); a cookie's last "
        "access time is set when it is sent, unless it was set less than "
        "kDefaultAccessUpdateThresholdSeconds (60 s) before (InternalUpdateCookieAccessTime).")
    for key, title, gap, gone in [
        ("derived-accessed-spared", "cookies sent 61 s after their creation are used later",
         61, [f"c{i:03d}" for i in range(10, 41)]),
        ("derived-access-within-a-minute", "cookies sent 30 s after creation are not updated",
         30, [f"c{i:03d}" for i in range(31)]),
    ]:
        names = [f"c{i:03d}" for i in range(180)]
        first = _at(goto(f"{A}/set", *[f"{n}=1; Path=/p" if i < 10 else f"{n}=1; Path=/q"
                                       for i, n in enumerate(names)], bulk=True), T0)
        first["sent"] = None
        views = [dict(v, path="/p" if i < 10 else "/q")
                 for i, v in enumerate(_views(names, "www.a.test"))]
        first["cookies"] = _bulk(views)
        use = _at(goto(f"{A}/p/x"), T0 + dt.timedelta(seconds=gap))
        use["sent"] = "; ".join(f"{n}=1" for n in names[:10])
        use["cookies"] = _bulk(views)
        more = _at(goto(f"{A}/set2", "c180=1", bulk=True), T0 + dt.timedelta(seconds=gap + 1))
        more["sent"] = None
        kept = [v for v in views if v["name"] not in gone] + _views(["c180"], "www.a.test")
        more["cookies"] = _bulk(kept)
        out.append({"id": f"evict-site/{key}", "group": "evict-site", "title": title,
                    "derived": {"rule": rule_access}, "recorded_at": None,
                    "steps": [first, use, more]})
    return out
