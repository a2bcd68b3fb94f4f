"""The urllib adapter: `urllib.request.build_opener(jar.for_urllib())`."""

import urllib.request

from glimmering_copper_otter.clients._common import latin1, store_set_cookies


class CookieJarHandler(urllib.request.BaseHandler):
    """A handler for `urllib.request.build_opener`: it sets each request's
    Cookie header from the jar (replacing one the caller set) and hands each
    response's Set-Cookie values to the jar."""

    # Before the error processor (1000), so that the cookies of a redirect
    # reach the jar before the next hop is made.
    handler_order = 500

    def __init__(self, jar):
        self.cookie_jar = jar

    def http_request(self, request):
        header = self.cookie_jar.cookie_header(request.full_url)
        request.remove_header("Cookie")
        if header:
            # http.client writes str header values as Latin-1: the bytes go out unchanged.
            request.add_unredirected_header("Cookie", header.decode("latin-1"))
        return request

    def http_response(self, request, response):
        # http.client reads header values as Latin-1: encoding gives the bytes back.
        values = response.headers.get_all("Set-Cookie") or ()
        store_set_cookies(self.cookie_jar, [latin1(value) for value in values],
                          request.full_url)
        return response

    https_request = http_request
    https_response = http_response


def handler(jar) -> urllib.request.BaseHandler:
    """A CookieJarHandler over the jar."""
    return CookieJarHandler(jar)
