# Types of glimmering_copper_otter.jar.

import http.cookiejar
import os
import urllib.request
from collections.abc import Iterable, Iterator, Mapping, Sequence
from datetime import datetime
from types import TracebackType
from typing import IO, Any, Final, Literal, TypedDict, TypeVar, final, overload

import aiohttp
import curl_cffi.requests
import httpx
import httpx2
import requests
from _typeshed import structseq
from aiohttp.abc import AbstractCookieJar
from typing_extensions import Self, deprecated

from glimmering_copper_otter import _jar
from glimmering_copper_otter.rows import Changed as Changed
from glimmering_copper_otter.rows import LeftOut as LeftOut
from glimmering_copper_otter.rows import LoadReport as LoadReport
from glimmering_copper_otter.rows import SaveReport as SaveReport
from glimmering_copper_otter.browser import BrowserCookie as BrowserCookie
from glimmering_copper_otter.live import PushReport as PushReport
from glimmering_copper_otter.live import Refused as Refused
from glimmering_copper_otter.stores import RowStore
from glimmering_copper_otter.stores import StoreError as StoreError
from glimmering_copper_otter.stores import StoreWarning as StoreWarning

__all__ = ["BrowserCookie", "Changed", "CookieDetails", "CookieJar", "LeftOut", "LoadReport",
           "PushReport", "Refused", "SaveReport", "StoreError", "StoreWarning"]

_Text = bytes | str
_Values = Iterable[_Text] | Iterable[tuple[_Text, _Text]] | Iterable[list[_Text]]
_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Session = TypeVar("_Session", bound=requests.Session)
_Client = TypeVar("_Client", bound=httpx.Client)
_AsyncClient = TypeVar("_AsyncClient", bound=httpx.AsyncClient)
_Client2 = TypeVar("_Client2", bound=httpx2.Client)
_AsyncClient2 = TypeVar("_AsyncClient2", bound=httpx2.AsyncClient)
_CurlSession = TypeVar("_CurlSession", bound=curl_cffi.requests.Session[Any])
_CurlAsyncSession = TypeVar("_CurlAsyncSession", bound=curl_cffi.requests.AsyncSession[Any])
_ToolFormat = Literal["playwright", "cdp", "extension", "webdriver"]
_Format = Literal["cookiejar", "httpx", "aiohttp", "mapping"] | _ToolFormat
# A document of an automation tool: a JSON object or list (a Playwright storage
# state, lists of cookie objects), or the JSON of bytes, a path or an open file.
# A Playwright storage state, as Playwright types it (new_context's
# storage_state takes it as it is).
class _PlaywrightCookie(TypedDict, total=False):
    name: str
    value: str
    domain: str
    path: str
    expires: float
    httpOnly: bool
    secure: bool
    sameSite: Literal["Lax", "None", "Strict"]
    # (a partitioned cookie's dict also has partitionKey, a str, which
    # Playwright's type leaves out: a list of these must be its list)

class _PlaywrightStorageEntry(TypedDict):
    name: str
    value: str

class _PlaywrightOrigin(TypedDict):
    origin: str
    localStorage: list[_PlaywrightStorageEntry]

class _PlaywrightState(TypedDict, total=False):
    cookies: list[_PlaywrightCookie]
    origins: list[_PlaywrightOrigin]

_Document = _PlaywrightState | Mapping[str, Any] | Sequence[Mapping[str, Any]] | bytes | _Path | IO[bytes] | IO[str]
# A row: see glimmering_copper_otter.rows.
_Row = tuple[
    bytes, bytes, str, bool, bytes, int | None, int, int, bool, bool, int, bool, str, int, int,
    int, bool, bool,
]
# A cookie's key: (raw_name, domain, host_only, path, partitioned, partition_key,
# cross_site_ancestor).
_Key = tuple[bytes, str, bool, bytes, bool, str, bool]

@final
class CookieDetails(structseq[Any], tuple[datetime, datetime, tuple[str, bool] | None, str, int]):
    __match_args__: Final = (
        "creation", "last_access", "partition_key", "source_scheme", "source_port"
    )
    @property
    def creation(self) -> datetime: ...
    @property
    def last_access(self) -> datetime: ...
    @property
    def partition_key(self) -> tuple[str, bool] | None: ...
    @property
    def source_scheme(self) -> str: ...
    @property
    def source_port(self) -> int: ...

class CookieJar(_jar.CookieJar):
    def __init__(
        self,
        path: _Path | None = None,
        *,
        store: RowStore | str | None = None,
        name: str = "default",
        max_cookies: int | None = 3300,
        max_cookies_per_site: int | None = 180,
        public_suffix_list: bool = True,
        keep_session_cookies: bool | None = None,
        timeout: float = 5.0,
    ) -> None: ...
    @property
    def max_cookies(self) -> int | None: ...
    @property
    def max_cookies_per_site(self) -> int | None: ...
    @property
    def public_suffix_list(self) -> bool: ...
    @property
    def closed(self) -> bool: ...
    @property
    def store(self) -> RowStore | None: ...
    def close(self) -> None: ...
    def fork(self, name: str) -> Self: ...
    def end_session(self) -> int: ...
    def sync(self) -> None: ...
    def flush(self, timeout: float | None = None) -> None: ...
    async def aflush(self, timeout: float | None = None) -> None: ...
    async def aclose(self) -> None: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    def set_cookie(
        self,
        raw: _Text,
        url: str,
        *,
        now: datetime | None = None,
        site_for_cookies: str | None = None,
        navigation: bool = False,
        from_script: bool = False,
    ) -> BrowserCookie | None: ...
    @overload
    @deprecated("pass a list of values: a lone bytes or str raises TypeError")
    def set_cookies(
        self,
        values: _Text,
        url: str,
        *,
        now: datetime | None = None,
        site_for_cookies: str | None = None,
        navigation: bool = False,
        from_script: bool = False,
    ) -> list[BrowserCookie | None]: ...
    @overload
    def set_cookies(
        self,
        values: _Values,
        url: str,
        *,
        now: datetime | None = None,
        site_for_cookies: str | None = None,
        navigation: bool = False,
        from_script: bool = False,
    ) -> list[BrowserCookie | None]: ...
    def cookie_header(
        self,
        url: str,
        *,
        now: datetime | None = None,
        site_for_cookies: str | None = None,
        navigation: bool = False,
        method: str = "GET",
        from_script: bool = False,
    ) -> bytes: ...
    @overload
    def cookies(
        self, url: str | None = None, *, now: datetime | None = None, details: Literal[False] = False
    ) -> list[BrowserCookie]: ...
    @overload
    def cookies(
        self, url: str | None = None, *, now: datetime | None = None, details: Literal[True]
    ) -> list[tuple[BrowserCookie, CookieDetails]]: ...
    def get(
        self,
        name: _Text,
        *,
        domain: _Text | None = None,
        path: _Text | None = None,
        now: datetime | None = None,
    ) -> BrowserCookie | None: ...
    def clear(
        self, domain: _Text | None = None, path: _Text | None = None, name: _Text | None = None
    ) -> int: ...
    def clear_session_cookies(self) -> int: ...
    def clear_expired(self, now: datetime | None = None) -> int: ...
    def remove(self, cookie: BrowserCookie | tuple[BrowserCookie, CookieDetails] | _Key) -> bool: ...
    def __len__(self) -> int: ...
    def __contains__(self, item: object) -> bool: ...
    def __iter__(self) -> Iterator[BrowserCookie]: ...
    def rows(self) -> list[_Row]:
        """The jar's cookies as rows (see glimmering_copper_otter.rows)."""
    def load_rows(
        self, rows: Iterable[_Row], *, replace: bool = False
    ) -> tuple[int, int, list[tuple[int, str]]]:
        """Puts rows into the jar as they are (replacing cookies of the same
        key; the limits apply); with replace, the jar is emptied first.
        Returns (loaded, expired, refused): how many went in, how many had
        expired, and an (index, reason) pair for each row the row contract
        refuses.  All or nothing."""
    def _apply_settings(
        self, settings: Iterable[tuple[bytes | str, str, str | None, bool, _Row | None]]
    ) -> list[BrowserCookie | str]: ...
    def load_cookies_txt(self, path_or_file: _Path | IO[bytes] | IO[str], strict: bool = False) -> LoadReport: ...
    def save_cookies_txt(self, path_or_file: _Path | IO[bytes] | IO[str]) -> SaveReport: ...
    def to_json(self) -> str: ...
    def load_json(self, text: str | bytes) -> LoadReport: ...
    @classmethod
    def from_json(cls, text: str | bytes, /) -> Self: ...
    def load_cookies(
        self,
        source: http.cookiejar.CookieJar | httpx.Cookies | aiohttp.CookieJar | Mapping[str, str]
        | _Document,
        *,
        format: _Format,
        url: str | None = None,
    ) -> LoadReport: ...
    @overload
    def dump_cookies(
        self, *, format: Literal["cookiejar"], url: str | None = None
    ) -> tuple[http.cookiejar.CookieJar, SaveReport]: ...
    @overload
    def dump_cookies(
        self, *, format: Literal["httpx"], url: str | None = None
    ) -> tuple[httpx.Cookies, SaveReport]: ...
    @overload
    def dump_cookies(
        self, *, format: Literal["aiohttp"], url: str | None = None
    ) -> tuple[aiohttp.CookieJar, SaveReport]: ...
    @overload
    def dump_cookies(
        self, *, format: Literal["mapping"], url: str | None = None
    ) -> tuple[dict[str, str], SaveReport]: ...
    @overload
    def dump_cookies(
        self, *, format: Literal["playwright"], url: str | None = None
    ) -> tuple[_PlaywrightState, SaveReport]: ...
    @overload
    def dump_cookies(
        self, *, format: Literal["cdp", "extension", "webdriver"], url: str | None = None
    ) -> tuple[list[dict[str, Any]], SaveReport]: ...

    def load_browser(
        self,
        browser: str,
        profile: _Path | None = None,
        *,
        password: str | bytes | None = None,
        key: bytes | None = None,
        container: str | int | None = None,
    ) -> LoadReport: ...
    # target: a DevTools endpoint ("http://127.0.0.1:PORT" or its ws:// url), a
    # WebDriver BiDi one ("ws://127.0.0.1:PORT/session"), a Playwright
    # BrowserContext (sync for push/pull, async for apush/apull) or a Selenium
    # WebDriver.
    def push(self, target: object, *, urls: Iterable[str] | None = None) -> PushReport: ...
    def pull(self, target: object, *, urls: Iterable[str] | None = None) -> LoadReport: ...
    async def apush(self, target: object, *, urls: Iterable[str] | None = None) -> PushReport: ...
    async def apull(self, target: object, *, urls: Iterable[str] | None = None) -> LoadReport: ...
    def for_urllib(self) -> urllib.request.BaseHandler: ...
    @overload
    def install(self, target: _Session) -> _Session: ...
    @overload
    def install(self, target: _Client) -> _Client: ...
    @overload
    def install(self, target: _AsyncClient) -> _AsyncClient: ...
    @overload
    def install(self, target: _Client2) -> _Client2: ...
    @overload
    def install(self, target: _AsyncClient2) -> _AsyncClient2: ...
    @overload
    def install(self, target: _CurlSession) -> _CurlSession: ...
    @overload
    def install(self, target: _CurlAsyncSession) -> _CurlAsyncSession: ...
    def for_aiohttp(self) -> AbstractCookieJar: ...
    async def aset_cookie(
        self,
        raw: _Text,
        url: str,
        *,
        now: datetime | None = None,
        site_for_cookies: str | None = None,
        navigation: bool = False,
        from_script: bool = False,
    ) -> BrowserCookie | None: ...
    async def aset_cookies(
        self,
        values: _Values,
        url: str,
        *,
        now: datetime | None = None,
        site_for_cookies: str | None = None,
        navigation: bool = False,
        from_script: bool = False,
    ) -> list[BrowserCookie | None]: ...
