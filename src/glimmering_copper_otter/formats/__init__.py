"""Formats: pure conversions between a jar's rows (see
`glimmering_copper_otter.rows`) and the documents other programs read and
write.  A format never touches a jar or a store; the jar's methods
(`load_cookies_txt`, `to_json`, `load_cookies`, ...) bring the two together.

- `netscape`: the Netscape cookies.txt file of curl, wget, yt-dlp and
  browser extensions;
- `native_json`: this package's JSON document, which keeps every field;
- `cdp`: the cookies of the DevTools protocol (`Network.Cookie`,
  `Network.CookieParam`);
- `automation`: the documents of browser automation tools (Playwright,
  DevTools, browser-extension exports, WebDriver), and the Set-Cookie value
  that stands for each of their cookies;
- `chromium`, `firefox`: a record of a browser's own cookie database (and
  of Firefox's session store) to a row; `browsers` reads the files;
- `clients`: the cookie objects of the HTTP clients.
"""

from glimmering_copper_otter.rows import Changed, LeftOut, LoadReport, SaveReport

__all__ = ["Changed", "LeftOut", "LoadReport", "SaveReport"]
