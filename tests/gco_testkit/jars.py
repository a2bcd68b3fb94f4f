"""The cookie jar the tests of the interpreted helpers run against: the
compiled `glimmering_copper_otter.jar.CookieJar` when it is built, else the
interpreted stand-in."""


def jar_type():
    try:
        from glimmering_copper_otter.jar import CookieJar
    except ImportError:
        from gco_testkit.standin_jar import StandInJar as CookieJar
    return CookieJar
