"""Classes named by the stored pickles in frozen_pickles.

The pickles refer to these by module and name ("data.frozen_classes.<name>"),
so neither the module nor the classes may be renamed or moved.
"""

from glimmering_copper_otter.cookies import Cookie, CookieError, CookieValueExceedsMaximumLength


class FrozenCookie(Cookie):
    """A Cookie subclass with an instance __dict__ (ten-item pickled state)."""


class FrozenCookieError(CookieError):
    pass


class FrozenValueTooLong(CookieValueExceedsMaximumLength):
    pass
