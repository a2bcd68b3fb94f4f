"""The Scrapy middleware's former address: the middleware is
`glimmering_copper_otter.scrapy.CookiesMiddleware` (this name stays for
settings that give the old one).  It is an application, above the jar, not
one of the client adapters."""

from glimmering_copper_otter.scrapy import CookiesMiddleware

__all__ = ["CookiesMiddleware"]
