"""This package's JSON document of a jar: every field of every cookie, read
back exactly.  The schema is in the README.

    {"format": "glimmering_copper_otter cookie jar", "version": 1, "cookies": [...]}
"""

import base64
import json

from glimmering_copper_otter import rows as _rows

JSON_FORMAT = "glimmering_copper_otter cookie jar"
JSON_VERSION = 1
# The JSON key of each row field, in the order a cookie object lists them
# (persistent is not written: it is whether expires is null).
_KEYS = {"name": _rows.NAME, "value": _rows.VALUE, "domain": _rows.DOMAIN,
         "host_only": _rows.HOST_ONLY, "path": _rows.PATH, "expires": _rows.EXPIRES,
         "creation": _rows.CREATION, "last_access": _rows.LAST_ACCESS, "secure": _rows.SECURE,
         "http_only": _rows.HTTP_ONLY, "same_site": _rows.SAME_SITE,
         "partitioned": _rows.PARTITIONED, "partition_key": _rows.PARTITION_KEY,
         "cross_site_ancestor": _rows.CROSS_SITE_ANCESTOR, "priority": _rows.PRIORITY,
         "source_scheme": _rows.SOURCE_SCHEME, "source_port": _rows.SOURCE_PORT}
# Fields written as names: the names of 0, 1, ... (priority: null for unset).
_NAMED = {_rows.SAME_SITE: _rows.SAME_SITE_NAMES, _rows.PRIORITY: _rows.PRIORITY_NAMES,
          _rows.SOURCE_SCHEME: _rows.SOURCE_SCHEME_NAMES}
_BYTES = (_rows.NAME, _rows.VALUE, _rows.PATH)
# An integer of more digits than any field holds is not read as one: the
# field that holds it is refused (and no huge number is ever converted).
_MAX_DIGITS = 20


class _Huge:
    """An integer too long to be a field's."""

    def __init__(self, text):
        self.digits = len(text.lstrip("-"))


def _integer(text):
    return int(text) if len(text) <= _MAX_DIGITS + 1 else _Huge(text)


def _bytes_to_json(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return {"base64": base64.b64encode(data).decode("ascii")}


def _bytes_from_json(item, where):
    if type(item) is str:
        try:
            return item.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"{where}: text with a lone surrogate") from None
    if type(item) is dict and item.keys() == {"base64"} and type(item["base64"]) is str:
        try:
            return base64.b64decode(item["base64"], validate=True)
        except ValueError:
            pass
    raise ValueError(f"{where}: a string or {{\"base64\": ...}}")


def _cookie_to_json(row):
    cookie = {}
    for key, index in _KEYS.items():
        value = row[index]
        if index in _BYTES:
            value = _bytes_to_json(value)
        elif index in _NAMED:
            value = None if value == _rows.UNSET else _NAMED[index][value]
        cookie[key] = value
    return cookie


def _cookie_from_json(cookie):
    """The row of a cookie object; ValueError with the reason, naming the
    field."""
    if type(cookie) is not dict:
        raise ValueError("a cookie is an object")
    if cookie.keys() != _KEYS.keys():
        missing = [key for key in _KEYS if key not in cookie]
        extra = sorted(set(cookie) - set(_KEYS))
        raise ValueError(f"missing {', '.join(missing)}" if missing
                         else f"unknown field {extra[0]}")
    fields = [None] * len(_rows.FIELDS)
    for key, index in _KEYS.items():
        value = cookie[key]
        if type(value) is _Huge:
            raise ValueError(f"{key}: a number of {value.digits} digits, out of range")
        if index in _BYTES:
            value = _bytes_from_json(value, key)
        elif index == _rows.PRIORITY and value is None:
            value = _rows.UNSET
        elif index in _NAMED:
            if type(value) is not str or value not in _NAMED[index]:
                raise ValueError(f"{key}: one of {', '.join(_NAMED[index])}"
                                 + (" or null" if index == _rows.PRIORITY else ""))
            value = _NAMED[index].index(value)
        fields[index] = value
    fields[_rows.PERSISTENT] = fields[_rows.EXPIRES] is not None
    return tuple(fields)


def to_json(rows: list[tuple]) -> str:
    """The rows as a JSON document (a str) that keeps every field."""
    cookies = [json.dumps(_cookie_to_json(row)) for row in rows]
    return (f'{{"format": "{JSON_FORMAT}", "version": {JSON_VERSION}, "cookies": [\n'
            + ",\n".join(cookies) + "\n]}\n")


def read_json(text: str | bytes) -> tuple[list[tuple], list[tuple[int, str]]]:
    """The rows of a JSON document written by `to_json`, and the cookies
    passed over as (index, reason), reason beginning with a code word
    (Unreadable, or `browser.check`'s: the row contract refused the cookie).
    A document that is not one of this version raises ValueError."""
    try:
        document = json.loads(text, parse_int=_integer)
    except RecursionError:
        raise ValueError("not a document this reader takes: arrays and objects nested too "
                         "deeply") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise ValueError(f"not JSON: {error}") from None
    if type(document) is not dict or document.get("format") != JSON_FORMAT:
        raise ValueError(f'not a cookie jar document (its "format" is not "{JSON_FORMAT}")')
    version = document.get("version")
    if type(version) is not int or version != JSON_VERSION:
        shown = f"a number of {version.digits} digits" if type(version) is _Huge else repr(version)
        raise ValueError(f'"version": cookie jar document of version {shown}; this version '
                         f"reads version {JSON_VERSION}")
    cookies = document.get("cookies")
    if type(cookies) is not list:
        raise ValueError('"cookies" is not a list')
    rows, places, skipped = [], [], []
    for index, cookie in enumerate(cookies):
        try:
            rows.append(_cookie_from_json(cookie))
            places.append(index)
        except ValueError as error:
            skipped.append((index, f"Unreadable: {error}"))
    refused = _rows.check_rows(rows)
    if refused:
        bad = {index for index, _ in refused}
        skipped.extend((places[index], reason) for index, reason in refused)
        skipped.sort()
        rows = [row for index, row in enumerate(rows) if index not in bad]
    return rows, skipped
