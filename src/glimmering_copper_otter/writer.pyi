# Types of glimmering_copper_otter.writer.

from datetime import date, datetime, timedelta
import sys
if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType
from typing import Literal

from glimmering_copper_otter.cookies import Cookie, CookieSameSiteMode

__pyx_capi__: dict[str, CapsuleType]

_SameSite = (
    Literal["lax", "strict", "none", "Lax", "Strict", "None", "LAX", "STRICT", "NONE"]
    | CookieSameSiteMode
)
_Priority = Literal["low", "medium", "high", "Low", "Medium", "High", "LOW", "MEDIUM", "HIGH"]
_Encoding = Literal["auto", "percent", "raw"]

def write_cookie_for_response(
    cookie: Cookie,
    *,
    partitioned: bool = False,
    priority: _Priority | None = None,
) -> bytes: ...
def set_cookie_header(
    name: str,
    value: str = "",
    *,
    max_age: int | timedelta | None = None,
    expires: datetime | date | int | float | None = None,
    path: str | None = "/",
    domain: str | None = None,
    secure: bool = False,
    http_only: bool = False,
    same_site: _SameSite | None = None,
    partitioned: bool = False,
    priority: _Priority | None = None,
    encoding: _Encoding = "auto",
) -> bytes: ...
def delete_cookie_header(
    name: str,
    *,
    path: str | None = "/",
    domain: str | None = None,
    secure: bool = False,
    http_only: bool = False,
    same_site: _SameSite | None = None,
    partitioned: bool = False,
    encoding: _Encoding = "auto",
) -> bytes: ...
