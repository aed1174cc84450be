"""One transfer with a Curl handle: options, the response's headers and
body, information about the transfer, and what a failure looks like."""

import sys

import tolvex


def fetch(url: str) -> tuple[int, dict[str, str], bytes]:
    """GETs `url`; returns the status code, the response headers and the body."""
    headers: dict[str, str] = {}

    def on_header(line: bytes) -> None:
        name, sep, value = line.decode("latin-1").partition(":")
        if sep:
            headers[name.strip().lower()] = value.strip()

    with tolvex.Curl() as c:
        c.setopt(tolvex.URL, url)
        c.setopt(tolvex.FOLLOWLOCATION, True)
        c.setopt(tolvex.TIMEOUT_MS, 10_000)
        c.setopt(tolvex.HEADERFUNCTION, on_header)
        body = c.perform_rb()
        status = c.getinfo(tolvex.RESPONSE_CODE)
        assert isinstance(status, int)
        return status, headers, body


def failure(url: str) -> tuple[int, str]:
    """What a failed transfer raises: libcurl's code and message."""
    with tolvex.Curl() as c:
        c.setopt(tolvex.URL, url)
        try:
            c.perform()
        except tolvex.error as e:
            code, message = e.args
            return code, message
    raise AssertionError("the transfer succeeded")


if __name__ == "__main__":
    status, headers, body = fetch(sys.argv[1])
    print(status, headers.get("content-type"), len(body))
