"""What the client adapters share."""

# What a jar's set_cookies may raise for content it cannot read; anything
# else (an OSError of its store) goes through.
_IGNORED = (TypeError, ValueError)


def store_set_cookies(jar, values, url, behind=False):
    """Hands a response's Set-Cookie values to the jar, ignoring what it
    cannot read.  behind, for an event loop's thread: a server's jar applies
    them to its copy at once and writes them behind (stores._behind)."""
    if values:
        try:
            if behind:
                from glimmering_copper_otter.stores import _behind

                _behind.set_cookies(jar, values, url, {})
            else:
                jar.set_cookies(values, url)
        except _IGNORED:
            pass


def latin1(text):
    """The bytes of a header value that a client read as Latin-1 text."""
    try:
        return text.encode("latin-1")
    except UnicodeEncodeError:
        return text.encode("utf-8", "surrogateescape")
