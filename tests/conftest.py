pytest_plugins = ["refleaks"]

import pytest

from servers.http import Server


@pytest.fixture(scope="session")
def http_server():
    server = Server().start()
    yield server
    server.stop()


@pytest.fixture
def server(http_server):
    """The shared HTTP server, with its request log emptied for this test."""
    http_server.requests.clear()
    return http_server
