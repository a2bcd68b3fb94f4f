# Types of glimmering_copper_otter._jar, the native core of
# glimmering_copper_otter.jar (which describes CookieJar's methods).

from collections.abc import Iterable
from typing import Final

from glimmering_copper_otter.browser import BrowserCookie as BrowserCookie
from glimmering_copper_otter.jar import CookieDetails as CookieDetails
from glimmering_copper_otter.stores import RowStore

ROW_FIELDS: Final[tuple[str, ...]]
KEY_FIELDS: Final[tuple[str, ...]]

def check_rows(rows: Iterable[object]) -> list[tuple[int, str]]: ...
def value_refusal(value: bytes | str, url: str) -> str | None: ...
def rows_of_columns(records: Iterable[tuple[object, ...]]) -> list[tuple[object, ...]]: ...

class CookieJar:
    def __init__(
        self,
        store: RowStore | None = None,
        *,
        max_cookies: int | None = 3300,
        max_cookies_per_site: int | None = 180,
        public_suffix_list: bool = True,
    ) -> None: ...
