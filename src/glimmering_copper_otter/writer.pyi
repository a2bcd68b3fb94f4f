# Types of glimmering_copper_otter.writer.

from glimmering_copper_otter.cookies import Cookie

def write_cookie_for_response(cookie: Cookie) -> bytes: ...
