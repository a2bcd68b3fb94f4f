"""The browsers' endpoints: a DevTools endpoint (its http:// address, or
its ws:// browser url), a WebDriver BiDi endpoint (ws://HOST:PORT/session,
a new session ended at the close; ws://HOST:PORT/session/ID, a session a
driver holds), Playwright's CDP session and Selenium's DevTools command.
Each is a `Link`: the protocol it speaks and `send(method, params)`, sync
or async, which returns the result or raises `Failed` with the browser's
words.  Every wait is bounded by TIMEOUT."""

import asyncio
import contextlib
import itertools
import json
import urllib.error
import urllib.request
from urllib.parse import urlsplit

# Seconds to wait for a connection or for one answer.
TIMEOUT = 10.0
HOW_CDP = ("start Chromium with the port open (chromium --headless --remote-debugging-port=9222 "
           "--user-data-dir=DIR) and pass http://127.0.0.1:9222")
HOW_BIDI = ("start Firefox with the port open (firefox --headless --remote-debugging-port 9222 "
            "--profile DIR) and pass ws://127.0.0.1:9222/session")
ONE_SESSION = ("Firefox allows one WebDriver BiDi session at a time: end the other one "
               "(session.end), or restart Firefox")


class Failed(Exception):
    """The browser answered a command with an error; str() is its words."""


def _websockets(endpoint):
    try:
        import websockets  # noqa: F401
    except ImportError:
        raise ImportError(f"{endpoint}: speaking to a browser needs websockets, the live "
                          "extra: pip install 'websockets>=13' (or '.[live]' in a "
                          "checkout)") from None


def kind(endpoint: str) -> tuple[str, bool]:
    """What a string endpoint is: ("cdp", _) or ("bidi", whether a new
    session is made); ValueError for another string."""
    parts = urlsplit(endpoint)
    if parts.scheme in ("http", "https") and parts.path in ("", "/"):
        return "cdp", False
    if parts.scheme in ("ws", "wss"):
        if parts.path.startswith("/devtools/"):
            return "cdp", False
        if parts.path.rstrip("/") == "/session":
            return "bidi", True
        if parts.path.startswith("/session/"):
            return "bidi", False
    raise ValueError(f"{endpoint!r} is no browser endpoint: a DevTools one is "
                     "http://127.0.0.1:PORT (or its ws://.../devtools/browser/... url), a "
                     "WebDriver BiDi one ws://127.0.0.1:PORT/session")


def _unreachable(endpoint, protocol, error):
    how = HOW_CDP if protocol == "cdp" else HOW_BIDI
    return ConnectionError(f"{endpoint}: cannot reach the browser ({type(error).__name__}: "
                           f"{error}); {how}")


def devtools_url(endpoint: str) -> str:
    """The ws:// browser url of a DevTools endpoint (asked of its
    /json/version for an http:// one)."""
    if not endpoint.startswith(("http://", "https://")):
        return endpoint
    try:
        with urllib.request.urlopen(endpoint.rstrip("/") + "/json/version",
                                    timeout=TIMEOUT) as answer:
            return json.loads(answer.read())["webSocketDebuggerUrl"]
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise _unreachable(endpoint, "cdp", error) from None


def _answer(message, number, protocol):
    """The result of the answer numbered number, or Failed; None for another
    message (an event)."""
    if message.get("id") != number:
        return None
    if protocol == "cdp":
        if "error" in message:
            return Failed(str(message["error"].get("message", message["error"])))
        return message.get("result", {})
    if message.get("type") == "error":
        return Failed(f"{message.get('error')}: {message.get('message', '')}".rstrip(": "))
    return message.get("result", {})


class _Calls:
    """The numbering and the answers of one socket's commands."""

    def __init__(self, endpoint, protocol):
        self.endpoint, self.protocol, self.numbers = endpoint, protocol, itertools.count(1)

    def command(self, method, params):
        self.number = next(self.numbers)
        return json.dumps({"id": self.number, "method": method, "params": params})

    def answer(self, text):
        return _answer(json.loads(text), self.number, self.protocol)

    def lost(self, method, error):
        if isinstance(error, (TimeoutError, asyncio.TimeoutError)):  # one class from 3.11
            return TimeoutError(f"{self.endpoint}: no answer to {method} in {TIMEOUT} s")
        return ConnectionError(f"{self.endpoint}: {method}: {error}")

    @staticmethod
    def result(answer):
        if isinstance(answer, Failed):
            raise answer
        return answer


class Link:
    """One conversation with a browser: protocol is "cdp" or "bidi";
    browser its name (BiDi tells it); send(method, params)."""

    def __init__(self, protocol, send, browser=""):
        self.protocol, self.send, self.browser = protocol, send, browser


def _session_new(endpoint, answer):
    if isinstance(answer, Failed):
        if "Maximum number of active sessions" in str(answer):
            raise ConnectionError(f"{endpoint}: {answer}; {ONE_SESSION}")
        raise ConnectionError(f"{endpoint}: session.new: {answer}")
    return answer.get("capabilities", {}).get("browserName", "")


@contextlib.contextmanager
def opened(endpoint: str, browser: str = ""):
    """A Link to a string endpoint, closed (its BiDi session ended) at the
    end; browser names the browser of a session that exists already."""
    protocol, new_session = kind(endpoint)
    _websockets(endpoint)
    from websockets.sync.client import connect

    url = devtools_url(endpoint) if protocol == "cdp" else endpoint
    calls = _Calls(endpoint, protocol)
    try:
        socket = connect(url, open_timeout=TIMEOUT, close_timeout=TIMEOUT, max_size=None,
                         proxy=None, compression=None)
    except Exception as error:  # noqa: BLE001  websockets' errors and OSError alike
        raise _unreachable(endpoint, protocol, error) from None

    def send(method, params):
        try:
            socket.send(calls.command(method, params))
            while (answer := calls.answer(socket.recv(timeout=TIMEOUT))) is None:
                pass
        except Exception as error:  # noqa: BLE001  a wait ran out, or the connection closed
            raise calls.lost(method, error) from None
        return calls.result(answer)

    with socket:
        if new_session:
            try:
                answer = send("session.new", {"capabilities": {}})
            except Failed as failed:
                answer = failed
            browser = _session_new(endpoint, answer)
        try:
            yield Link(protocol, send, browser)
        finally:
            if new_session:
                with contextlib.suppress(Failed, OSError):
                    send("session.end", {})


@contextlib.asynccontextmanager
async def aopened(endpoint: str):
    """opened, on an event loop: nothing here waits on the loop's thread."""
    protocol, new_session = kind(endpoint)
    _websockets(endpoint)
    from websockets.asyncio.client import connect

    url = await asyncio.to_thread(devtools_url, endpoint) if protocol == "cdp" else endpoint
    calls = _Calls(endpoint, protocol)
    try:
        socket = await connect(url, open_timeout=TIMEOUT, close_timeout=TIMEOUT, max_size=None,
                               proxy=None, compression=None)
    except Exception as error:  # noqa: BLE001  websockets' errors and OSError alike
        raise _unreachable(endpoint, protocol, error) from None

    async def exchange(command):
        await socket.send(command)
        while (answer := calls.answer(await socket.recv())) is None:
            pass
        return answer

    async def send(method, params):
        try:
            answer = await asyncio.wait_for(exchange(calls.command(method, params)), TIMEOUT)
        except Exception as error:  # noqa: BLE001  a wait ran out, or the connection closed
            raise calls.lost(method, error) from None
        return calls.result(answer)

    async with socket:
        browser = ""  # a DevTools endpoint's is not needed
        if new_session:
            try:
                answer = await send("session.new", {"capabilities": {}})
            except Failed as failed:
                answer = failed
            browser = _session_new(endpoint, answer)
        try:
            yield Link(protocol, send, browser)
        finally:
            if new_session:
                with contextlib.suppress(Failed, OSError):
                    await send("session.end", {})


def _playwright_error(error):
    """Playwright's Error for a command the browser refused, as Failed."""
    message = str(getattr(error, "message", error))
    return Failed(message.splitlines()[0].removeprefix("Protocol error ").strip())


@contextlib.contextmanager
def playwright(context):
    """A Link over a DevTools session on a page of a Playwright
    BrowserContext of Chromium (a blank page of its own when the context
    has none, closed at the end)."""
    page = context.pages[0] if context.pages else None
    own = page is None
    if own:
        page = context.new_page()
    try:
        session = context.new_cdp_session(page)
    except Exception as error:  # noqa: BLE001  Playwright's Error
        if own:
            page.close()
        raise TypeError(f"a Playwright context of Chromium carries every attribute over "
                        f"DevTools, this one does not ({error}); pass a Firefox's WebDriver "
                        "BiDi endpoint instead") from None
    from playwright.sync_api import Error

    def send(method, params):
        try:
            return session.send(method, params)
        except Error as error:
            raise _playwright_error(error) from None

    try:
        yield Link("cdp", send)
    finally:
        with contextlib.suppress(Error):
            session.detach()
        if own:
            page.close()


@contextlib.asynccontextmanager
async def aplaywright(context):
    """playwright, for a context of Playwright's async API."""
    page = context.pages[0] if context.pages else None
    own = page is None
    if own:
        page = await context.new_page()
    try:
        session = await context.new_cdp_session(page)
    except Exception as error:  # noqa: BLE001  Playwright's Error
        if own:
            await page.close()
        raise TypeError(f"a Playwright context of Chromium carries every attribute over "
                        f"DevTools, this one does not ({error}); pass a Firefox's WebDriver "
                        "BiDi endpoint instead") from None
    from playwright.async_api import Error

    async def send(method, params):
        try:
            return await session.send(method, params)
        except Error as error:
            raise _playwright_error(error) from None

    try:
        yield Link("cdp", send)
    finally:
        with contextlib.suppress(Error):
            await session.detach()
        if own:
            await page.close()


def selenium(driver):
    """The endpoint or Link of a Selenium WebDriver: its DevTools command
    (Chromium's drivers), else its session's BiDi url (webSocketUrl)."""
    if hasattr(driver, "execute_cdp_cmd"):
        from selenium.common.exceptions import WebDriverException

        def send(method, params):
            try:
                return driver.execute_cdp_cmd(method, params)
            except WebDriverException as error:
                raise Failed(str(error.msg or error).strip()) from None

        return Link("cdp", send)
    url = (getattr(driver, "capabilities", None) or {}).get("webSocketUrl")
    if not isinstance(url, str):
        raise TypeError("this WebDriver has neither a DevTools command (a Chromium driver's "
                        "execute_cdp_cmd) nor a BiDi url: start it with the capability "
                        "webSocketUrl=True")
    return url
