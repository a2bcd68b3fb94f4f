"""The throw-away PostgreSQL server of the test session
(tools.postgres_server); tests that need it skip, saying how to run them,
where its programs are not installed."""

import pytest

from tools import postgres_server


def server():
    try:
        return postgres_server.server()
    except postgres_server.Missing as missing:
        pytest.skip(str(missing))
