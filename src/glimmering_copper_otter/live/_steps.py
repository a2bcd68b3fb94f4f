"""What push and pull say to a browser, as generators that yield (method,
params) and are sent the result or the `Failed` answer; `run` and `arun`
drive them over a link, sync and async.  The generators return what the
browser holds, as rows, and the report of a push."""

import datetime as dt
import json

from glimmering_copper_otter import rows as _rows
from glimmering_copper_otter.rows import Changed
from glimmering_copper_otter.formats import automation, bidi, cdp
from glimmering_copper_otter.live._report import Refused
from glimmering_copper_otter.live._wire import Failed

NOT_STORED = ("NotStored: the browser took the cookie without an error but holds no such "
              "cookie")
# A row's fields that a protocol shows (not the times).
_SHOWN = [i for i in range(len(_rows.FIELDS)) if i not in (_rows.CREATION, _rows.LAST_ACCESS)]


def run(steps, link):
    """Drives steps over a link; returns what they return."""
    answer = None
    while True:
        try:
            method, params = steps.send(answer)
        except StopIteration as stop:
            return stop.value
        try:
            answer = link.send(method, params)
        except Failed as failed:
            answer = failed


async def arun(steps, link):
    """run, awaiting the link's answers."""
    answer = None
    while True:
        try:
            method, params = steps.send(answer)
        except StopIteration as stop:
            return stop.value
        try:
            answer = await link.send(method, params)
        except Failed as failed:
            answer = failed


def _result(answer, method):
    if isinstance(answer, Failed):
        raise RuntimeError(f"the browser refused {method}: {answer}")
    return answer


def predicted(row: tuple) -> str | None:
    """Why a browser refuses the row's cookie, in check's words, where the
    Set-Cookie value that stands for it tells."""
    try:
        setting = automation.setting(row)
    except ValueError as error:
        return str(error)
    return _rows.value_refusal(setting.header, setting.url)


# -- what the browser holds ----------------------------------------------------


def _read_all(cookies, to_row):
    """(rows, skipped) of a browser's cookie objects; creation times in the
    browser's order, from now (the protocols show none)."""
    base = (dt.datetime.now(dt.timezone.utc) - dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
            ) // dt.timedelta(microseconds=1)
    rows, places, skipped = [], [], []
    for index, cookie in enumerate(cookies):
        place = _place(cookie)
        try:
            row = to_row(cookie)
        except (ValueError, TypeError, AttributeError) as error:
            skipped.append((place, f"Unreadable: {error}"))
            continue
        creation = base + index
        rows.append((*row[:_rows.CREATION], creation, creation, *row[_rows.SECURE:]))
        places.append(place)
    return rows, places, skipped


def _place(cookie):
    """Where a browser's cookie is, for a report: its domain, path and name."""
    def shown(key):
        value = cookie.get(key) if type(cookie) is dict else None
        return repr(value if type(value) is str else "?")

    return f"{shown('domain')} {shown('path')} {shown('name')}"


def cdp_held():
    """The DevTools browser's cookies: (rows, places, skipped)."""
    answer = _result((yield "Storage.getCookies", {}), "Storage.getCookies")
    return _read_all(answer.get("cookies", []), cdp.to_row)


def _site_of(domain):
    from glimmering_copper_otter.browser import registrable_domain

    host = domain.lstrip(".")
    return "https://" + (registrable_domain(host) or host)


def bidi_held(sites, firefox):
    """The BiDi browser's cookies, each with its partition: those it shows
    for the partition of its own site are unpartitioned; one it shows for
    the partition of another of sites is in that one's.  A cookie in
    neither is in a partition the protocol does not name, and skipped.
    Returns (rows, places, skipped)."""
    shown = _result((yield "storage.getCookies", {}), "storage.getCookies")
    cookies = shown.get("cookies", [])
    identity = [json.dumps(cookie, sort_keys=True) for cookie in cookies]
    domains = [cookie.get("domain") if type(cookie) is dict else None for cookie in cookies]
    own = {_site_of(domain) for domain in domains if type(domain) is str}
    by_site = {}
    for site in sorted(own | set(sites)):
        answer = yield "storage.getCookies", {"partition": bidi.partition_of(site)}
        if not isinstance(answer, Failed):
            by_site[site] = [json.dumps(c, sort_keys=True) for c in answer.get("cookies", [])]
    partitions = []
    for key, domain in zip(identity, domains):
        where = ""  # a cookie that does not read is said so by _read_all
        if type(domain) is str:
            mine = _site_of(domain)
            where = next((site for site in sorted(by_site, key=lambda site: site != mine)
                          if key in by_site[site]), None)
            if where is not None:
                by_site[where].remove(key)
                where = "" if where == mine else where
        partitions.append(where)
    kept = [(cookie, where) for cookie, where in zip(cookies, partitions) if where is not None]
    sites_of = iter(where for _, where in kept)
    rows, places, skipped = _read_all(
        [cookie for cookie, _ in kept],
        lambda cookie: bidi.to_row(cookie, site=next(sites_of) or None,
                                   firefox=firefox))
    skipped += [(_place(cookie), "Unsupported: in the partition of a top-level site WebDriver "
                 "BiDi does not name (pull with urls= of its pages)")
                for cookie, where in zip(cookies, partitions) if where is None]
    return rows, places, skipped


# -- push -------------------------------------------------------------------------


def cdp_push(rows):
    """Sets the rows' cookies over DevTools (all at once; one by one when the
    browser refuses some) and reads them back: the PushReport's parts."""
    before = (yield from cdp_held())[0]
    params, notes = [], []
    for row in rows:
        param, changes = cdp.to_param(row)
        params.append(param)
        notes.append(changes)
    errors = {}
    if params:
        answer = yield "Storage.setCookies", {"cookies": params}
        if isinstance(answer, Failed):
            for index, param in enumerate(params):
                answer = yield "Storage.setCookies", {"cookies": [param]}
                if isinstance(answer, Failed):
                    errors[index] = str(answer)
    after = (yield from cdp_held())[0]
    carried = [cdp.to_row(param) for param in params]
    return compare(rows, carried, notes, errors, before, after)


def bidi_push(rows, firefox):
    """Sets the rows' cookies over WebDriver BiDi, one by one, and reads
    them back: the PushReport's parts."""
    made = [bidi.to_cookie(row, firefox=firefox) for row in rows]
    sites = {site for _, site, _ in made if site is not None}
    before = (yield from bidi_held(sites, firefox))[0]
    errors = {}
    for index, (cookie, site, notes) in enumerate(made):
        if cookie is None:
            errors[index] = notes.pop()
            continue
        params = {"cookie": cookie}
        if site is not None:
            params["partition"] = bidi.partition_of(site)
        answer = yield "storage.setCookie", params
        if isinstance(answer, Failed):
            errors[index] = str(answer)
    after = (yield from bidi_held(sites, firefox))[0]
    carried = [row if cookie is None else bidi.to_row(cookie, site=site, firefox=firefox)
               for row, (cookie, site, _) in zip(rows, made)]
    return compare(rows, carried, [notes for _, _, notes in made], errors, before, after)


# -- the report --------------------------------------------------------------------


def _shown_fields(row):
    return tuple(row[i] for i in _SHOWN)


def _key(row):
    return (row[_rows.NAME], row[_rows.DOMAIN], row[_rows.HOST_ONLY], row[_rows.PATH],
            row[_rows.PARTITION_KEY])


def _describe(field, value):
    if field == "expires":
        if value is None:
            return "none (a session cookie)"
        return (dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
                + dt.timedelta(microseconds=value)).isoformat()
    if field == "same_site":
        return _rows.SAME_SITE_NAMES[value]
    if field == "priority":
        return "none" if value == _rows.UNSET else _rows.PRIORITY_NAMES[value]
    return repr(value)


def differences(carried: tuple, held: tuple) -> list[str]:
    """What the browser holds otherwise than it was given, field by field."""
    out = []
    for index in _SHOWN:
        if index == _rows.PERSISTENT or carried[index] == held[index]:
            continue
        field = _rows.FIELDS[index]
        out.append(f"{field}: set as {_describe(field, carried[index])}, stored as "
                   f"{_describe(field, held[index])}")
    return out


def compare(rows, carried, notes, errors, before, after):
    """(pushed, refused, changed) of a push: rows as the jar holds them,
    carried as the protocol told the browser, notes what it could not
    carry of each, errors the browser's words refusing some (by index);
    before and after the browser's cookies around the push."""
    held = {}
    for row in after:
        held.setdefault(_key(row), row)
    untouched = {_shown_fields(row) for row in before}
    # Cookies the push made or changed, for those the browser kept under
    # another key.
    fresh = [row for row in after if _shown_fields(row) not in untouched]
    claimed = {_key(row) for row in carried}
    pushed, refused, changed = 0, [], []
    for index, (row, told) in enumerate(zip(rows, carried)):
        where = (row[_rows.NAME], row[_rows.DOMAIN], row[_rows.PATH])
        got = None if index in errors else held.get(_key(told))
        if got is None and index not in errors:
            got = next((other for other in fresh if _key(other) not in claimed
                        and other[_rows.NAME] == told[_rows.NAME]
                        and (other[_rows.DOMAIN] == told[_rows.DOMAIN]
                             or other[_rows.PATH] == told[_rows.PATH])), None)
        if got is None:
            reason = predicted(row) or errors.get(index) or NOT_STORED
            refused.append(Refused(*where, reason))
            continue
        found = notes[index] + differences(told, got)
        if found:
            changed.extend(Changed(*where, reason) for reason in found)
        else:
            pushed += 1
    return pushed, refused, changed

