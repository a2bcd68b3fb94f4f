# Types of glimmering_copper_otter.cookie_header.
# Checked against the built module by mypy.stubtest in the test suite.

from collections.abc import Iterable, Mapping
import sys
if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType

__pyx_capi__: dict[str, CapsuleType]

_Header = bytes | str

def parse_cookie_header(
    raw: _Header | list[_Header] | tuple[_Header, ...],
    *,
    percent_decode: bool = True,
) -> dict[str, str]: ...
def parse_cookie_header_pairs(
    raw: _Header | list[_Header] | tuple[_Header, ...],
    *,
    percent_decode: bool = True,
) -> list[tuple[str, str]]: ...
def write_cookie_header(
    cookies: Mapping[str, str] | Iterable[tuple[str, str] | list[str]],
) -> bytes: ...
