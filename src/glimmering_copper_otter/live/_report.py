"""What a push reports."""

from typing import NamedTuple

from glimmering_copper_otter.rows import Changed


class Refused(NamedTuple):
    """A cookie the browser did not keep, and why: `browser.check`'s words
    where they tell, else the browser's own."""

    name: bytes
    domain: str
    path: bytes
    reason: str


class PushReport(NamedTuple):
    """What a push did: how many cookies the browser holds as they were
    sent (pushed), which it did not keep (refused), and what it holds
    otherwise than the jar, or could not be told (changed: one Changed per
    difference, a cookie with any counting as changed, not pushed)."""

    pushed: int
    refused: list[Refused]
    changed: list[Changed]
