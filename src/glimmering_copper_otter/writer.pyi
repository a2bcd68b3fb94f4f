# Types of glimmering_copper_otter.writer.

from types import CapsuleType

from glimmering_copper_otter.cookies import Cookie

__pyx_capi__: dict[str, CapsuleType]

def write_cookie_for_response(
    cookie: Cookie,
    *,
    partitioned: bool = False,
    priority: str | None = None,
) -> bytes: ...
