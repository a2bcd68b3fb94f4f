"""Set-Cookie header values kept where a framework keeps cookies as
``http.cookies`` morsels, such as Django's ``response.cookies``: the one way
to send several Set-Cookie lines from a Django response.

    from glimmering_copper_otter.morsel import set_header
    from glimmering_copper_otter.writer import set_cookie_header

    set_header(response.cookies, set_cookie_header("sid", token, max_age=3600))
"""

from http.cookies import Morsel

__all__ = ["HeaderMorsel", "set_header"]


class HeaderMorsel(Morsel):
    """A Morsel that writes one given Set-Cookie header value, unchanged.

    ``key``, ``value`` and ``coded_value`` are the header's name and value
    as written.  Setting the morsel again with ``set()`` (as a framework's
    own ``set_cookie`` does for a name it already holds) drops the header,
    and the morsel then writes its fields as any Morsel does.
    """

    def __init__(self, header: bytes | str) -> None:
        super().__init__()
        text = header.decode("latin-1") if isinstance(header, bytes) else str(header)
        name, _, rest = text.partition("=")
        value = rest.split(";", 1)[0]
        # Set directly: Morsel.set refuses names that are attribute names.
        self._key, self._value, self._coded_value = name.strip(), value.strip(), value.strip()
        self.header: str | None = text

    def set(self, key: str, val: str, coded_val: str) -> None:
        self.header = None
        super().set(key, val, coded_val)

    def OutputString(self, attrs: list[str] | None = None) -> str:
        if self.header is None:
            return super().OutputString(attrs)
        return self.header

    def copy(self) -> "HeaderMorsel":
        morsel = HeaderMorsel.__new__(HeaderMorsel)
        dict.update(morsel, self)
        morsel.__dict__.update(self.__dict__)
        return morsel

    def __getstate__(self) -> dict[str, str | None]:
        return {**super().__getstate__(), "header": self.header}

    def __setstate__(self, state: dict[str, str | None]) -> None:
        super().__setstate__(state)
        self.header = state["header"]

    def __eq__(self, other: object) -> bool:
        same = super().__eq__(other)
        if same is NotImplemented or not same:
            return same
        return self.header == getattr(other, "header", None)


def set_header(cookies: dict[str, Morsel], header: bytes | str) -> HeaderMorsel:
    """Puts a Set-Cookie header value (bytes as written by
    ``writer.set_cookie_header``, or its Latin-1 text) into ``cookies``, a
    ``SimpleCookie`` such as Django's ``response.cookies``, under its name;
    returns the morsel.  A morsel already there under that name is replaced.
    """
    morsel = HeaderMorsel(header)
    cookies[morsel.key] = morsel
    return morsel
